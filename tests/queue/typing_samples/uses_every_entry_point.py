"""Every documented entry point, used as the documentation shows. Only
type-checked (tests/queue/test_typing.py), never run."""
import asyncio
from queue import Empty
from typing import Dict, List, Optional, Tuple

from tarnwick_queue import (AsyncQueue, DeadLetter, LeaseLost, Message, MessageInfo, Queue,
                            Status, Worker)
from tarnwick_queue.postgres import AsyncPostgresQueue, PostgresQueue


def handle(message: Message) -> None:
    print(message.id, len(message.body), message.deliveries, message.enqueued_at)


def open_queue() -> Queue:
    return Queue("jobs", lease=60.0, max_deliveries=5)


def use_queue() -> None:
    q = Queue("jobs", lease=60.0, max_deliveries=5, sync_interval=0.0)
    seq: int = q.put(b"resize image 42")
    q.put(bytearray(b"later"), delay=3600.0)
    ids: List[int] = q.put_many([b"a", b"b"])
    try:
        message = q.get(timeout=10.0)
    except Empty:
        pass
    else:
        with message:
            body: bytes = message.body
        try:
            message.ack()
        except LeaseLost as lost:
            gone: List[int] = lost.lost
    for m in q.get_many(10, timeout=0.5, lease=5.0):
        m.nack(delay=1.0)
    done = q.get(timeout=1.0)
    step: Tuple[List[Message], Optional[float]] = q.take(1, lease=5.0, ack=done)
    acked: bool = done.settled
    letters: List[DeadLetter] = q.dead_letters.list(limit=10)
    for letter in letters:
        print(letter.original_id, letter.reason, letter.died_at)
    requeued: int = q.dead_letters.requeue([1, 2])
    count: int = len(q.dead_letters)
    stats = q.stats()
    ready: int = stats["ready"]
    dead: int = stats["dead_letters"]
    persistent: bool = stats["persistent"]
    infos: List[MessageInfo] = q.peek(5, bodies=True)
    due: Optional[float] = infos[0].due_at
    first: int = q.put(b"charge", priority=5, key="order-7", unique_for=600.0,
                       group="account-1", headers={"traceparent": "00-abc-01"})
    q.put_many([b"a", b"b"], delay=1.0, priority=-1, group="account-2", headers={"k": "v"})
    cancelled: bool = q.cancel(first)
    q.pause()
    q.resume()
    paused: bool = q.paused or stats["paused"]
    q.group_limit = 2
    limit: int = q.group_limit
    grouped = Queue("grouped", group_limit=2).get(timeout=1.0)
    options: Tuple[int, Optional[str], Optional[str], Dict[str, str]] = (
        grouped.priority, grouped.key, grouped.group, grouped.headers)
    headers: Dict[str, str] = infos[0].headers
    kept = Queue("kept", keep_acked=3600.0, keep_dead=0.0, keep_cancelled=60.0)
    taken = kept.get(timeout=1.0)
    taken.nack(0.5, error="ValueError: bad input")
    kept.get().ack(result=b"done")
    kept.get().dead("gave up")
    status: Optional[Status] = kept.status(taken.id)
    if status is not None:
        state: str = status.state
        result: Optional[bytes] = status.result
        errors: Tuple[str, ...] = status.errors
        finished: Optional[float] = status.finished_at
    latest: List[Status] = kept.outcomes("dead", limit=10, since=0.0)
    Worker(q, handle).run()
    Worker(open_queue, handle, max_deliveries=5, lease=30.0, backoff=(1.0, 2.0, 60.0)).run()
    with PostgresQueue("dbname=jobs", "jobs") as pg:
        pg.put(b"job")
        Worker(pg, handle).run()
        pg_ready: int = pg.stats()["ready"]
        pg.dead_letters.list()


async def use_async_queue() -> None:
    async with AsyncQueue("jobs", lease=60.0) as q:
        seq: int = await q.put(b"resize 42")
        await q.put(b"once", key="k", unique_for=60.0, priority=1, group="g", headers={})
        await q.put_many([b"x"], priority=2, group="g")
        q.pause()
        q.resume()
        was_cancelled: bool = q.cancel(seq) and not q.paused
        message = await q.get(timeout=1.0)
        with message:
            print(message.body)
        async for m in q:
            m.ack()
            break
        q.dead_letters.list()
        ready: int = q.stats()["ready"]
    async with AsyncPostgresQueue("dbname=jobs", "jobs") as apg:
        await apg.put(b"job")


asyncio.run(use_async_queue())
