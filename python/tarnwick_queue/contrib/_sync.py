"""Group commit for the adapters' durable setting.

A worker has many threads that each ack one message at a time; syncing the
log once per ack makes every ack wait for its own sync. Instead the queue is
opened without forced syncs, and each put or ack is followed by
`GroupSync.wait()`, which returns once a sync that started after the
caller's write has finished: writes of threads that arrive while a sync runs
share the next one. Every put and ack is still on stable storage when the
call returns. Leases are not synced: a lease lost in a power cut only makes
its message ready again, which at-least-once delivery allows.
"""

from __future__ import annotations

import threading
from typing import Any, Tuple, Union

from .. import Queue

# The queue's own sync interval when GroupSync does the syncing: long enough
# that the queue never syncs by itself in the middle of a burst.
UNFORCED_SYNC_INTERVAL = 3600.0


class GroupSync:
    def __init__(self, queue: Queue) -> None:
        self._queue = queue
        self._changed = threading.Condition()
        self._writes = 0  # writes announced so far
        self._synced = 0  # writes covered by a finished sync
        self._syncing = False

    def wait(self) -> None:
        """Call after a write: returns once it is synced."""
        with self._changed:
            self._writes += 1
            mine = self._writes
            while self._synced < mine:
                if self._syncing:
                    self._changed.wait()
                    continue
                self._syncing = True
                covered = self._writes
                self._changed.release()
                try:
                    self._queue.flush()
                finally:
                    self._changed.acquire()
                    self._syncing = False
                    self._changed.notify_all()
                self._synced = max(self._synced, covered)


class NoSync:
    """For a queue that syncs on its own schedule (sync_interval > 0)."""

    def wait(self) -> None:
        pass


def open_queue(path: str, *, sync_interval: float,
               **options: Any) -> Tuple[Queue, Union[GroupSync, NoSync]]:
    """A queue and the sync to call after each put or ack: grouped syncs when
    `sync_interval` is 0.0 (every put and ack durable on return), else the
    queue's own interval."""
    if sync_interval == 0.0:
        queue = Queue(path, sync_interval=UNFORCED_SYNC_INTERVAL, **options)
        return queue, GroupSync(queue)
    return Queue(path, sync_interval=sync_interval, **options), NoSync()
