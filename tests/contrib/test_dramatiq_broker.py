"""TarnwickBroker beyond what dramatiq's own test files check: worker
crashes, lease renewal, delays, dead letters, on a directory and on
PostgreSQL (the `home` fixture); lost database connections."""

import multiprocessing
import os
import signal
import sys
import time

import pytest

dramatiq = pytest.importorskip("dramatiq")

from dramatiq import Worker  # noqa: E402

from dramatiq_suite.common import start  # noqa: E402

from tarnwick_queue.contrib.dramatiq import DeadLettered, TarnwickBroker  # noqa: E402


def _marks(path):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return f.read().split()


def _declare(broker, marks, hang_first=False):
    @dramatiq.actor(broker=broker, queue_name="jobs", max_retries=0)
    def job(name):
        first = not _marks(os.path.join(marks, name))
        with open(os.path.join(marks, name), "a") as f:
            f.write(f"{os.getpid()}\n")
        if hang_first and first:
            time.sleep(3600)
        with open(os.path.join(marks, name + ".done"), "a") as f:
            f.write(f"{os.getpid()}\n")

    return job


def _wait_for(predicate, timeout=30.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.02)


def _crashing_worker(home, marks):
    broker = TarnwickBroker(**home, lease=1.0)
    _declare(broker, marks, hang_first=True)
    Worker(broker, worker_threads=1, worker_timeout=50).start()
    time.sleep(3600)


def test_message_of_a_killed_worker_runs_again(home, tmp_path):
    marks = str(tmp_path)
    broker = TarnwickBroker(**home, lease=1.0)
    job = _declare(broker, marks)
    job.send("a")
    child = multiprocessing.get_context("fork").Process(target=_crashing_worker,
                                                        args=(home, marks))
    child.start()
    try:
        _wait_for(lambda: _marks(os.path.join(marks, "a")))
    finally:
        os.kill(child.pid, signal.SIGKILL)
        child.join()
    assert not _marks(os.path.join(marks, "a.done"))
    worker = start(Worker(broker, worker_threads=1, worker_timeout=50))
    try:
        broker.join("jobs", timeout=20_000)
    finally:
        worker.stop()
    assert len(_marks(os.path.join(marks, "a"))) == 2
    assert _marks(os.path.join(marks, "a.done")) == [str(os.getpid())]
    broker.close()


def test_a_long_actor_keeps_its_message(home):
    # The actor outlives its lease two and a half times over; the consumer
    # renews it (with over a second left), so no other consumer gets the
    # message meanwhile.
    broker = TarnwickBroker(**home, lease=2.0)
    runs = []

    @dramatiq.actor(broker=broker, max_retries=0)
    def slow():
        runs.append(time.monotonic())
        time.sleep(5.0)

    slow.send()
    workers = [Worker(broker, worker_threads=2, worker_timeout=50) for _ in range(2)]
    for worker in workers:
        start(worker)
    try:
        broker.join("default", timeout=20_000)
    finally:
        for worker in workers:
            worker.stop()
    assert len(runs) == 1
    broker.close()


def test_delayed_message_waits_on_the_delay_queue(home, open_at_home):
    broker = TarnwickBroker(**home)
    ran = []

    @dramatiq.actor(broker=broker)
    def later():
        ran.append(time.time())

    sent = time.time()
    message = later.send_with_options(delay=2000)
    assert message.queue_name == "default.DQ" and message.options["eta"] >= int(sent * 1000) + 2000
    # Stored, scheduled, on the delay queue; nothing ready anywhere.
    assert open_at_home("default.DQ").stats()["scheduled"] == 1
    assert open_at_home("default").stats()["total"] == 0
    worker = start(Worker(broker, worker_threads=1, worker_timeout=50))
    try:
        broker.join("default", timeout=10_000)
    finally:
        worker.stop()
    assert len(ran) == 1 and ran[0] >= sent + 2.0
    broker.close()


def test_rejected_message_goes_to_the_dead_letters(home):
    broker = TarnwickBroker(**home)

    class Boom(Exception):
        pass

    @dramatiq.actor(broker=broker, max_retries=0)
    def fails(n):
        raise Boom(f"failed {n}")

    @dramatiq.actor(broker=broker, queue_name="plain", max_retries=0)
    def fails_plainly():
        raise ValueError("plain")  # a built-in type: no weak references to it

    sent = fails.send(7)
    fails_plainly.send()
    worker = start(Worker(broker, worker_threads=1, worker_timeout=50))
    try:
        with pytest.raises(Boom):
            broker.join("default", timeout=10_000)
        with pytest.raises(ValueError, match="plain"):
            broker.join("plain", timeout=10_000)
    finally:
        worker.stop()
    assert sent.message_id in [m.message_id for m in broker.dead_letters]
    entries = broker.queues["default"].dead_letters.list()
    assert len(entries) == 1 and "failed 7" in entries[0].reason
    # A broker in another process knows no exception, only the dead letter.
    other = TarnwickBroker(**home)
    other.declare_queue("default")
    with pytest.raises(DeadLettered, match="failed 7"):
        other.join("default", timeout=1000)
    other.join("default", timeout=1000, fail_fast=False)
    other.declare_queue("plain")
    other.flush_all()
    assert broker.dead_letters == []
    other.close()
    broker.close()


def test_queue_names_that_are_not_directory_names_are_refused(tmp_path):
    broker = TarnwickBroker(str(tmp_path / "broker"))
    for name in ("", "..", "a/b"):
        with pytest.raises(ValueError):
            broker.declare_queue(name)
    with pytest.raises(dramatiq.errors.QueueNotFound):
        broker.consume("never-declared")
    broker.close()


