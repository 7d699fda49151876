"""AsyncPostgresQueue: AsyncQueue on PostgreSQL.

A waiting get sleeps in the event loop on the loop thread's LISTEN socket
(registered with add_reader) and on a timer for the earliest lease or delay
that comes due, which the last look at the queue reported: no thread and no
polling. Every other call is one statement on the queue's connection, made
directly from the loop's thread, as AsyncQueue does with a local queue's
writes: with the database on the same network that is a fraction of a
millisecond.
"""

from __future__ import annotations

from typing import Any, Optional, Union

import psycopg

from .._face import QueueBackend
from ..aio import AsyncFace, AsyncQueue
from ..driver import Retention
from .queue import PostgresQueue

_KEEP = Retention()


class AsyncPostgresQueue(AsyncQueue):
    """A PostgresQueue for coroutines, with PostgresQueue's constructor:

        async with AsyncPostgresQueue("host=db dbname=app", "resize") as q:
            await q.put(b"resize 42")
            async for message in q:
                with message:             # acked on success, nacked on error
                    await handle(message.body)
    """

    def __init__(self, dsn_or_connection: Union[str, psycopg.Connection[Any]],
                 name: str = "default", *, lease: float = 30.0,
                 max_deliveries: Optional[int] = None,
                 group_limit: Optional[int] = None,
                 keep_acked: float = _KEEP.acked, keep_dead: float = _KEEP.dead,
                 keep_cancelled: float = _KEEP.cancelled) -> None:
        # AsyncQueue's own constructor opens a queue directory: the face's is wanted.
        self.queue: PostgresQueue = PostgresQueue(dsn_or_connection, name, lease=lease,
                                                  max_deliveries=max_deliveries,
                                                  group_limit=group_limit,
                                                  keep_acked=keep_acked, keep_dead=keep_dead,
                                                  keep_cancelled=keep_cancelled)
        AsyncFace.__init__(self, self.queue)

    @classmethod
    def wrap(cls, backend: QueueBackend) -> AsyncQueue:
        """An AsyncPostgresQueue over an open PostgresQueue; close() closes it."""
        if not isinstance(backend, PostgresQueue):
            return AsyncQueue.wrap(backend)
        return _Wrapped(backend)

    def __repr__(self) -> str:
        return f"AsyncPostgresQueue({self.queue.name!r})"


class _Wrapped(AsyncPostgresQueue):
    # What wrap() returns: an AsyncPostgresQueue over a queue opened elsewhere.
    def __init__(self, backend: PostgresQueue) -> None:
        self.queue = backend
        AsyncFace.__init__(self, backend)
