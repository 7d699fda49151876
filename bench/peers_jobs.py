"""The no-op job of bench/postgres_peers_bench.py, for each system, and the
commands the bench runs in that system's interpreter:

    python bench/peers_jobs.py SYSTEM put N        # N jobs, in batches
    python bench/peers_jobs.py SYSTEM trickle N RATE
    python bench/peers_jobs.py tarnwick work        # one worker process

(pgqueuer's and procrastinate's workers are their own commands, `pgq run
peers_jobs:pgqueuer_main` and `procrastinate --app peers_jobs.procrastinate_app
worker`.) The database is PEERS_DSN (a URL). Every job carries its index and
the time it was put (time.perf_counter: CLOCK_MONOTONIC, one clock for every
process of the machine); its handler appends (put time, start time, index) to
a file of its own process under PEERS_RECORD, one write per job. Only public,
documented calls of pgqueuer and procrastinate are used.
"""

import os
import struct
import sys
import time

DSN = os.environ.get("PEERS_DSN", "")
RECORD = struct.Struct("ddq")
BATCH = 1000
QUEUE = "bench"
_fd = -1


def record(payload: bytes) -> None:
    """What each handler does first: stamp its start beside the job's put time."""
    global _fd
    started = time.perf_counter()
    if _fd < 0:
        _fd = os.open(os.path.join(os.environ["PEERS_RECORD"], f"{os.getpid()}.rec"),
                      os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    put_at, index = payload.split(b" ")
    os.write(_fd, RECORD.pack(float(put_at), started, int(index)))


def _payload(index: int, put_at: float) -> bytes:
    return b"%.9f %d" % (put_at, index)


def _paced(n: int, rate: float):
    """Yields 0..n-1, the i-th at start + i / rate (no sooner)."""
    start = time.perf_counter()
    for i in range(n):
        wait = start + i / rate - time.perf_counter()
        if wait > 0:
            time.sleep(wait)
        yield i


# --- tarnwick ---

def tarnwick_put(n: int) -> None:
    from tarnwick_queue.postgres import PostgresQueue
    with PostgresQueue(DSN, QUEUE) as q:
        for start in range(0, n, BATCH):
            t = time.perf_counter()
            q.put_many([_payload(i, t) for i in range(start, min(n, start + BATCH))])


def tarnwick_trickle(n: int, rate: float) -> None:
    from tarnwick_queue.postgres import PostgresQueue
    with PostgresQueue(DSN, QUEUE) as q:
        for i in _paced(n, rate):
            q.put(_payload(i, time.perf_counter()))


def tarnwick_work(prefetch: int = 1) -> None:
    from tarnwick_queue import Worker
    from tarnwick_queue.postgres import PostgresQueue
    # Defaults: one handler at a time, durable acks (SIGTERM stops it).
    Worker(lambda: PostgresQueue(DSN, QUEUE), lambda message: record(message.body),
           prefetch=prefetch).run()


def tarnwick_work_prototype(batch_take: bool) -> None:
    """Not tarnwick's Worker: what a worker that settles in batches would
    gain. Each finished job's ack waits until 64 are pending, 5 ms have
    passed since the first, or the queue looks empty (before it blocks), and
    goes in one ack_many; with batch_take, it also takes up to 10 at once."""
    from tarnwick_queue import Empty
    from tarnwick_queue.postgres import PostgresQueue
    import signal
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    with PostgresQueue(DSN, QUEUE) as q:
        pending, first = [], 0.0
        while not stop:
            try:
                got = q.get_many(10) if batch_take else [q.get_nowait()]
                if not got:
                    raise Empty
            except Empty:
                if pending:
                    q.ack_many(pending)
                    pending = []
                try:
                    got = q.get_many(10, timeout=0.5) if batch_take else [q.get(timeout=0.5)]
                except Empty:
                    continue
            for message in got:
                record(message.body)
                if not pending:
                    first = time.perf_counter()
                pending.append(message)
            if len(pending) >= 64 or time.perf_counter() - first > 0.005:
                q.ack_many(pending)
                pending = []
        if pending:
            q.ack_many(pending)


def tarnwick_work_async_take() -> None:
    """Not tarnwick's Worker: one message at a time, but the take's commit
    is not waited for (synchronous_commit off for it); each ack is durable,
    and its sync covers the take before it (one WAL). A take lost in a crash
    only leaves its message ready: delivered again, as at-least-once allows."""
    import signal

    import psycopg
    from tarnwick_queue import Empty
    from tarnwick_queue.postgres import PostgresQueue
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    conn = psycopg.connect(DSN, autocommit=True)
    with PostgresQueue(conn, QUEUE) as q:
        while not stop:
            conn.execute("SET synchronous_commit = off")
            try:
                message = q.get(timeout=0.5)
            except Empty:
                continue
            finally:
                conn.execute("SET synchronous_commit = on")
            record(message.body)
            message.ack()


# --- pgqueuer ---

async def pgqueuer_main():
    """The factory `pgq run` calls: a PgQueuer with the no-op entrypoint."""
    import asyncpg
    from pgqueuer import PgQueuer
    from pgqueuer.db import AsyncpgDriver

    connection = await asyncpg.connect(DSN)
    pgq = PgQueuer(AsyncpgDriver(connection))

    @pgq.entrypoint("noop")
    async def noop(job) -> None:
        record(job.payload)

    return pgq


def pgqueuer_work() -> None:
    """What `pgq run peers_jobs:pgqueuer_main` does (its CLI fails before
    starting in this version, on its own log level): PgQueuer.run() with its
    defaults. SIGTERM ends the process."""
    import asyncio

    async def main() -> None:
        pgq = await pgqueuer_main()
        await pgq.run()
    asyncio.run(main())


def pgqueuer_put(n: int, rate: float = 0.0) -> None:
    import asyncio

    import asyncpg
    from pgqueuer.db import AsyncpgDriver
    from pgqueuer.queries import Queries

    async def main() -> None:
        connection = await asyncpg.connect(DSN)
        queries = Queries(AsyncpgDriver(connection))
        if rate:
            start = time.perf_counter()
            for i in range(n):
                wait = start + i / rate - time.perf_counter()
                if wait > 0:
                    await asyncio.sleep(wait)
                await queries.enqueue("noop", _payload(i, time.perf_counter()))
        else:
            for start in range(0, n, BATCH):
                t = time.perf_counter()
                count = min(n, start + BATCH) - start
                await queries.enqueue(["noop"] * count,
                                      [_payload(i, t) for i in range(start, start + count)],
                                      [0] * count)
        await connection.close()
    asyncio.run(main())


# --- procrastinate ---

def _procrastinate_app():
    import procrastinate
    app = procrastinate.App(connector=procrastinate.PsycopgConnector(conninfo=DSN))

    @app.task(queue=QUEUE, name="noop")
    async def noop(p: str) -> None:
        record(p.encode())

    return app, noop


if os.environ.get("PEERS_SYSTEM") == "procrastinate":
    procrastinate_app, _noop = _procrastinate_app()


def procrastinate_put(n: int, rate: float = 0.0) -> None:
    import asyncio

    async def main() -> None:
        async with procrastinate_app.open_async():
            if rate:
                start = time.perf_counter()
                for i in range(n):
                    wait = start + i / rate - time.perf_counter()
                    if wait > 0:
                        await asyncio.sleep(wait)
                    await _noop.defer_async(p=_payload(i, time.perf_counter()).decode())
            else:
                for start in range(0, n, BATCH):
                    t = time.perf_counter()
                    await _noop.batch_defer_async(
                        *[{"p": _payload(i, t).decode()}
                          for i in range(start, min(n, start + BATCH))])
    asyncio.run(main())


def main() -> None:
    system, command, *rest = sys.argv[1:]
    if command == "work" and system == "pgqueuer":
        pgqueuer_work()
    elif command == "work":
        tarnwick_work()
    elif command == "work-prefetch":
        tarnwick_work(prefetch=10)
    elif command == "work-batched-ack":
        tarnwick_work_prototype(batch_take=False)
    elif command == "work-async-take":
        tarnwick_work_async_take()
    elif command == "work-batched":
        tarnwick_work_prototype(batch_take=True)
    elif command == "put":
        {"tarnwick": tarnwick_put, "pgqueuer": pgqueuer_put,
         "procrastinate": procrastinate_put}[system](int(rest[0]))
    elif command == "trickle":
        n, rate = int(rest[0]), float(rest[1])
        if system == "tarnwick":
            tarnwick_trickle(n, rate)
        else:
            {"pgqueuer": pgqueuer_put, "procrastinate": procrastinate_put}[system](n, rate)
    else:
        raise SystemExit(f"unknown command {command!r}")


if __name__ == "__main__":
    main()
