"""Every documented entry point, used as the documentation shows. Only
type-checked (tests/queue/test_typing.py), never run."""
import asyncio
from queue import Empty
from typing import List, Optional

from tarnwick_queue import (AsyncQueue, DeadLetter, LeaseLost, Message, MessageInfo, Queue,
                            Worker)
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
