"""tarnwick_queue: a durable job queue on a directory, shared by processes.

    from tarnwick_queue import Queue

    with Queue("/var/tmp/jobs", max_deliveries=5) as q:
        q.put(b"resize 42")
        with q.get(timeout=10) as message:   # acked on success, nacked on error
            handle(message.body)
"""

from queue import Empty

from ._types import DeadLetter, LeaseLost, Message, MessageInfo, QueueBackend
from .local import DeadLetters, Queue

__all__ = ["DeadLetter", "DeadLetters", "Empty", "LeaseLost", "Message", "MessageInfo", "Queue",
           "QueueBackend"]
__version__ = "0.1.0"
