"""AsyncQueue: waiting through the event loop, without a thread or a poll."""

import asyncio
import subprocess
import sys
import threading
import time

import pytest

import tarnwick_queue.aio
from tarnwick_queue import AsyncQueue, Empty, Queue


def run(coroutine):
    return asyncio.run(asyncio.wait_for(coroutine, 30))


@pytest.fixture(params=["disk", "memory"])
def path(request, tmp_path):
    return str(tmp_path / "q") if request.param == "disk" else ":memory:"


def test_put_get_settle_and_iterate(path):
    async def main():
        async with AsyncQueue(path, lease=5.0, sync_interval=0.05) as q:
            first = await q.put(b"one")
            assert await q.put_many([b"two", b"three"]) == [first + 1, first + 2]
            m = await q.get()
            assert (m.id, m.body, m.deliveries) == (first, b"one", 1)
            m.nack()
            bodies = []
            async for message in q:
                with message:
                    bodies.append(message.body)
                if len(bodies) == 3:
                    break
            assert sorted(bodies) == [b"one", b"three", b"two"]
            assert q.stats()["total"] == 0 and q.peek() == []
            with pytest.raises(Empty):
                q.get_nowait()
            assert await q.get_many(0) == []
            with pytest.raises(ValueError):
                await q.get_many(-1)
            await q.put_many([b"four", b"five"])
            batch = await q.get_many(2)
            assert q.ack_many(batch) is None  # a plain call, nothing to await
            assert all(m.settled for m in batch) and q.stats()["total"] == 0
    run(main())


def test_get_times_out_with_empty_and_waits_for_a_put_in_the_same_loop(path):
    async def main():
        async with AsyncQueue(path, sync_interval=0.05) as q:
            started = time.monotonic()
            with pytest.raises(Empty):
                await q.get(timeout=0.2)
            assert 0.19 <= time.monotonic() - started < 20  # no hang
            assert await q.get_many(3, timeout=0.1) == []

            getters = [asyncio.ensure_future(q.get()) for _ in range(3)]
            await asyncio.sleep(0.05)
            assert not any(g.done() for g in getters)
            await q.put_many([b"a", b"b", b"c"])
            got = await asyncio.gather(*getters)
            assert sorted(m.body for m in got) == [b"a", b"b", b"c"]
    run(main())


def test_a_lease_ending_or_a_delay_coming_due_wakes_a_waiting_get(path, monkeypatch):
    # Without the due time a wait would last until the timeout: what wakes the
    # get is the lease's end or the delay's, never a periodic look.
    monkeypatch.setattr(tarnwick_queue.aio, "WATCHED_CAP", 3600.0)
    monkeypatch.setattr(tarnwick_queue.aio, "UNWATCHED_CAP", 3600.0)

    async def main():
        async with AsyncQueue(path, lease=0.3, sync_interval=0.05) as q:
            await q.put(b"dropped")
            first = await q.get()                  # never settled
            again = await q.get(timeout=600, lease=30.0)
            assert again.body == b"dropped" and again.deliveries == 2
            assert time.time() >= first.lease_expires_at - 0.002
            again.ack()
            put_at = time.time()
            await q.put(b"later", delay=0.3)
            due = await q.get(timeout=600, lease=30.0)
            assert due.body == b"later" and due.deliveries == 1
            assert time.time() >= put_at + 0.3
    run(main())


PUT_LATER = """
import sys, time
from tarnwick_queue import Queue
with Queue(sys.argv[1]) as q:
    time.sleep(0.3)
    q.put(b"from afar")
"""


def test_waiting_takes_no_thread_and_wakes_on_a_put_from_another_process(tmp_path):
    path = str(tmp_path / "q")

    async def main():
        async with AsyncQueue(path) as q:
            threads = threading.active_count()
            writer = subprocess.Popen([sys.executable, "-c", PUT_LATER, path])
            getters = [asyncio.ensure_future(q.get(timeout=20)) for _ in range(4)]
            await asyncio.sleep(0.1)
            assert threading.active_count() == threads
            done, _ = await asyncio.wait(getters, return_when=asyncio.FIRST_COMPLETED)
            (m,) = [g.result() for g in done]
            assert m.body == b"from afar"
            m.ack()
            assert writer.wait(20) == 0
            for g in getters:
                g.cancel()
            await asyncio.gather(*getters, return_exceptions=True)
    run(main())


def test_close_ends_waiting_gets_with_value_error(path):
    async def main():
        q = AsyncQueue(path)
        waiting = asyncio.ensure_future(q.get())
        await asyncio.sleep(0.05)
        q.close()
        with pytest.raises(ValueError):
            await waiting
    run(main())


class PlainBackend:
    """A backend without the event-loop hooks: AsyncQueue looks on a timer."""

    def __init__(self, queue):
        self._queue = queue
        self.dead_letters = queue.dead_letters

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        return getattr(self._queue, name)


def test_a_backend_without_a_watch_still_gets_its_messages(tmp_path):
    path = str(tmp_path / "q")

    async def main():
        q = AsyncQueue.wrap(PlainBackend(Queue(path, lease=30.0)))
        getter = asyncio.ensure_future(q.get(timeout=10))
        await asyncio.sleep(0.1)
        with Queue(path) as other:
            other.put(b"x")
        message = await getter
        assert message.body == b"x"
        message.ack()
        with pytest.raises(Empty):
            await q.get(timeout=0.1)
        q.close()
        assert q.queue.closed
    run(main())


def test_one_async_queue_serves_one_loop_at_a_time(tmp_path):
    q = AsyncQueue(str(tmp_path / "q"))
    for _ in range(2):  # a second asyncio.run is a new loop: the watch moves to it
        async def main():
            await q.put(b"x")
            (await q.get(timeout=5)).ack()
            with pytest.raises(Empty):
                await q.get(timeout=0.05)
        run(main())
    q.close()


def test_wait_is_not_a_poll(tmp_path):
    """While one get waits for 1 s on an idle queue, the process uses almost
    no CPU (a poll every few milliseconds would show)."""
    code = f"""
import asyncio, resource, time
from tarnwick_queue import AsyncQueue, Empty
async def main():
    async with AsyncQueue({str(tmp_path / 'q')!r}) as q:
        before = resource.getrusage(resource.RUSAGE_SELF)
        try:
            await q.get(timeout=1.0)
        except Empty:
            pass
        after = resource.getrusage(resource.RUSAGE_SELF)
        print(after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)
asyncio.run(main())
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, check=True, timeout=30)
    assert float(out.stdout) < 0.02
