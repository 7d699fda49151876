"""tarnwick_queue: a durable job queue on a directory, shared by processes.

    from tarnwick_queue import Queue

    with Queue("/var/tmp/jobs", max_deliveries=5) as q:
        q.put(b"resize 42")
        with q.get(timeout=10) as message:   # acked on success, nacked on error
            handle(message.body)
"""

from queue import Empty
from typing import TYPE_CHECKING, Any

from ._face import BaseQueue, DeadLetters, LeaseLost, Message, PutOptions, QueueBackend
from ._schedules import ScheduleInfo, Schedules
from .driver import DeadLetter, Driver, LocalQueueStats, MessageInfo, QueueStats, Status
from .waiting import StopEvent

if TYPE_CHECKING:
    # What the lazy imports below give, for type checkers.
    from .aio import AsyncQueue
    from .local import Queue
    from .worker import Worker
    __version__: str

__all__ = ["AsyncQueue", "BaseQueue", "DeadLetter", "DeadLetters", "Driver", "Empty", "LeaseLost",
           "LocalQueueStats", "Message", "MessageInfo", "PutOptions", "Queue", "QueueBackend",
           "QueueStats", "ScheduleInfo", "Schedules", "Status", "StopEvent", "Worker"]


def __getattr__(name: str) -> Any:
    # Queue loads the local driver, which a PostgreSQL process does without;
    # AsyncQueue brings asyncio in, Worker its threads, signals and the
    # supervisor's subprocesses: each only for those who use it.
    if name == "Queue":
        from .local import Queue
        return Queue
    if name == "AsyncQueue":
        from .aio import AsyncQueue
        return AsyncQueue
    if name == "Worker":
        from .worker import Worker
        return Worker
    if name == "__version__":  # the distribution's, read only when asked for
        from importlib.metadata import version
        return version("tarnwick")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
