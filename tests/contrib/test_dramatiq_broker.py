"""TarnwickBroker beyond what dramatiq's own test files check: worker
crashes, lease renewal, delays on disk, dead letters."""

import multiprocessing
import os
import signal
import sys
import time

import pytest

dramatiq = pytest.importorskip("dramatiq")

from dramatiq import Worker  # noqa: E402

from dramatiq_suite.common import start  # noqa: E402

from tarnwick_queue import Queue  # noqa: E402
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


def _crashing_worker(path, marks):
    broker = TarnwickBroker(path, lease=1.0)
    _declare(broker, marks, hang_first=True)
    Worker(broker, worker_threads=1, worker_timeout=50).start()
    time.sleep(3600)


def test_message_of_a_killed_worker_runs_again(tmp_path):
    path, marks = str(tmp_path / "broker"), str(tmp_path)
    broker = TarnwickBroker(path, lease=1.0)
    job = _declare(broker, marks)
    job.send("a")
    child = multiprocessing.get_context("fork").Process(target=_crashing_worker,
                                                        args=(path, marks))
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


def test_a_long_actor_keeps_its_message(tmp_path):
    # The actor outlives its lease three times over; the consumer renews it,
    # so no other consumer gets the message meanwhile.
    broker = TarnwickBroker(str(tmp_path / "broker"), lease=1.0)
    runs = []

    @dramatiq.actor(broker=broker, max_retries=0)
    def slow():
        runs.append(time.monotonic())
        time.sleep(3.0)

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


def test_delayed_message_waits_on_the_delay_queue(tmp_path):
    broker = TarnwickBroker(str(tmp_path / "broker"))
    ran = []

    @dramatiq.actor(broker=broker)
    def later():
        ran.append(time.time())

    sent = time.time()
    message = later.send_with_options(delay=800)
    assert message.queue_name == "default.DQ" and message.options["eta"] >= int(sent * 1000) + 800
    # On disk, scheduled on the delay queue; nothing ready anywhere.
    with Queue(str(tmp_path / "broker" / "default.DQ")) as delayed:
        assert delayed.stats()["scheduled"] == 1
    worker = start(Worker(broker, worker_threads=1, worker_timeout=50))
    try:
        broker.join("default", timeout=10_000)
    finally:
        worker.stop()
    assert len(ran) == 1 and ran[0] >= sent + 0.8
    broker.close()


def test_rejected_message_goes_to_the_dead_letters(tmp_path):
    broker = TarnwickBroker(str(tmp_path / "broker"))

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
    other = TarnwickBroker(str(tmp_path / "broker"))
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


def test_importing_the_face_imports_no_framework():
    code = ("import sys, tarnwick_queue, tarnwick_queue.contrib; "
            "assert not {'dramatiq', 'celery', 'kombu'} & set(sys.modules), sys.modules.keys()")
    assert os.system(f"{sys.executable} -c \"{code}\"") == 0
