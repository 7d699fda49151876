"""A leased message shows when its delivery started, how often its lease was
extended and which consumer holds it, on every backend; stats() names the
delivery that has run longest."""

import os
import socket
import subprocess
import sys
import time

import pytest

from tarnwick_queue import Queue

ME = f"{socket.gethostname()}:{os.getpid()}"


def leased(queue):
    return [m for m in queue.peek(100) if m.state == "leased"]


def test_take_and_extend_show_in_peek_and_stats(open_queue):
    queue = open_queue(lease=30.0)
    queue.put_many([b"a", b"b"])
    before = time.time()
    message = queue.get(timeout=5)
    [info] = leased(queue)
    assert (info.id, info.extensions, info.consumer) == (message.id, 0, ME)
    assert before - 1 <= info.started_at <= time.time() + 1
    message.extend(60)
    message.extend(60)
    [again] = leased(queue)
    assert (again.started_at, again.extensions, again.consumer) == (info.started_at, 2, ME)
    stats = queue.stats()
    assert (stats["oldest_running_id"], stats["oldest_running_started_at"]) == (
        message.id, info.started_at)
    ready = [m for m in queue.peek() if m.state == "ready"]
    assert [(m.started_at, m.extensions, m.consumer) for m in ready] == [(None, 0, None)]

    # A second handle with an id of its own; a nack forgets the delivery.
    if open_queue.shared_store:
        other = open_queue(lease=30.0, consumer_id="worker-b")
        second = other.get(timeout=5)
        assert {m.id: m.consumer for m in leased(queue)} == {message.id: ME,
                                                             second.id: "worker-b"}
        assert queue.stats()["oldest_running_id"] == message.id
        second.nack(delay=60)
    message.ack()
    assert queue.stats()["oldest_running_id"] is None
    assert all(m.consumer is None and m.started_at is None for m in queue.peek())


def test_consumer_id_is_checked(open_queue, backend):
    if backend == "dict":
        pytest.skip("the suite's own driver takes what the face's queues check")
    for wrong, error in [("", ValueError), ("a\nb", ValueError), ("x" * 65, ValueError),
                         ("é" * 33, ValueError), (5, TypeError)]:
        with pytest.raises(error, match="consumer_id"):
            open_queue(consumer_id=wrong)


CHILD = """
import sys
from tarnwick_queue import Queue
if sys.argv[1] == "disk":
    queue = Queue(sys.argv[2])
else:
    from tarnwick_queue.postgres import PostgresQueue
    queue = PostgresQueue(sys.argv[2], sys.argv[3])
queue.get(timeout=30, lease=60)  # held past this process's end
queue.close()
"""


@pytest.mark.parametrize("backend", ["disk", "postgres"])
def test_another_process_lease_names_that_process(backend, open_queue, queue_dir, request):
    queue = open_queue()
    queue.put(b"job")
    where = [queue_dir] if backend == "disk" else [request.getfixturevalue("pg_dsn"),
                                                   request.getfixturevalue("pg_name")]
    child = subprocess.run([sys.executable, "-c", CHILD, backend, *where], timeout=60)
    assert child.returncode == 0
    # A process's id can be told from its consumer only while it runs; the
    # child's own pid is read from the lease, and must not be ours.
    [info] = leased(queue)
    host, pid = info.consumer.rsplit(":", 1)
    assert host == socket.gethostname() and int(pid) != os.getpid()


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_forked_child_takes_as_itself(queue_dir):
    with Queue(queue_dir) as queue:
        queue.put(b"job")
        pid = os.fork()
        if pid == 0:
            try:
                queue.get(timeout=10, lease=60)
            finally:
                os._exit(0)
        os.waitpid(pid, 0)
        assert [m.consumer for m in leased(queue)] == [f"{socket.gethostname()}:{pid}"]


def test_fixed_module_reads_and_keeps_the_new_leases(tmp_path):
    tarnwick = pytest.importorskip("tarnwick")
    path = str(tmp_path / "q")
    with Queue(path, consumer_id="w") as queue:
        queue.put_many([b"held", b"free"])
        held = queue.get(timeout=5)
        held.extend(60)
    core = tarnwick.TarnwickCore(path)
    assert (core.stats()["ready"], core.stats()["in_flight"]) == (1, 1)
    assert core.verify_integrity()["ok"]
    assert core.extend_lease(held.id, 120000)  # renewed as its holder's lease
    seq, body = core.dequeue()[:2]
    assert body == b"free"
    core.ack(seq)
    core.compact()
    del core
    with Queue(path) as queue:
        [info] = leased(queue)
        assert (info.id, info.consumer, info.extensions) == (held.id, "w", 2)
