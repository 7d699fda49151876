"""get(), get_many(), iteration and the context manager, written once for
every backend.

A backend supplies three things: `_lease_arg(lease)` (the lease in its own
unit), `_take_now(count, lease, want_due)` (the messages it leased now and,
when none and `want_due`, the seconds until the earliest lease or delay ends,
or None), and `_arm()`, which arms a wake-up for the calling thread and
returns a `wait(timeout, stop)` that a change made after the arming, or a set
StopEvent `stop` (None: none), ends early.
Arming before the look that finds nothing is what keeps a message that
arrives between that look and the sleep from being missed.
"""

from __future__ import annotations

import time
from queue import Empty
from typing import Any, Callable, List, Optional, Tuple

from ._types import Message, _non_negative_int, _seconds
from .waiting import StopEvent


class BlockingConsumer:
    def _lease_arg(self, lease: Optional[float]) -> Any:
        raise NotImplementedError

    def _take_now(self, count: int, lease: Any,
                  want_due: bool) -> Tuple[List[Message], Optional[float]]:
        raise NotImplementedError

    def _arm(self) -> Callable[[float, Optional[StopEvent]], None]:
        raise NotImplementedError

    def close(self) -> None:
        raise NotImplementedError

    def __enter__(self) -> Any:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def get(self, block: bool = True, timeout: Optional[float] = None, *,
            lease: Optional[float] = None, stop: Optional[StopEvent] = None) -> Message:
        """Leases the oldest ready message. Blocks until one is ready (at most
        `timeout` seconds if given) and raises queue.Empty when none came.
        A blocking get given a StopEvent `stop` also raises queue.Empty once
        that is set (another thread or a signal handler ends the wait so,
        as Worker.stop() does): the wait watches the event's descriptor
        beside the queue's wake-up, so nothing has to look at it now and
        then."""
        lease_arg = self._lease_arg(lease)
        if not block:
            timeout = 0.0
        elif timeout is not None:
            timeout = _seconds(timeout, "timeout")
        if stop is not None and not isinstance(stop, StopEvent):
            raise TypeError(f"stop must be a StopEvent or None, not {type(stop).__name__}")
        taken = self._take(1, lease_arg, timeout, stop)
        if not taken:
            raise Empty
        return taken[0]

    def get_nowait(self) -> Message:
        return self.get(block=False)

    def get_many(self, max: int, timeout: float = 0.0, *,
                 lease: Optional[float] = None) -> List[Message]:
        """Leases up to `max` ready messages, waiting up to `timeout` seconds
        for the first; an empty list when none came."""
        _non_negative_int(max, "max")
        lease_arg = self._lease_arg(lease)
        if max == 0:
            return []
        return self._take(max, lease_arg, _seconds(timeout, "timeout"))

    def __iter__(self) -> Any:
        return self

    def __next__(self) -> Message:
        """Iterating waits for message after message."""
        return self.get()

    def _take(self, count: int, lease: Any, timeout: Optional[float],
              stop: Optional[StopEvent] = None) -> List[Message]:
        # Most calls find work at once and need no wake-up armed.
        if stop is not None and stop.is_set():
            return []
        taken, _ = self._take_now(count, lease, False)
        if taken or timeout == 0.0:
            return taken
        give_up = None if timeout is None else time.monotonic() + timeout
        while True:
            wait = self._arm()
            if stop is not None:
                # Drained before the flag is read: a set() after this line
                # leaves the descriptor readable for the wait below.
                stop.drain()
                if stop.is_set():
                    return []
            taken, until_due = self._take_now(count, lease, True)
            if taken:
                return taken
            left = None if give_up is None else give_up - time.monotonic()
            if left is not None and left <= 0:
                return []
            if until_due is not None:
                # A millisecond over, so the lease has surely ended on waking.
                until_due = max(0.0, until_due + 0.001)
                left = until_due if left is None else min(left, until_due)
            wait(3600.0 if left is None else left, stop)
