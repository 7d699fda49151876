"""Items gathered to be handled together: a Worker's acks, sent as one
ack_many per queue instead of one commit each."""

from __future__ import annotations

import logging
import threading
import time
from typing import Callable, Generic, List, Optional, TypeVar

from ._fork import reset_after_fork

log = logging.getLogger("tarnwick_queue.worker")

Item = TypeVar("Item")


class Gathering(Generic[Item]):
    """Hands what add() was given to `handle(items)`: when flush() is
    called, or `window` seconds after the first item of a gathering came,
    by a thread of its own, whichever is first. So nothing waits longer
    than the window, however long the caller is busy. The thread sleeps
    while nothing is gathered and is woken once per gathering, not per
    item. What `handle` raises is logged and dropped: it must account for
    its items itself. A forked child starts with nothing gathered."""

    def __init__(self, handle: Callable[[List[Item]], None], window: float,
                 name: str = "tarnwick-gathering") -> None:
        self._handle = handle
        self._window = window
        self._name = name
        self._start()
        reset_after_fork(self._start)

    def _start(self) -> None:
        self._lock = threading.Lock()
        self._changed = threading.Condition(self._lock)
        self._items: List[Item] = []
        self._first = 0.0       # time.monotonic() the first gathered item came
        self._closed = False
        self._thread: Optional[threading.Thread] = None

    def add(self, item: Item) -> None:
        """Gathers `item`; once closed, handles it at once instead."""
        with self._lock:
            closed = self._closed
            if not closed and not self._items:
                self._first = time.monotonic()
                self._changed.notify()
            if not closed:
                self._items.append(item)
                if self._thread is None:
                    self._thread = threading.Thread(target=self._run, name=self._name,
                                                    daemon=True)
                    self._thread.start()
        if closed:
            self._hand_over([item])

    def flush(self) -> None:
        """Handles what is gathered now, in the calling thread."""
        with self._lock:
            items, self._items = self._items, []
        self._hand_over(items)

    def close(self) -> None:
        """Handles what is gathered and ends the thread."""
        with self._lock:
            self._closed = True
            thread, self._thread = self._thread, None
            self._changed.notify()
        if thread is not None and thread is not threading.current_thread():
            thread.join()
        self.flush()

    def _run(self) -> None:
        with self._lock:
            while not self._closed:
                if not self._items:
                    self._changed.wait()
                    continue
                left = self._first + self._window - time.monotonic()
                if left > 0:
                    self._changed.wait(left)
                    continue
                items, self._items = self._items, []
                self._lock.release()
                try:
                    self._hand_over(items)
                finally:
                    self._lock.acquire()

    def _hand_over(self, items: List[Item]) -> None:
        if not items:
            return
        try:
            self._handle(items)
        except Exception:
            log.exception("handling %d gathered item(s) failed", len(items))


__all__ = ["Gathering"]
