"""The queues one worker takes from, in order of priority, with one wait for
all of them: arm every queue's watch, look at each in turn, then sleep on
all their descriptors, the earliest due time and a stop event. Each look
also fires the queues' due schedules, and the wait ends at the next slot."""

from __future__ import annotations

import logging
import threading
import time
from queue import Empty
from typing import List, NamedTuple, Optional, Sequence, Tuple

from ._face import BaseQueue, Message, QueueBackend
from ._schedules import Schedules
from .driver import Watch
from .waiting import LONGEST_WAIT, UNWATCHED_CAP, StopEvent, wait_readable

log = logging.getLogger("tarnwick_queue.worker")

# How often a busy worker reads its queues' schedules at most (a wake-up of
# an idle one reads them too, as it may be a schedule added elsewhere), and
# how long it waits after that read failed.
SCHEDULES_REFRESH = 1.0
SCHEDULES_ERROR_PAUSE = 5.0


class ScheduleFiring:
    """Fires one queue's due schedules from a worker's looks: when its next
    slot has come, else at most once per SCHEDULES_REFRESH. Any number of
    workers may fire the same queue: each slot is fired once all the same."""

    def __init__(self, schedules: Schedules) -> None:
        self._schedules = schedules
        self._next_slot: Optional[float] = None   # epoch seconds
        self._read_at = -SCHEDULES_REFRESH        # monotonic
        self._skipped = True   # a look came too soon after a read: look again later
        self._lock = threading.Lock()  # a worker's threads share it: one fires
        self._working = True

    def look(self) -> None:
        now = time.monotonic()
        slot_due = self._next_slot is not None and time.time() >= self._next_slot
        if not self._working or not (slot_due or now - self._read_at >= SCHEDULES_REFRESH):
            self._skipped = True
            return
        if not self._lock.acquire(blocking=False):
            return
        try:
            self._read_at, self._skipped = now, False
            fired, self._next_slot = self._schedules.fire_and_next()
            if fired:
                log.debug("fired %d scheduled message(s)", fired)
        except NotImplementedError:
            self._working = False  # a driver without schedules
        except ValueError:
            raise  # a closed queue
        except Exception as exc:
            # The take that follows meets the same failure and reports it.
            log.debug("firing schedules failed: %s", exc)
            self._next_slot = time.time() + SCHEDULES_ERROR_PAUSE
        finally:
            self._lock.release()

    def wait_at_most(self) -> Optional[float]:
        """Seconds until this wants a look: its next slot, or the end of the
        refresh pause when a look was skipped (None: nothing to wait for)."""
        waits = []
        if self._next_slot is not None:
            waits.append(max(0.0, self._next_slot - time.time()))
        if self._skipped and self._working:
            waits.append(max(0.0, self._read_at + SCHEDULES_REFRESH - time.monotonic()))
        return min(waits) if waits else None


class Taken(NamedTuple):
    message: Message
    queue: QueueBackend   # the one it came from


class QueueSet:
    """`queues`, first first; each message is taken with `lease` (None: its
    queue's). A queue of the face is looked at through its public take() and
    watch(); any other backend through a non-blocking get()."""

    def __init__(self, queues: Sequence[QueueBackend], lease: Optional[float],
                 fire_schedules: bool = False) -> None:
        self.queues = list(queues)
        self._lease = lease
        self._firings = [ScheduleFiring(queue.schedules) for queue in self.queues
                         if fire_schedules and isinstance(queue, BaseQueue)]

    def take(self, stop: StopEvent, block: bool = True, count: int = 1) -> List[Taken]:
        """The next messages, up to `count`, all of the first queue that has
        any, with their queue; raises Empty once `stop` is set, or at once
        when nothing is ready and `block` is False."""
        if len(self.queues) == 1 and not self._firings and count == 1:
            only = self.queues[0]
            return [Taken(only.get(block=block, lease=self._lease, stop=stop), only)]
        if stop.is_set():
            raise Empty
        taken, _ = self.look(count)  # most looks find some: no watch to arm
        if taken:
            return taken
        if not block:
            raise Empty
        while True:
            # Armed before the look: a change after it wakes the wait below.
            watches = self.arm()
            stop.drain()  # before the flag is read: a set() after it wakes the wait
            if stop.is_set():
                raise Empty
            taken, due = self.look(count)
            if taken:
                return taken
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

    def look(self, count: int = 1, ack: Optional[Message] = None
             ) -> Tuple[List[Taken], Optional[float]]:
        """Up to `count` messages of the first queue that has any (one of a
        backend without take()), else none and the seconds until the
        earliest lease or delay of any of them ends, or a schedule wants a
        look. Due schedules are fired first. `ack`, a message of the first
        queue, is acked in the same step as that queue's take (see
        BaseQueue.take)."""
        assert ack is None or (ack.queue is self.queues[0] and isinstance(ack.queue, BaseQueue))
        soonest: Optional[float] = None
        for firing in self._firings:
            firing.look()
        for queue in self.queues:
            if isinstance(queue, BaseQueue):
                leased, due = queue.take(count, lease=self._lease, ack=ack)
                ack = None
                if leased:
                    return [Taken(message, queue) for message in leased], None
                if due is not None:
                    soonest = due if soonest is None else min(soonest, due)
            else:
                try:
                    return [Taken(queue.get(block=False, lease=self._lease), queue)], None
                except Empty:
                    pass
        for firing in self._firings:
            wait = firing.wait_at_most()
            if wait is not None:
                soonest = wait if soonest is None else min(soonest, wait)
        return [], soonest

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


__all__ = ["QueueSet", "Taken"]
