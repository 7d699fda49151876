"""The queues one worker takes from, in order of priority, with one wait for
all of them: arm every queue's watch, look at each in turn, then sleep on
all their descriptors, the earliest due time and a stop event."""

from __future__ import annotations

from queue import Empty
from typing import List, Optional, Sequence, Tuple

from ._face import BaseQueue, Message, QueueBackend
from .driver import Watch
from .waiting import LONGEST_WAIT, UNWATCHED_CAP, StopEvent, wait_readable


class QueueSet:
    """`queues`, first first; each message is taken with `lease` (None: its
    queue's). A queue of the face is looked at through its public take() and
    watch(); any other backend through a non-blocking get()."""

    def __init__(self, queues: Sequence[QueueBackend], lease: Optional[float]) -> None:
        self.queues = list(queues)
        self._lease = lease

    def take(self, stop: StopEvent, block: bool = True) -> Message:
        """The next message, by the queues' order; raises Empty once `stop` is
        set, or at once when nothing is ready and `block` is False."""
        if len(self.queues) == 1:
            return self.queues[0].get(block=block, lease=self._lease, stop=stop)
        if not block:
            message, _ = self.look()
            if message is None:
                raise Empty
            return message
        while True:
            # Armed before the look: a change after it wakes the wait below.
            watches = self.arm()
            stop.drain()  # before the flag is read: a set() after it wakes the wait
            if stop.is_set():
                raise Empty
            message, due = self.look()
            if message is not None:
                return message
            fds, wait = self.wait_for(watches, due)
            wait_readable([stop.fileno(), *fds], wait)

    def arm(self) -> List[Optional[Watch]]:
        """Arms each queue's watch (None for a queue without one): a change
        after this wakes a wait on wait_for()'s descriptors."""
        watches: List[Optional[Watch]] = []
        for queue in self.queues:
            watch = queue.watch() if isinstance(queue, BaseQueue) else None
            if watch is not None:
                watch.arm()
            watches.append(watch)
        return watches

    def look(self) -> Tuple[Optional[Message], Optional[float]]:
        """A message of the first queue that has one, else None and the
        seconds until the earliest lease or delay of any of them ends."""
        soonest: Optional[float] = None
        for queue in self.queues:
            if isinstance(queue, BaseQueue):
                taken, due = queue.take(1, lease=self._lease)
                if taken:
                    return taken[0], None
                if due is not None:
                    soonest = due if soonest is None else min(soonest, due)
            else:
                try:
                    return queue.get(block=False, lease=self._lease), None
                except Empty:
                    pass
        return None, soonest

    @staticmethod
    def wait_for(watches: List[Optional[Watch]], due: Optional[float]
                 ) -> Tuple[List[int], float]:
        """The descriptors to wait on and for how long: until the due time (a
        millisecond over), or looking every UNWATCHED_CAP at a queue without
        a descriptor."""
        fds: List[int] = []
        wait = LONGEST_WAIT if due is None else max(0.0, due + 0.001)
        for watch in watches:
            fd = None if watch is None else watch.fileno()
            if fd is None:
                wait = min(wait, UNWATCHED_CAP)
            else:
                fds.append(fd)
        return fds, wait


__all__ = ["QueueSet"]
