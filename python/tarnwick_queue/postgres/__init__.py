"""tarnwick_queue on PostgreSQL: the same queue face, shared by processes on
many machines (needs psycopg 3: pip install "tarnwick[postgres]").

    from tarnwick_queue.postgres import PostgresQueue

    with PostgresQueue("host=db dbname=app", "resize", max_deliveries=5) as q:
        q.put(b"resize 42")
        with q.get(timeout=10) as message:   # acked on success, nacked on error
            handle(message.body)

AsyncPostgresQueue is the same for asyncio (see tarnwick_queue.AsyncQueue).
"""

from .aio import AsyncPostgresQueue
from .connection import ConnectionLost
from .driver import PostgresQueueStats
from .queue import PostgresDeadLetters, PostgresQueue
from .schema import LATEST as SCHEMA_VERSION
from .schema import SchemaTooNew

__all__ = ["SCHEMA_VERSION", "AsyncPostgresQueue", "ConnectionLost", "PostgresDeadLetters",
           "PostgresQueue", "PostgresQueueStats", "SchemaTooNew"]
