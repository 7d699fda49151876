"""A forked child resets what only its parent may use (the registry in
_fork.py): the child's waiter and connections are its own, and parent and
child both keep working."""

import gc
import os
import select
import sys
import threading
import traceback
from queue import Empty

import pytest

from tarnwick_queue import Queue
from tarnwick_queue._fork import reset_after_fork
from tarnwick_queue.leases import LeaseKeeper
from tarnwick_queue.waiting import DirectoryWaiter

pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")


def in_child(check):
    """Runs check() in a forked child; its exit status says whether it
    returned (a failure's traceback goes to stderr)."""
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            check()
            status = 0
        except BaseException:
            traceback.print_exc()
        finally:
            sys.stderr.flush()
            os._exit(status)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0, "the child's check failed (see stderr)"


def readable(fd, timeout=10.0):
    return bool(select.select([fd], [], [], timeout)[0])


def test_a_childs_waiter_watches_on_its_own_and_the_parents_keeps_working(tmp_path):
    path = str(tmp_path / "q")
    Queue(path).close()
    waiter = DirectoryWaiter(path)
    parent_fd = waiter.fileno()
    assert parent_fd is not None

    def child():
        # The inherited watch is closed here at once: draining it would
        # take the parent's wake-ups.
        with pytest.raises(OSError):
            os.fstat(parent_fd)
        waiter.arm()
        with Queue(path) as q:
            q.put(b"from the child")
        assert readable(waiter.fileno())
        waiter.close()

    waiter.arm()
    in_child(child)
    # The child's put reached the parent's watch too, which is the same one.
    assert waiter.fileno() == parent_fd
    assert readable(parent_fd)
    waiter.arm()
    assert not readable(parent_fd, 0.0)
    with Queue(path) as q:
        q.put(b"from the parent")
    assert readable(parent_fd)
    waiter.close()


def test_a_queue_works_in_parent_and_child_after_a_fork(tmp_path):
    path = str(tmp_path / "q")
    with Queue(path, sync_interval=0.0) as q:
        with pytest.raises(Empty):
            q.get(timeout=0.01)  # arms this thread's watch

        def child():
            with pytest.raises(Empty):
                q.get(timeout=0.05)  # on a watch of its own
            q.put(b"child")
            q.get(timeout=10).ack()
            q.put(b"for the parent")

        in_child(child)
        message = q.get(timeout=10)
        assert message.body == b"for the parent"
        message.ack()
        with pytest.raises(Empty):
            q.get(timeout=0.05)


def test_a_childs_postgres_queue_connects_anew_and_leaves_the_parents_session(pg_dsn,
                                                                             pg_name):
    from tarnwick_queue.postgres import PostgresQueue
    with PostgresQueue(pg_dsn, pg_name) as q:
        q.put(b"before")
        q.get(timeout=5).ack()
        with pytest.raises(Empty):
            q.get(timeout=0.01)  # this thread's LISTEN connection

        def child():
            q.put(b"child")
            q.get(timeout=10).ack()
            with pytest.raises(Empty):
                q.get(timeout=0.01)
            q.put(b"for the parent")
            q.close()

        in_child(child)
        # Both the statement and the LISTEN connection still work.
        message = q.get(timeout=10)
        assert message.body == b"for the parent"
        message.ack()
        with PostgresQueue(pg_dsn, pg_name) as other:
            putter = threading.Timer(0.2, other.put, (b"later",))
            putter.start()
            message = q.get(timeout=30)
            putter.join()
        assert message.body == b"later"
        message.ack()
        assert q.stats()["total"] == 0


def test_the_registry_keeps_nothing_alive_and_a_failing_reset_harms_no_other():
    calls = []

    class Resets:
        def __init__(self, name, fail=False):
            self.name, self.fail = name, fail
            reset_after_fork(self.reset)

        def reset(self):
            if self.fail:
                raise RuntimeError("a broken reset")
            calls.append(self.name)

    first, broken, last = Resets("first"), Resets("broken", fail=True), Resets("last")
    gone = Resets("gone")
    del gone
    gc.collect()

    def child():
        assert sorted(calls) == ["first", "last"], calls

    in_child(child)
    assert calls == []  # not in the parent
    del first, broken, last


def test_a_childs_lease_keeper_holds_nothing_of_the_parents(tmp_path):
    with Queue(str(tmp_path / "q"), lease=30.0) as q:
        q.put(b"parent's")
        message = q.get(timeout=10)
        keeper = LeaseKeeper()
        keeper.hold(message)

        def child():
            assert not keeper.holds(message)
            keeper.close()

        in_child(child)
        assert keeper.holds(message)
        assert keeper.release(message)
        message.ack()
        keeper.close()
