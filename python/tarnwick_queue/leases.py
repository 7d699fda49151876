"""Keeping leases alive while their messages are worked on, for the Worker
and the framework adapters alike."""

from __future__ import annotations

import heapq
import itertools
import logging
import threading
import time
from typing import Dict, List, Optional, Tuple

from ._face import LeaseLost, Message
from ._fork import reset_after_fork
from ._outage import Outage

log = logging.getLogger("tarnwick_queue.leases")

# A lease is never taken to be shorter than this: a keeper renews at most
# this often per message.
SHORTEST_LEASE = 0.001

_HELD, _LOST, _DONE = "held", "lost", "done"


class _Held:
    __slots__ = ("message", "ask", "length", "until", "due", "state")

    def __init__(self, message: Message, ask: Optional[float], length: float,
                 until: Optional[float], due: float) -> None:
        self.message = message
        self.ask = ask          # what each renewal asks for (None: the queue's lease)
        self.length = length    # the lease's length, which times the renewals
        self.until = until      # time.monotonic() after which it is not renewed
        self.due = due          # time.monotonic() of the next renewal
        self.state = _HELD      # or _LOST (a renewal found it gone), _DONE (no more renewals)


class LeaseKeeper:
    """Renews the leases of the messages it holds until they are released.

    The rule: a lease is renewed once a third of it has passed, timed by
    this process's monotonic clock from the moment the previous renewal was
    asked for (a PostgreSQL lease's end is by the server's clock, which
    need not agree with ours). A third, not a half: a renewal that fails
    (a lost connection, a full disk) is tried again every sixth of the
    lease, so two renewals in a row can fail, or be slow by a sixth of the
    lease each, and the lease still holds. A message is renewed until it is
    released, until its `until` passes (its lease then runs out, as a time
    limit wants), until it is found settled, or until a renewal finds its
    lease lost: that is logged at WARNING and the message is dropped (its
    release() then returns False). A renewal that raises OSError (which
    ConnectionLost is) or another error is tried again a sixth of the lease
    later, for as long as the keeper holds the message: once the lease has
    really ended, the queue says so with LeaseLost. Failures in a row (a
    server restarting) are logged once at WARNING, and the first renewal
    that works again once at INFO, not once per try and message.

    One thread per keeper renews all its messages, one at a time, and
    sleeps until the next renewal is due (with nothing held, until
    something is): it starts with the first hold(). A forked child starts
    with an empty keeper: the parent's messages are the parent's to renew.
    Only the public face of a message is used (`extend()`, `settled`,
    `lease_expires_at`), so a message of any queue can be held."""

    def __init__(self, name: str = "tarnwick-lease-keeper") -> None:
        self._name = name
        self._start()
        reset_after_fork(self._start)

    def _start(self) -> None:
        # Also a forked child's reset: fresh locks (a parent's thread may
        # have held the old one at the fork) and nothing held.
        self._lock = threading.Lock()
        self._changed = threading.Condition(self._lock)
        # By id(message): the entry keeps the message, so the id stays its own.
        self._held: Dict[int, _Held] = {}
        self._queue: List[Tuple[float, int, _Held]] = []  # (due, order, entry), a heap
        self._order = itertools.count()
        self._renewing: Optional[_Held] = None
        # When the renewing thread's wait ends: an entry due sooner must
        # wake it, one due later need not (waking per hold costs a thread
        # switch each).
        self._wake_at = float("inf")
        self._thread: Optional[threading.Thread] = None
        # The renewals failing in a row; only the renewing thread uses it.
        self._outage = Outage(log, "renewing a lease")

    def hold(self, message: Message, lease: Optional[float] = None,
             until: Optional[float] = None) -> None:
        """Renews `message`'s lease until release(message). Each renewal
        asks for `lease` seconds (None: the queue's lease, whose length is
        then taken from the lease the message has now). `until`, a
        time.monotonic() value, ends the renewals when it passes. Holding a
        message held already replaces its terms."""
        now = time.monotonic()
        remaining = message.lease_expires_at - time.time()
        length = max(SHORTEST_LEASE, remaining if lease is None else lease)
        # A third of the lease from now, or sooner if the message has been
        # leased a while already.
        first = now + max(0.0, min(length / 3, remaining - 2 * length / 3))
        with self._lock:
            entry = _Held(message, lease, length, until, first)
            self._held[id(message)] = entry
            self._schedule(entry)
            if self._thread is None:
                self._thread = threading.Thread(target=self._run, name=self._name, daemon=True)
                self._thread.start()

    def release(self, message: Message) -> bool:
        """Stops renewing `message`. On return no renewal of it is under
        way, so the caller may settle it. False when a renewal found its
        lease lost (the message may be with another consumer now); True
        otherwise, also for a message that was not held."""
        with self._lock:
            entry = self._held.pop(id(message), None)
            if entry is None:
                return True
            while self._renewing is entry:
                self._changed.wait()
            lost = entry.state == _LOST
            entry.state = _DONE
            return not lost

    def holds(self, message: Message) -> bool:
        """Whether `message` is held and still renewed."""
        with self._lock:
            entry = self._held.get(id(message))
            return entry is not None and entry.state == _HELD

    def close(self) -> None:
        """Stops renewing every message and ends the thread (a later hold()
        starts another)."""
        with self._lock:
            thread, self._thread = self._thread, None
            for entry in self._held.values():
                entry.state = _DONE
            self._held.clear()
            self._queue.clear()
            self._changed.notify_all()
        if thread is not None and thread is not threading.current_thread():
            thread.join()

    # --- the renewing thread ---

    def _schedule(self, entry: _Held) -> None:
        """With the lock held."""
        heapq.heappush(self._queue, (entry.due, next(self._order), entry))
        # Released entries stay in the heap until they come up: rebuild it
        # when they outnumber the held ones, so it stays small.
        if len(self._queue) > 2 * len(self._held) + 64:
            self._queue = [item for item in self._queue if self._current(item)]
            heapq.heapify(self._queue)
        if entry.due < self._wake_at:
            self._changed.notify_all()

    def _current(self, item: Tuple[float, int, _Held]) -> bool:
        """With the lock held: whether a heap item is its entry's next renewal."""
        due, _, entry = item
        return (entry.state == _HELD and entry.due == due
                and self._held.get(id(entry.message)) is entry)

    def _next(self) -> Tuple[Optional[_Held], Optional[float]]:
        """With the lock held: the entry due now, or how long until the next
        is due (None: nothing is held)."""
        # An item no longer current (released, rescheduled or replaced) on
        # top is left until it comes due: sleeping until then, the thread
        # need not be woken for later holds. Once one comes due, the stale
        # items behind it go with it.
        popped = False
        while self._queue:
            due, _, entry = self._queue[0]
            current = self._current(self._queue[0])
            if not (popped and not current):
                left = due - time.monotonic()
                if left > 0:
                    return None, left
            heapq.heappop(self._queue)
            popped = True
            if current:
                return entry, None
        return None, None

    def _run(self) -> None:
        me = threading.current_thread()
        with self._lock:
            while self._thread is me:
                entry, wait = self._next()
                if entry is None:
                    if wait is None:
                        # Nothing held: a failure story with no renewal
                        # left to end it (the next failure tells anew).
                        self._outage.forget()
                    self._wake_at = float("inf") if wait is None else time.monotonic() + wait
                    self._changed.wait(wait)
                    continue
                self._renewing = entry
                self._lock.release()
                try:
                    state, due = _renew(entry, self._outage)
                finally:
                    self._lock.acquire()
                    self._renewing = None
                    self._changed.notify_all()
                if entry.state == _HELD and self._held.get(id(entry.message)) is entry:
                    entry.state = state
                    if state == _HELD:
                        entry.due = due
                        self._schedule(entry)


def _renew(entry: _Held, outage: Outage) -> Tuple[str, float]:
    """Renews the entry's lease (without the keeper's lock): its new state
    and, while it is held, when it is due again."""
    message = entry.message
    if message.settled:
        return _DONE, 0.0
    asked = time.monotonic()
    if entry.until is not None and asked >= entry.until:
        log.info("message %d: past its time limit, its lease is no longer renewed", message.id)
        return _DONE, 0.0
    try:
        message.extend(entry.ask)
    except LeaseLost:
        if message.settled:  # settled meanwhile: nothing to renew
            return _DONE, 0.0
        log.warning("message %d: lease lost while it was held (it may be with another "
                    "consumer now)", message.id)
        return _LOST, 0.0
    except ValueError:
        return _DONE, 0.0  # its queue was closed: no renewal can succeed
    except Exception as exc:
        # A sixth of the lease, whatever the outage's pauses: two tries
        # fit in what is left of the lease.
        outage.failed(exc)
        return _HELD, time.monotonic() + entry.length / 6
    outage.succeeded()
    return _HELD, asked + entry.length / 3


__all__ = ["LeaseKeeper"]