def test_queue_names_on_postgres_are_the_database_s(pg_schema_dsn):
    broker = TarnwickBroker(dsn=pg_schema_dsn)
    for name in ("", "x" * 201, "a\0b"):
        with pytest.raises(ValueError):
            broker.declare_queue(name)
    broker.declare_queue("a/b")  # no directory to name: any name of the database's
    assert broker.get_declared_queues() == {"a/b"}
    broker.close()


def test_the_broker_takes_a_directory_or_a_dsn(tmp_path, pg_schema_dsn):
    with pytest.raises(TypeError, match="path.*or.*dsn"):
        TarnwickBroker()
    with pytest.raises(TypeError, match="not both"):
        TarnwickBroker(str(tmp_path), dsn=pg_schema_dsn)
    with pytest.raises(TypeError, match="dsn must be a str"):
        TarnwickBroker(dsn=b"host=db")
    with pytest.raises(ValueError, match="empty"):
        TarnwickBroker(dsn=" ")


def test_an_unreachable_database_is_a_dramatiq_connection_error(pg_dsn):
    import socket
    with socket.socket() as unused:
        unused.bind(("127.0.0.1", 0))
        port = unused.getsockname()[1]
        broker = TarnwickBroker(dsn=f"host=127.0.0.1 port={port} connect_timeout=2")
        with pytest.raises(dramatiq.errors.ConnectionClosed):
            broker.declare_queue("jobs")
    assert broker.get_declared_queues() == set()
    broker.close()


def _drop_other_connections(dsn):
    import psycopg
    with psycopg.connect(dsn, autocommit=True) as conn:
        dropped = conn.execute(
            "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity "
            "WHERE pid <> pg_backend_pid() AND datname = current_database() "
            "AND backend_type = 'client backend'").fetchone()[0]
    assert dropped > 0


def test_join_polls_again_after_a_dropped_connection(pg_schema_dsn):
    broker = TarnwickBroker(dsn=pg_schema_dsn)
    try:
        broker.declare_queue("jobs")
        broker.join("jobs", timeout=10_000)  # both queues' connections open
        _drop_other_connections(pg_schema_dsn)
        broker.join("jobs", timeout=10_000)
    finally:
        broker.close()


def test_a_worker_outlives_dropped_database_connections(pg_schema_dsn, tmp_path, monkeypatch,
                                                       caplog):
    import dramatiq.worker
    monkeypatch.setattr(dramatiq.worker, "CONSUMER_RESTART_DELAY_SECS", 0.5)
    monkeypatch.setattr(dramatiq.worker, "POST_PROCESS_MESSAGE_RETRY_DELAY_SECS", 0.5)
    marks, go = str(tmp_path), tmp_path / "go"
    broker = TarnwickBroker(dsn=pg_schema_dsn, lease=3.0)
    runs = []

    @dramatiq.actor(broker=broker, queue_name="jobs", max_retries=0)
    def waits(name):
        runs.append(name)
        _wait_for(go.exists)
        with open(os.path.join(marks, name + ".done"), "a") as f:
            f.write("done\n")

    waits.send("held")
    worker = start(Worker(broker, worker_threads=1, worker_timeout=50))
    try:
        _wait_for(lambda: runs)
        _drop_other_connections(pg_schema_dsn)
        # The consumer restarts after its connection error; the new one
        # renews the lease of the message still running, which outlives its
        # lease.
        time.sleep(4.0)
        _drop_other_connections(pg_schema_dsn)
        # The producer's first call meets a dropped connection and says so
        # as dramatiq's brokers do; sending again connects anew.
        try:
            waits.send("after")
        except dramatiq.errors.ConnectionClosed:
            waits.send("after")
        go.touch()
        broker.join("jobs", timeout=30_000)
    finally:
        go.touch()
        worker.stop()
    assert runs == ["held", "after"]
    assert _marks(os.path.join(marks, "after.done")) == ["done"]
    assert not [r for r in caplog.records if "unexpected error" in r.getMessage()]
    broker.close()


def test_importing_the_face_imports_no_framework():
    code = ("import sys, tarnwick_queue, tarnwick_queue.contrib; "
            "assert not {'dramatiq', 'celery', 'kombu'} & set(sys.modules), sys.modules.keys()")
    assert os.system(f"{sys.executable} -c \"{code}\"") == 0


def test_priorities_and_headers_map_onto_the_queue(home, open_at_home):
    broker = TarnwickBroker(**home)

    @dramatiq.actor(broker=broker)
    def plain():
        pass

    @dramatiq.actor(broker=broker, priority=10)  # dramatiq's: a lower number runs first
    def background():
        pass

    @dramatiq.actor(broker=broker, priority=-5)
    def urgent():
        pass

    sent = [plain.send(), background.send(), urgent.send(),
            plain.send_with_options(broker_priority=50),  # RabbitMQ's: higher first
            plain.send_with_options(broker_priority=500)]  # clamped
    queue = open_at_home("default", lease=30.0)
    infos = queue.peek()
    assert [i.priority for i in infos] == [0, -10, 5, 50, 100]
    assert [i.headers for i in infos] == [{"actor": m.actor_name, "message_id": m.message_id}
                                          for m in sent]
    taken = queue.get_many(10)
    assert [m.id for m in taken] == [infos[i].id for i in (4, 3, 2, 0, 1)]
    for message in taken:
        message.ack()
    broker.close()
