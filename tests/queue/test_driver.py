"""The driver contract itself: documented and public, what the face passes a
driver, the tools over any queue of the face, and which modules a
PostgreSQL process loads."""

import asyncio
import inspect
import subprocess
import sys
import threading

import pytest

from dict_driver import DictDriver, DictStore, open_dict_queue
from tarnwick_queue import AsyncQueue, BaseQueue, Empty, LeaseLost, Queue, StopEvent
from tarnwick_queue.driver import Driver, Watch
from tarnwick_queue.local import LocalDriver

HOOKS = ["put", "put_many", "take", "watch", "ack", "ack_many", "nack", "bury", "extend", "peek",
         "stats", "dead_count", "dead_list", "dead_requeue", "dead_purge", "purge", "flush",
         "close", "cancel", "pause", "resume", "is_paused", "group_limit", "set_group_limit"]


def test_every_hook_is_public_documented_and_left_to_the_driver():
    for name in HOOKS:
        hook = getattr(Driver, name)
        assert not name.startswith("_") and inspect.getdoc(hook), name
        positional = [p for p in inspect.signature(hook).parameters.values()
                      if p.kind is p.POSITIONAL_OR_KEYWORD]
        arguments = [None] * (len(positional) - 1)
        with pytest.raises(NotImplementedError):
            hook(Driver(), *arguments)
    assert inspect.getdoc(Driver.closed) and inspect.getdoc(Watch.wait)
    for name in HOOKS:
        assert getattr(LocalDriver, name) is not getattr(Driver, name), name
        assert getattr(DictDriver, name) is not getattr(Driver, name), name


def test_the_face_checks_arguments_before_a_driver_sees_them():
    calls = []

    class Recording(DictDriver):
        def put(self, body, delay):
            calls.append((body, delay))
            return super().put(body, delay)

    with BaseQueue(Recording(DictStore())) as q:
        with pytest.raises(TypeError):
            q.put("text")
        with pytest.raises(ValueError):
            q.put(b"x", delay=-1)
        with pytest.raises(ValueError):
            q.get(lease=0)
        assert calls == []
        q.put(bytearray(b"x"), delay=0)
        assert calls == [(b"x", 0.0)] and type(calls[0][0]) is bytes
        assert type(calls[0][1]) is float


def test_a_message_settles_through_the_driver_it_came_from():
    store = DictStore()
    first, second = open_dict_queue(store), open_dict_queue(store)
    first.put(b"x")
    message = first.get(timeout=1)
    with pytest.raises(LeaseLost) as lost:
        second.ack_many([message])          # another handle's message is not acked there
    assert lost.value.lost == [message.id] and not message.settled
    message.extend(60)
    message.ack()
    assert message.settled and first.stats()["total"] == 0
    first.close()
    second.close()


def test_take_reports_the_next_due_time_with_an_empty_look(open_queue):
    queue = open_queue(lease=30.0)
    assert queue.take() == ([], None)
    queue.put(b"later", delay=600)
    messages, until_due = queue.take(5, lease=10.0)
    assert messages == [] and 0 < until_due <= 600
    queue.put(b"now")
    messages, until_due = queue.take(5, lease=10.0)
    assert [m.body for m in messages] == [b"now"] and until_due is None
    messages[0].ack()
    with pytest.raises(ValueError):
        queue.take(-1)


def test_a_watch_wakes_on_a_change_after_arming_and_on_a_stop(open_queue):
    queue = open_queue(lease=30.0)
    watch = queue.watch()
    watch.arm()
    queue.put(b"x")
    watch.wait(600)                          # the put came after arming: no sleep
    stop = StopEvent()
    watch.arm()
    threading.Timer(0.05, stop.set).start()
    watch.wait(600, stop)
    assert stop.is_set()
    stop.close()


def test_async_queue_wraps_a_queue_on_any_driver():
    async def main():
        q = AsyncQueue.wrap(open_dict_queue(DictStore(), lease=30.0))
        assert isinstance(q, AsyncQueue)
        getter = asyncio.ensure_future(q.get(timeout=30))
        await asyncio.sleep(0.05)
        await q.put(b"x")
        message = await getter
        assert message.body == b"x"
        message.ack()
        with pytest.raises(Empty):
            await q.get(timeout=0.05)
        q.close()
        assert q.queue.closed
    asyncio.run(main())


class CountingQueue(Queue):
    looks = 0

    def take(self, max=1, *, lease=None):
        self.looks += 1
        return super().take(max, lease=lease)


def test_an_idle_async_get_looks_once_and_sleeps_on_the_watch(tmp_path):
    # With nothing put, nothing leased and nothing due, a get waits on the
    # watch alone: it looks when it starts and once more when its time is
    # up, never on a timer in between (a cap of 1 s once made it look every
    # second: four looks in these two and a half seconds).
    async def main():
        queue = CountingQueue(str(tmp_path / "q"))
        q = AsyncQueue.wrap(queue)
        with pytest.raises(Empty):
            await q.get(timeout=2.5)
        assert queue.looks == 2
        q.close()
    asyncio.run(main())


IMPORTS = """
import sys
import tarnwick_queue.postgres
from tarnwick_queue.postgres import AsyncPostgresQueue, PostgresQueue
print(sorted(m for m in sys.modules if m.startswith("tarnwick_queue")))
"""


def test_a_postgres_process_does_not_load_the_local_driver():
    pytest.importorskip("psycopg")
    done = subprocess.run([sys.executable, "-c", IMPORTS], capture_output=True, text=True,
                          timeout=120, check=True)
    loaded = eval(done.stdout)
    assert "tarnwick_queue.postgres.queue" in loaded
    assert "tarnwick_queue.local" not in loaded, loaded
