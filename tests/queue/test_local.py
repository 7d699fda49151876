"""The on-disk face: sharing a directory with TarnwickCore objects in other
processes, forked children, the process lock waited for without the
interpreter lock, and where the dead letters live."""

import errno
import fcntl
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from tarnwick import TarnwickCore
from tarnwick_queue import LeaseLost, Queue


def run_python(code, *args):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                          capture_output=True, text=True, timeout=60, check=True).stdout


def test_core_in_another_process_wakes_a_blocked_get(tmp_path):
    with Queue(tmp_path) as queue:
        started = time.monotonic()
        threading.Timer(0.3, run_python, args=(
            "import sys; from tarnwick import TarnwickCore; "
            "TarnwickCore(sys.argv[1]).enqueue(b'from core')", tmp_path)).start()
        message = queue.get(timeout=30)
        assert message.body == b"from core"
        assert time.monotonic() - started < 10
        message.ack()


def test_delayed_put_is_a_lease_to_core_objects(tmp_path):
    # The far delay is not due whenever the other process looks; the near one
    # it waits past.
    with Queue(tmp_path) as queue:
        queue.put(b"far", delay=3600)
        due_at = time.time() + 0.5
        queue.put(b"due soon", delay=0.5)
        out = run_python("""
            import sys, time
            from tarnwick import TarnwickCore
            core = TarnwickCore(sys.argv[1])
            print(core.in_flight())
            time.sleep(max(0.0, float(sys.argv[2]) - time.time()) + 0.1)
            seq, body, deliveries, _ = core.dequeue()
            print(body.decode(), deliveries, core.dequeue())
            core.nack(seq)
        """, tmp_path, due_at)
        assert out.split("\n")[:2] == ["2", "due soon 1 None"]
        again = queue.get(timeout=1)
        assert (again.body, again.deliveries) == (b"due soon", 2)


def test_core_acks_what_the_face_put_and_the_face_sees_it(tmp_path):
    with Queue(tmp_path) as queue:
        ids = queue.put_many([b"a", b"b"])
        core = TarnwickCore(str(tmp_path))
        seq, body, deliveries, _ = core.dequeue()
        assert (seq, body, deliveries) == (ids[0], b"a", 1)
        assert core.ack(seq)
        assert [m.body for m in queue.get_many(5)] == [b"b"]
        assert queue.stats()["acked_total"] == 1


def test_dead_letters_live_in_a_subdirectory_queue(tmp_path):
    with Queue(tmp_path) as queue:
        queue.put(b"x")
        queue.get(timeout=1).dead("why")
    dead_letters = TarnwickCore(str(tmp_path / "dead_letters"))
    assert dead_letters.stats()["total"] == 1
    assert TarnwickCore(str(tmp_path)).stats()["dead_total"] == 1


def test_peek_leaves_the_log_byte_for_byte(tmp_path):
    with Queue(tmp_path) as queue:
        queue.put_many([b"a", b"b"])
        queue.put(b"c", delay=60)
        queue.get(lease=0.05)
        time.sleep(0.1)  # the lease has expired, and peek must not reclaim it
        log = tmp_path / "queue.log"
        before = (log.read_bytes(), log.stat().st_mtime_ns)
        assert [i.state for i in queue.peek(bodies=True)] == ["ready", "ready", "scheduled"]
        assert (log.read_bytes(), log.stat().st_mtime_ns) == before


def test_forked_child_puts_and_parent_wakes(tmp_path):
    with Queue(tmp_path) as queue:
        queue.put(b"before fork")
        assert queue.get(timeout=1).body == b"before fork"
        pid = os.fork()
        if pid == 0:  # the child uses the inherited object
            try:
                time.sleep(0.2)
                queue.put(b"from child")
                os._exit(0)
            except BaseException:
                os._exit(1)
        message = queue.get(timeout=10)
        assert message.body == b"from child"
        assert os.waitpid(pid, 0)[1] == 0


def test_lock_wait_releases_the_interpreter(tmp_path):
    queue = Queue(tmp_path)
    with open(tmp_path / ".proc_lock", "rb") as holder:
        fcntl.flock(holder, fcntl.LOCK_EX)  # as another process holding the queue
        done = threading.Event()
        threading.Thread(target=lambda: (queue.put(b"x"), done.set()), daemon=True).start()
        ticks = 0
        give_up = time.monotonic() + 0.5
        while time.monotonic() < give_up:
            ticks += 1  # this thread runs while the put waits for the lock
        assert not done.is_set()
        assert ticks > 1000
        fcntl.flock(holder, fcntl.LOCK_UN)
    assert done.wait(10)
    assert queue.stats()["total"] == 1
    queue.close()


def test_queue_path_that_is_a_file_is_named_in_the_error(tmp_path):
    target = tmp_path / "file"
    target.write_bytes(b"not a directory")
    with pytest.raises(OSError) as info:
        Queue(target)
    assert str(info.value) == f"Tarnwick I/O error: File exists (os error 17): '{target}'"
    assert info.value.errno == errno.EEXIST


def test_a_failing_operation_names_the_queue_in_its_error(tmp_path):
    with Queue(tmp_path / "q") as queue:
        queue.put(b"x")
        (tmp_path / "q" / "queue.compact.tmp").mkdir()  # the compaction cannot write its file
        with pytest.raises(OSError) as info:
            queue.compact()
        assert str(info.value).startswith("Tarnwick I/O error: ")
        assert str(info.value).endswith(f": '{tmp_path / 'q'}'")
        assert queue.get(timeout=1).body == b"x"


def test_an_empty_path_is_refused_and_creates_nothing(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError, match="path is empty"):
        Queue("")
    assert list(tmp_path.iterdir()) == []


def test_stale_message_cannot_settle_a_newer_one_with_its_id(tmp_path):
    queue = Queue(tmp_path)  # the slow consumer's, still open
    queue.put(b"old")
    stale = queue.get(lease=0.1)
    time.sleep(0.2)
    # Acked by TarnwickCore, which keeps no outcome (a kept one would keep
    # the id taken): with no live message left, a rebuilt state reuses id 0.
    core = TarnwickCore(str(tmp_path))
    assert core.dequeue() is not None and core.ack(stale.id)
    del core
    queue.compact()
    time.sleep(0.01)
    with Queue(tmp_path) as fresh, queue:
        assert fresh.put(b"new") == stale.id
        current = fresh.get(timeout=1)
        assert (current.id, current.deliveries) == (stale.id, stale.deliveries)
        with pytest.raises(LeaseLost):
            stale.ack()
        with pytest.raises(LeaseLost):
            stale.nack()
        current.ack()


def test_ctrl_c_ends_a_lock_wait(tmp_path):
    Queue(tmp_path).close()
    with open(tmp_path / ".proc_lock", "rb") as holder:
        fcntl.flock(holder, fcntl.LOCK_EX)  # as a peer that keeps the queue busy
        child = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
            import sys, time
            from tarnwick_queue import Queue
            print("ready", flush=True)
            started = time.monotonic()
            try:
                Queue(sys.argv[1]).put(b"x")
                print("put went through")
            except KeyboardInterrupt:
                print("interrupted after %.1f s" % (time.monotonic() - started))
        """), str(tmp_path)], stdout=subprocess.PIPE, text=True)
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=20)
    assert out.startswith("interrupted after"), out
    assert float(out.split()[2]) < 20  # not the lock's 30 s time-out
    with Queue(tmp_path) as queue:
        assert queue.stats()["total"] == 0
