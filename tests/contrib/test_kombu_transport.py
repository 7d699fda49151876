"""The kombu transport's mapping onto the queue: settling, crashes, eta."""

import base64
import datetime
import json
import multiprocessing
import os
import signal
import time

import pytest

kombu = pytest.importorskip("kombu")

import tarnwick_queue.contrib.kombu  # noqa: E402,F401
from tarnwick_queue import Queue  # noqa: E402


@pytest.fixture
def broker_dir(tmp_path):
    return str(tmp_path / "broker")


def _connection(broker_dir, **options):
    return kombu.Connection(f"tarnwick://{broker_dir}", transport_options=options)


def _queue_stats(broker_dir, name):
    with Queue(os.path.join(broker_dir, name)) as queue:
        return queue.stats()


def test_ack_reject_and_requeue_map_onto_the_queue(broker_dir):
    with _connection(broker_dir) as conn, conn.SimpleQueue("jobs") as jobs:
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
    with Queue(os.path.join(broker_dir, "jobs")) as queue:
        letters = queue.dead_letters.list()
        assert queue.stats()["ready"] == 0 and queue.stats()["in_flight"] == 0
    assert len(letters) == 1
    assert base64.b64decode(json.loads(letters[0].body)["body"]) == b'{"n": 2}'


def test_unacked_messages_come_back_when_the_channel_closes(broker_dir):
    with _connection(broker_dir) as conn:
        with conn.SimpleQueue("jobs") as jobs:
            jobs.put("x")
            jobs.get(timeout=1)  # never acked
        assert _queue_stats(broker_dir, "jobs")["in_flight"] == 1
    assert _queue_stats(broker_dir, "jobs")["ready"] == 1


def _take_and_die(broker_dir, taken):
    conn = _connection(broker_dir, lease=1.0)
    jobs = conn.SimpleQueue("jobs")
    jobs.get(timeout=5)
    taken.set()
    time.sleep(3600)


def test_message_of_a_killed_consumer_comes_back_after_its_lease(broker_dir):
    with _connection(broker_dir) as conn, conn.SimpleQueue("jobs") as jobs:
        jobs.put("work")
    ctx = multiprocessing.get_context("fork")
    taken = ctx.Event()
    child = ctx.Process(target=_take_and_die, args=(broker_dir, taken))
    child.start()
    try:
        assert taken.wait(10)
    finally:
        os.kill(child.pid, signal.SIGKILL)
        child.join()
    with _connection(broker_dir) as conn, conn.SimpleQueue("jobs") as jobs:
        message = jobs.get(timeout=10)
        assert message.payload == "work"
        message.ack()


def test_held_messages_keep_their_leases(broker_dir):
    with _connection(broker_dir, lease=0.6) as conn, conn.SimpleQueue("jobs") as jobs:
        jobs.put("held")
        message = jobs.get(timeout=1)
        time.sleep(2.0)  # the renewing thread extends the lease meanwhile
        with _connection(broker_dir) as other, other.SimpleQueue("jobs") as rival:
            with pytest.raises(rival.Empty):
                rival.get(timeout=0.3)
        message.ack()
    assert _queue_stats(broker_dir, "jobs")["in_flight"] == 0


def test_eta_header_delays_delivery(broker_dir):
    eta = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=1.0)
    with _connection(broker_dir) as conn, conn.SimpleQueue("jobs") as jobs:
        jobs.put("later", headers={"eta": eta.isoformat()})
        jobs.put("naive", headers={"eta": "2000-01-01T00:00:00"})  # no zone: not delayed
        assert jobs.get(timeout=1).payload == "naive"
        with pytest.raises(jobs.Empty):
            jobs.get(timeout=0.3)
        message = jobs.get(timeout=5)
        assert message.payload == "later"
        assert time.time() >= eta.timestamp()
        message.ack()


def test_url_without_a_directory_is_refused():
    with pytest.raises(ValueError, match="needs a directory"):
        kombu.Connection("tarnwick://").channel()
