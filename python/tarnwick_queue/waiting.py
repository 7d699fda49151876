"""Sleeping until a queue may have work, without polling it.

A waiter is armed before each look at the queue and then waits with a
deadline; anything that changes the queue after the arming wakes the wait, so
no change between the look and the sleep is missed. On disk the change is
seen through a watch on the queue's directory (inotify, kqueue); the watch is
drained when armed. Each thread has its own watch, so that one thread's drain
never swallows another's wake-up, and a forked child makes its own.
"""

from __future__ import annotations

import logging
import os
import select
import sys
import threading
import time
from typing import List, Optional

from . import _native

log = logging.getLogger("tarnwick_queue")

# Even with a watch, no sleep is longer than this: a safety net for file
# systems that accept a watch but do not report every change.
WATCHED_CAP = 1.0
# Where no watch could be made, the queue is looked at this often.
UNWATCHED_CAP = 0.05


class DirectoryWaiter:
    def __init__(self, directory: str, file_name: str = "queue.log") -> None:
        self._directory = directory
        self._file_name = file_name
        self._local = threading.local()
        self._lock = threading.Lock()
        self._watches: List[_native.Watch] = []
        self._pid = os.getpid()
        self._closed = False

    def _watch(self) -> Optional[_native.Watch]:
        if self._pid != os.getpid():
            self._after_fork()
        if hasattr(self._local, "watch"):
            return self._local.watch
        watch = None
        try:
            watch = _native.Watch(self._directory, self._file_name)
        except OSError as exc:
            log.warning("no change notification for %s (%s); looking every %.0f ms instead",
                        self._directory, exc, UNWATCHED_CAP * 1000)
        with self._lock:
            if self._closed:
                if watch is not None:
                    watch.close()
                raise ValueError("operation on a closed queue")
            if watch is not None:
                self._watches.append(watch)
        self._local.watch = watch
        return watch

    def _after_fork(self) -> None:
        # The inherited descriptors are shared with the parent: a drain here
        # would take the parent's notifications.
        with self._lock:
            for watch in self._watches:
                watch.close()
            self._watches = []
        self._local = threading.local()
        self._lock = threading.Lock()
        self._pid = os.getpid()

    def arm(self) -> int:
        watch = self._watch()
        if watch is not None:
            watch.drain()
        return 0

    def wait(self, armed: int, timeout: float) -> None:
        watch = self._watch()
        if watch is None:
            time.sleep(min(timeout, UNWATCHED_CAP))
            return
        _wait_readable(watch.fileno(), min(timeout, WATCHED_CAP))

    def fileno(self) -> Optional[int]:
        """The calling thread's watch descriptor, for an event loop to wait
        on: it turns readable once the queue changes after this thread's
        last arm(), and arm() drains it. None where no watch could be made."""
        watch = self._watch()
        return None if watch is None else watch.fileno()

    def notify(self) -> None:
        pass  # every append to the log is seen through the watch

    def close(self) -> None:
        with self._lock:
            self._closed = True
            for watch in self._watches:
                watch.close()
            self._watches = []


class MemoryWaiter:
    """For a queue without a directory: only this process can change it."""

    def __init__(self) -> None:
        self._changed = threading.Condition()
        self._changes = 0

    def arm(self) -> int:
        with self._changed:
            return self._changes

    def wait(self, armed: int, timeout: float) -> None:
        with self._changed:
            self._changed.wait_for(lambda: self._changes != armed, timeout)

    def fileno(self) -> Optional[int]:
        return None  # waiting on a condition only; see DirectoryWaiter.fileno

    def notify(self) -> None:
        with self._changed:
            self._changes += 1
            self._changed.notify_all()

    def close(self) -> None:
        self.notify()


if sys.platform.startswith("linux"):
    def _wait_readable(fd: int, timeout: float) -> None:
        poller = select.poll()
        poller.register(fd, select.POLLIN)
        poller.poll(max(0, int(timeout * 1000 + 0.999)))
else:  # pragma: no cover
    def _wait_readable(fd: int, timeout: float) -> None:
        select.select([fd], [], [], timeout)
