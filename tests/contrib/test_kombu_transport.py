"""The kombu transport's mapping onto the queue: settling, crashes, eta, on
a directory and on PostgreSQL (the `home` fixture)."""

import base64
import datetime
import json
import multiprocessing
import os
import signal
import subprocess
import sys
import time

import pytest

kombu = pytest.importorskip("kombu")

import tarnwick_queue.contrib.kombu  # noqa: E402,F401


def _connection(home, **options):
    if "dsn" in home:
        return kombu.Connection("tarnwick://", transport_options=dict(options, dsn=home["dsn"]))
    return kombu.Connection(f"tarnwick://{home['path']}", transport_options=options)


def _queue_stats(open_at_home, name):
    queue = open_at_home(name)
    try:
        return queue.stats()
    finally:
        queue.close()


def test_ack_reject_and_requeue_map_onto_the_queue(home, open_at_home):
    with _connection(home) as conn, conn.SimpleQueue("jobs") as jobs:
        for n in range(3):
            jobs.put({"n": n})
        first, second, third = (jobs.get(timeout=1) for _ in range(3))
        first.ack()
        second.reject(requeue=True)
        third.reject()  # not requeued: to the dead letters
        again = jobs.get(timeout=1)
        assert again.payload == {"n": 1} and again.delivery_info["redelivered"]
        again.ack()
        with pytest.raises(jobs.Empty):
            jobs.get(timeout=0.2)
    with open_at_home("jobs") as queue:
        letters = queue.dead_letters.list()
        assert queue.stats()["ready"] == 0 and queue.stats()["in_flight"] == 0
    assert len(letters) == 1
    assert base64.b64decode(json.loads(letters[0].body)["body"]) == b'{"n": 2}'


def test_unacked_messages_come_back_when_the_channel_closes(home, open_at_home):
    with _connection(home) as conn:
        with conn.SimpleQueue("jobs") as jobs:
            jobs.put("x")
            jobs.get(timeout=1)  # never acked
        assert _queue_stats(open_at_home, "jobs")["in_flight"] == 1
    assert _queue_stats(open_at_home, "jobs")["ready"] == 1


def _take_and_die(home, taken):
    conn = _connection(home, lease=1.0)
    jobs = conn.SimpleQueue("jobs")
    jobs.get(timeout=5)
    taken.set()
    time.sleep(3600)


def test_message_of_a_killed_consumer_comes_back_after_its_lease(home):
    with _connection(home) as conn, conn.SimpleQueue("jobs") as jobs:
        jobs.put("work")
    ctx = multiprocessing.get_context("fork")
    taken = ctx.Event()
    child = ctx.Process(target=_take_and_die, args=(home, taken))
    child.start()
    try:
        assert taken.wait(60)
    finally:
        os.kill(child.pid, signal.SIGKILL)
        child.join()
    with _connection(home) as conn, conn.SimpleQueue("jobs") as jobs:
        message = jobs.get(timeout=10)
        assert message.payload == "work"
        message.ack()


def test_held_messages_keep_their_leases(home, open_at_home):
    # Renewed with two thirds of the lease left: over a second of slack.
    with _connection(home, lease=2.0) as conn, conn.SimpleQueue("jobs") as jobs:
        jobs.put("held")
        message = jobs.get(timeout=1)
        time.sleep(5.0)  # the renewing thread extends the lease meanwhile
        with _connection(home) as other, other.SimpleQueue("jobs") as rival:
            with pytest.raises(rival.Empty):
                rival.get(timeout=0.3)
        message.ack()
    assert _queue_stats(open_at_home, "jobs")["in_flight"] == 0


def test_eta_header_delays_delivery(home):
    eta = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=1.0)
    with _connection(home) as conn, conn.SimpleQueue("jobs") as jobs:
        jobs.put("later", headers={"eta": eta.isoformat()})
        jobs.put("naive", headers={"eta": "2000-01-01T00:00:00"})  # no zone: not delayed
        assert jobs.get(timeout=1).payload == "naive"
        message = jobs.get(timeout=30)  # not before its time, as the check below says
        assert message.payload == "later"
        assert time.time() >= eta.timestamp()
        message.ack()


