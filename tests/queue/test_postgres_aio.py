"""AsyncPostgresQueue: waits on LISTEN in the event loop, and survives its
listening connection being cut while it waits."""

import asyncio
import resource
import threading
import time

import pytest

psycopg = pytest.importorskip("psycopg")

import tarnwick_queue.aio  # noqa: E402
from tarnwick_queue import Empty  # noqa: E402
from tarnwick_queue.postgres import AsyncPostgresQueue, PostgresQueue  # noqa: E402


def run(coroutine):
    return asyncio.run(asyncio.wait_for(coroutine, 30))


def put_from_another_connection(dsn, name, body, after):
    def put():
        time.sleep(after)
        with PostgresQueue(dsn, name) as other:
            other.put(body)
    thread = threading.Thread(target=put)
    thread.start()
    return thread


def test_waiting_gets_wake_on_a_put_elsewhere_without_a_thread_or_a_poll(pg_dsn, pg_name,
                                                                         monkeypatch):
    # No look on a timer either, so a second's CPU time is the waiting's alone.
    monkeypatch.setattr(tarnwick_queue.aio, "WATCHED_CAP", 3600.0)

    async def main():
        async with AsyncPostgresQueue(pg_dsn, pg_name, lease=5.0) as q:
            with pytest.raises(Empty):
                await q.get(timeout=0.2)
            threads = threading.active_count()
            getters = [asyncio.ensure_future(q.get(timeout=20)) for _ in range(3)]
            await asyncio.sleep(0.2)
            assert threading.active_count() == threads
            cpu = resource.getrusage(resource.RUSAGE_SELF)
            await asyncio.sleep(1.0)
            after = resource.getrusage(resource.RUSAGE_SELF)
            # A look every 50 ms by each getter costs about 15 ms here.
            assert (after.ru_utime + after.ru_stime) - (cpu.ru_utime + cpu.ru_stime) < 0.006
            writer = put_from_another_connection(pg_dsn, pg_name, b"from afar", 0.0)
            done, pending = await asyncio.wait(getters, return_when=asyncio.FIRST_COMPLETED)
            (message,) = [g.result() for g in done]
            assert (message.body, message.deliveries) == (b"from afar", 1)
            message.ack()
            for g in pending:
                g.cancel()
            await asyncio.gather(*pending, return_exceptions=True)
            writer.join()
    run(main())


def test_a_lease_ending_and_a_delay_coming_due_wake_a_waiting_get(pg_dsn, pg_name,
                                                                  monkeypatch):
    # Without the due time a wait would last until the timeout (the test's 30 s
    # bound): what wakes the get is the lease's end or the delay's.
    monkeypatch.setattr(tarnwick_queue.aio, "WATCHED_CAP", 3600.0)
    monkeypatch.setattr(tarnwick_queue.aio, "UNWATCHED_CAP", 3600.0)

    async def main():
        async with AsyncPostgresQueue(pg_dsn, pg_name, lease=0.3) as q:
            await q.put(b"dropped")
            first = await q.get()              # never settled
            again = await q.get(timeout=600, lease=30.0)   # no notification: the lease's end
            assert (again.body, again.deliveries) == (b"dropped", 2)
            assert time.time() >= first.lease_expires_at - 0.002
            again.ack()
            put_at = time.time()
            await q.put(b"later", delay=0.3)
            due = await q.get(timeout=600, lease=30.0)
            assert (due.body, due.deliveries) == (b"later", 1)
            assert time.time() >= put_at + 0.3
            due.ack()
    run(main())


def test_a_wait_outlives_its_listening_connection_being_cut(pg_dsn, pg_name):
    async def main():
        async with AsyncPostgresQueue(pg_dsn, pg_name) as q:
            getter = asyncio.ensure_future(q.get(timeout=20))
            with psycopg.connect(pg_dsn, autocommit=True) as admin:
                give_up = time.monotonic() + 20
                cut = 0
                while not cut:  # once the getter listens
                    assert time.monotonic() < give_up, "the getter never listened"
                    await asyncio.sleep(0.05)
                    cut = admin.execute(
                        "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity "
                        "WHERE query LIKE 'LISTEN %%' AND pid <> pg_backend_pid()").fetchone()[0]
            await asyncio.sleep(0.3)
            writer = put_from_another_connection(pg_dsn, pg_name, b"after the cut", 0.0)
            message = await getter
            assert message.body == b"after the cut"
            message.ack()
            writer.join()
    run(main())


def test_wrap_puts_an_open_postgres_queue_behind_the_async_face(pg_dsn, pg_name):
    async def main():
        q = AsyncPostgresQueue.wrap(PostgresQueue(pg_dsn, pg_name, lease=30.0))
        assert isinstance(q, AsyncPostgresQueue) and repr(q) == f"AsyncPostgresQueue({pg_name!r})"
        getter = asyncio.ensure_future(q.get(timeout=20))
        await asyncio.sleep(0.05)
        put_from_another_connection(pg_dsn, pg_name, b"x", 0.0).join()
        message = await getter
        assert message.body == b"x"
        message.ack()
        q.close()
        assert q.queue.closed
    run(main())
