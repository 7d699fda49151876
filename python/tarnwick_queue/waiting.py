"""Sleeping until a queue may have work, without polling it.

A waiter is armed before each look at the queue and then waits with a
deadline; anything that changes the queue after the arming wakes the wait, so
no change between the look and the sleep is missed. On disk the change is
seen through a watch on the queue's directory (inotify, kqueue); the watch is
drained when armed. Each thread has its own watch, so that one thread's drain
never swallows another's wake-up, and a forked child makes its own.

A StopEvent ends a wait early: the waiter waits on its descriptor beside the
watch, so a blocked get can be stopped without waking now and then to look.
"""

from __future__ import annotations

import logging
import os
import select
import sys
import threading
import time
import weakref
from typing import List, Optional, Set

from . import _native
from ._fork import reset_after_fork

log = logging.getLogger("tarnwick_queue")

# An event loop's wait on a watch is no longer than this: a safety net for
# file systems that accept a watch but do not report every change. A blocking
# wait sleeps until the watch fires, the timeout passes or a StopEvent is set,
# and never longer than LONGEST_WAIT.
WATCHED_CAP = 1.0
LONGEST_WAIT = 3600.0
# Where no watch could be made, the queue is looked at this often.
UNWATCHED_CAP = 0.05


class StopEvent:
    """A flag that ends blocking gets given it (`get(stop=...)`): once set,
    they raise queue.Empty. set() may be called from any thread and from a
    signal handler: it writes one byte to a non-blocking pipe, whose read end
    the waiter waits on beside the queue's watch. A waiter drains the pipe,
    so threads that wait at the same time need one StopEvent each. The pipe
    is closed when the object is collected, or by close()."""

    def __init__(self) -> None:
        self._read, self._write = os.pipe()
        for fd in (self._read, self._write):
            os.set_blocking(fd, False)
        self._set = False
        self._close = weakref.finalize(self, _close_pipe, self._read, self._write)

    def set(self) -> None:
        self._set = True
        self.poke()

    def poke(self) -> None:
        """Wakes the wait without setting the flag: the waiter looks again."""
        if self._close.alive:
            try:
                os.write(self._write, b"\0")
            except BlockingIOError:
                pass  # full: readable already

    def is_set(self) -> bool:
        return self._set

    def fileno(self) -> int:
        """The read end: readable once set() (or a signal, when it is the
        signal wake-up descriptor) wrote to it since the last drain()."""
        return self._read

    def wakeup_fd(self) -> int:
        """The write end, for signal.set_wakeup_fd(): a signal that arrives
        in any thread then ends the main thread's wait, so its handler runs."""
        return self._write

    def drain(self) -> None:
        """Reads what was written, so the descriptor is quiet until the next
        write. A waiter drains after a wake-up and then looks at is_set()."""
        try:
            while os.read(self._read, 512):
                pass
        except BlockingIOError:
            pass

    def close(self) -> None:
        self._close()


def _close_pipe(read: int, write: int) -> None:
    os.close(read)
    os.close(write)


class DirectoryWaiter:
    def __init__(self, directory: str, file_name: str = "queue.log") -> None:
        self._directory = directory
        self._file_name = file_name
        self._local = threading.local()
        self._lock = threading.Lock()
        self._watches: List[_native.Watch] = []
        self._closed = False
        reset_after_fork(self._after_fork)

    def _watch(self) -> Optional[_native.Watch]:
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
        # In a forked child. The inherited descriptors are shared with the
        # parent: a drain here would take the parent's notifications. The
        # lock is replaced, not taken: a parent's thread may have held it.
        watches, self._watches = self._watches, []
        for watch in watches:
            watch.close()
        self._local = threading.local()
        self._lock = threading.Lock()

    def arm(self) -> int:
        watch = self._watch()
        if watch is not None:
            watch.drain()
        return 0

    def wait(self, armed: int, timeout: float, stop: Optional[StopEvent] = None) -> None:
        watch = self._watch()
        fds = [] if stop is None else [stop.fileno()]
        if watch is None:
            timeout = min(timeout, UNWATCHED_CAP)
        else:
            fds.append(watch.fileno())
            timeout = min(timeout, LONGEST_WAIT)
        if fds:
            wait_readable(fds, timeout)
        else:
            time.sleep(timeout)

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
        # The StopEvents of gets waiting on their descriptor: a change pokes
        # them.
        self._pokes: Set[StopEvent] = set()

    def arm(self) -> int:
        with self._changed:
            return self._changes

    def wait(self, armed: int, timeout: float, stop: Optional[StopEvent] = None) -> None:
        with self._changed:
            if stop is None:
                self._changed.wait_for(lambda: self._changes != armed, timeout)
                return
            if self._changes != armed:
                return
            self._pokes.add(stop)
        # On the descriptor, not the condition: a signal that reaches another
        # thread still ends the wait (it is the signal wake-up descriptor).
        try:
            wait_readable([stop.fileno()], min(timeout, LONGEST_WAIT))
        finally:
            with self._changed:
                self._pokes.discard(stop)

    def fileno(self) -> Optional[int]:
        return None  # waiting on a condition only; see DirectoryWaiter.fileno

    def notify(self) -> None:
        with self._changed:
            self._changes += 1
            self._changed.notify_all()
            for stop in self._pokes:
                stop.poke()

    def close(self) -> None:
        self.notify()


if sys.platform.startswith("linux"):
    def wait_readable(fds: List[int], timeout: float) -> None:
        """Sleeps until one of `fds` is readable or `timeout` seconds pass."""
        poller = select.poll()
        for fd in fds:
            poller.register(fd, select.POLLIN)
        poller.poll(max(0, int(timeout * 1000 + 0.999)))
else:  # pragma: no cover
    def wait_readable(fds: List[int], timeout: float) -> None:
        """Sleeps until one of `fds` is readable or `timeout` seconds pass."""
        select.select(fds, [], [], timeout)