def test_a_directory_or_a_dsn_is_needed(tmp_path):
    with pytest.raises(ValueError, match="needs a directory"):
        kombu.Connection("tarnwick://").channel()
    with pytest.raises(ValueError, match="not both"):
        kombu.Connection(f"tarnwick://{tmp_path}",
                         transport_options={"dsn": "host=db"}).channel()
    with pytest.raises(TypeError, match="dsn must be a str"):
        kombu.Connection("tarnwick://", transport_options={"dsn": 5}).channel()


def test_queue_names_map_to_the_store(home):
    # Any kombu name is a queue: quoted into a directory name on disk, as it
    # is in the database. A queue is there once declared.
    with _connection(home) as conn:
        channel = conn.channel()
        for name in ("a/b c", "..", "celery@host.pidbox"):
            channel.queue_declare(name)
            assert channel.queue_declare(name, passive=True).queue == name
            channel.basic_publish(channel.prepare_message(name), "", name)
            assert channel.basic_get(name, no_ack=True).body == name.encode()
        if "path" in home:
            assert sorted(os.listdir(home["path"])) == ["%2E%2E", "a%2Fb%20c",
                                                        "celery@host.pidbox"]
            with pytest.raises(conn.channel_errors):
                channel.queue_declare("never", passive=True)


def test_a_dropped_database_connection_is_a_kombu_connection_error(pg_schema_dsn):
    import psycopg
    home = {"dsn": pg_schema_dsn}
    with _connection(home, lease=1.0) as conn, conn.SimpleQueue("jobs") as jobs:
        jobs.put("kept")
        with psycopg.connect(pg_schema_dsn, autocommit=True) as admin:
            admin.execute("SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                          "WHERE pid <> pg_backend_pid() AND backend_type = 'client backend'")
        # What Celery reconnects on; the message waits in the database.
        with pytest.raises(conn.connection_errors):
            jobs.get(timeout=1)
    with _connection(home) as conn, conn.SimpleQueue("jobs") as jobs:
        message = jobs.get(timeout=5)
        assert message.payload == "kept"
        message.ack()


def _consume_one(conn, queue):
    got = []
    with conn.Consumer(queue, callbacks=[lambda body, message: got.append(body)],
                       accept=["json"]) as consumer:
        conn.drain_events(timeout=5)
        return got, consumer


@pytest.mark.parametrize("flag", ["auto_delete", "exclusive"])
def test_a_queue_declared_auto_delete_goes_with_its_last_consumer(home, open_at_home, flag):
    with _connection(home) as conn:
        replies = kombu.Queue("reply-1", kombu.Exchange("", type="direct"), "reply-1",
                              durable=False, **{flag: True})
        kept = kombu.Queue("kept", kombu.Exchange("", type="direct"), "kept")
        with conn.Producer() as producer:
            for queue in (replies, kept):
                producer.publish({"to": queue.name}, routing_key=queue.name, declare=[queue])
                producer.publish({"left": True}, routing_key=queue.name)
        if "path" in home:
            assert sorted(os.listdir(home["path"])) == ["kept", "reply-1"]
        for queue in (replies, kept):
            got, _ = _consume_one(conn, queue)
            assert got == [{"to": queue.name}]
        if "path" in home:
            assert os.listdir(home["path"]) == ["kept"]
        # The unread message went with the deleted queue; the other queue keeps its own.
        assert _queue_stats(open_at_home, "reply-1")["total"] == 0
        assert _queue_stats(open_at_home, "kept")["ready"] == 1


def test_a_producer_whose_queue_was_deleted_elsewhere_opens_it_again(home, open_at_home):
    with _connection(home) as client, _connection(home) as worker:
        replies = kombu.Queue("reply-2", kombu.Exchange("", type="direct"), "reply-2",
                              auto_delete=True)
        client.Consumer(replies, accept=["json"]).declare()
        with worker.Producer() as producer:
            producer.publish({"n": 1}, routing_key="reply-2")  # opens it in the worker
            got, _ = _consume_one(client, replies)  # the client's consumer goes: deleted
            assert got == [{"n": 1}]
            producer.publish({"n": 2}, routing_key="reply-2")  # a late reply: no error
    assert _queue_stats(open_at_home, "reply-2")["ready"] == 1


@pytest.mark.parametrize("order, first", [("higher", "urgent"), ("lower", "plain")])
def test_priority_maps_onto_the_queue(home, open_at_home, order, first):
    with _connection(home, priority_order=order) as conn, conn.SimpleQueue("jobs") as jobs:
        jobs.put("plain")                 # kombu's default: 0
        jobs.put("middle", priority=4)
        jobs.put("urgent", priority=9)
        jobs.put("clamped", priority=99)  # kombu's transports clamp to 9
        scale = 10 if order == "higher" else -10
        with open_at_home("jobs") as queue:
            assert [i.priority for i in queue.peek()] == [0, 4 * scale, 9 * scale, 9 * scale]
        got = []
        for _ in range(4):
            message = jobs.get(timeout=1)
            got.append(message.payload)
            message.ack()
    assert got[0] == first
    # Equal priorities in the order they were put.
    assert got == (["urgent", "clamped", "middle", "plain"] if order == "higher"
                   else ["plain", "middle", "urgent", "clamped"])


def test_a_bad_priority_order_is_refused(home):
    with pytest.raises(ValueError, match="priority_order"):
        _connection(home, priority_order="up").channel()


def test_a_celery_tasks_name_and_id_are_headers(home, open_at_home):
    with _connection(home) as conn, conn.SimpleQueue("jobs") as jobs:
        jobs.put({"args": []}, headers={"task": "app.resize", "id": "a1b2", "other": "x"})
        jobs.put("no headers")
    with open_at_home("jobs") as queue:
        assert [i.headers for i in queue.peek()] == [{"task": "app.resize", "id": "a1b2"}, {}]


def _drain(conn, queue, timeout=0.5):
    """The payloads waiting in `queue`, acked."""
    got = []
    with conn.SimpleQueue(queue) as simple:
        while True:
            try:
                message = simple.get(timeout=timeout)
            except simple.Empty:
                return got
            got.append(message.payload)
            message.ack()


class TestExchangesAcrossConnections:
    """Each kombu Connection keeps its own in-process exchange state, as
    another process would: what one binds, another's publishing reaches."""

    def test_fanout_reaches_queues_another_connection_bound(self, home):
        news = kombu.Exchange("news", type="fanout")
        with _connection(home) as listener, _connection(home) as publisher:
            for name in ("one", "two"):
                bound = kombu.Queue(name, news)(listener.default_channel)
                bound.declare()
                bound.declare()  # twice: bound once
            with publisher.Producer() as producer:
                producer.publish({"n": 1}, exchange=news, declare=[news])
            assert _drain(listener, "one") == [{"n": 1}]
            assert _drain(listener, "two") == [{"n": 1}]

            kombu.Queue("two", news)(listener.default_channel).unbind_from(news)
            with publisher.Producer() as producer:
                producer.publish({"n": 2}, exchange=news)
            assert (_drain(listener, "one"), _drain(listener, "two")) == ([{"n": 2}], [])

    def test_topic_and_direct_route_by_bindings_made_elsewhere(self, home):
        events = kombu.Exchange("events", type="topic")
        replies = kombu.Exchange("replies", type="direct")
        with _connection(home) as listener, _connection(home) as publisher:
            kombu.Queue("tasks-only", events, routing_key="task.#")(
                listener.default_channel).declare()
            kombu.Queue("client-1", replies, routing_key="client-1")(
                listener.default_channel).declare()
            with publisher.Producer() as producer:
                # Neither exchange is declared here: the bindings tell their types.
                producer.publish({"e": "task"}, exchange="events", routing_key="task.done")
                producer.publish({"e": "worker"}, exchange="events", routing_key="worker.up")
                producer.publish({"r": 1}, exchange="replies", routing_key="client-1")
            assert _drain(listener, "tasks-only") == [{"e": "task"}]
            assert _drain(listener, "client-1") == [{"r": 1}]

    def test_a_binding_made_just_now_is_seen_despite_a_cached_table(self, home):
        replies = kombu.Exchange("replies", type="direct")
        with _connection(home) as listener, _connection(home) as publisher:
            kombu.Queue("first", replies, routing_key="first")(
                listener.default_channel).declare()
            with publisher.Producer() as producer:
                producer.publish({"to": "first"}, exchange=replies, routing_key="first",
                                 declare=[replies])
                kombu.Queue("second", replies, routing_key="second")(
                    listener.default_channel).declare()
                producer.publish({"to": "second"}, exchange=replies, routing_key="second")
            assert _drain(listener, "second") == [{"to": "second"}]

    def test_an_auto_delete_queue_takes_its_bindings_with_it(self, home, open_at_home):
        news = kombu.Exchange("news", type="fanout")
        with _connection(home) as listener, _connection(home) as publisher:
            events = kombu.Queue("events-1", news, auto_delete=True)
            got, _ = _consume_after(listener, events, publisher, news)
            assert got == [{"n": 1}]
            # Its consumer went, so did the queue and its binding: a later
            # broadcast makes no queue anew.
            with publisher.Producer() as producer:
                producer.publish({"n": 2}, exchange=news)
            if "path" in home:
                assert "events-1" not in os.listdir(home["path"])
            assert _queue_stats(open_at_home, "events-1")["total"] == 0


def _consume_after(listener, queue, publisher, exchange):
    got = []
    with listener.Consumer(queue, callbacks=[lambda body, m: (got.append(body), m.ack())],
                           accept=["json"]) as consumer:
        with publisher.Producer() as producer:
            producer.publish({"n": 1}, exchange=exchange, declare=[exchange])
        listener.drain_events(timeout=5)
    return got, consumer


KILLED_DECLARER = (
    "import os, sys, kombu, tarnwick_queue.contrib.kombu\n"
    "conn = (kombu.Connection('tarnwick://' + sys.argv[1]) if sys.argv[1].startswith('/') else\n"
    "        kombu.Connection('tarnwick://', transport_options={'dsn': sys.argv[1]}))\n"
    "news = kombu.Exchange('news', type='fanout')\n"
    "kombu.Queue('mine', news, auto_delete=True)(conn.default_channel).declare()\n"
    "print('bound', flush=True)\n"
    "os.kill(os.getpid(), 9)\n")


def _declare_and_die(where):
    done = subprocess.run([sys.executable, "-c", KILLED_DECLARER, where], capture_output=True,
                          text=True, timeout=120)
    assert done.stdout == "bound\n" and done.returncode == -signal.SIGKILL, done.stderr


def test_the_binding_of_a_queue_whose_process_died_is_dropped(home, open_at_home, monkeypatch):
    """A process declares an auto_delete queue bound to a fanout exchange and
    is killed. In a directory the next channel removes the queue; on
    PostgreSQL the first broadcast after the claim's grace does. Either way
    the binding is dropped rather than the queue made anew, and a broadcast
    leaves nothing behind."""
    if "dsn" in home:
        from tarnwick_queue.postgres import claims
        monkeypatch.setattr(claims, "ENDED_GRACE", 0.5)
        monkeypatch.setattr(claims, "LOOK_EVERY", 0.0)
        _declare_and_die(home["dsn"])
        news = kombu.Exchange("news", type="fanout")
        with _connection(home) as publisher, publisher.Producer() as producer:
            # Seen unheld once: not yet taken to have ended (it may be a
            # server restart), so the broadcast still reaches the queue.
            producer.publish({"n": 1}, exchange=news, declare=[news])
            assert _queue_stats(open_at_home, "mine")["total"] == 1
            assert [q for _, _, q in publisher.default_channel.get_table("news")] == ["mine"]
            time.sleep(0.6)
            producer.publish({"n": 2}, exchange=news)
            assert _queue_stats(open_at_home, "mine")["total"] == 0
            assert publisher.default_channel.get_table("news") == []
        return
    _declare_and_die(home["path"])
    with _connection(home) as publisher:
        publisher.default_channel  # opening a channel removes the unclaimed queue
        assert "mine" not in os.listdir(home["path"])
        news = kombu.Exchange("news", type="fanout")
        with publisher.Producer() as producer:
            producer.publish({"n": 1}, exchange=news, declare=[news])
        assert "mine" not in os.listdir(home["path"])
        channel = publisher.default_channel
        assert channel.get_table("news") == []
