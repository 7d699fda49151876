"""The face every queue shows, written once over a Driver (driver.py):
putting, get() and its waiting, get_many(), iteration, ack_many(), the
context managers, Message and its settling with fencing, the dead letters,
and LeaseLost. Queue (local.py) and PostgresQueue (postgres/) are this face
with their constructors and the odd call of their own.
"""

from __future__ import annotations

import time
from queue import Empty
from typing import (
    TYPE_CHECKING,
    Any,
    Dict,
    Iterable,
    Iterator,
    List,
    Optional,
    Protocol,
    Tuple,
    TypedDict,
    TypeVar,
    Union,
)

if TYPE_CHECKING:
    from typing_extensions import Unpack

from . import _checks, _failure
from ._schedules import Schedules
from .driver import DeadLetter, Driver, MessageInfo, QueueStats, Status, Watch
from .waiting import LONGEST_WAIT, StopEvent

Body = Union[bytes, bytearray, memoryview]

_Q = TypeVar("_Q", bound="BaseQueue")


class PutOptions(TypedDict, total=False):
    """put()'s options, each optional (see BaseQueue.put)."""

    priority: int                       # -100..100, default 0
    key: Optional[str]
    unique_for: float                   # seconds, with a key
    group: Optional[str]
    headers: Optional[Dict[str, str]]


class LeaseLost(Exception):
    """The lease this message was received with is no longer its current one:
    it ran out (and the message may be with another consumer now), or the
    message was settled already. Nothing was written for it.

    `lost` lists the ids of the messages concerned: the one message of a
    single settle, or those of an ack_many() that were not acked (the others
    of that call were)."""

    def __init__(self, *args: Any, lost: Iterable[int] = ()) -> None:
        super().__init__(*args)
        self.lost: List[int] = list(lost)

    def __reduce__(self) -> Any:
        # Keeps `lost` when the exception crosses a process boundary.
        return (_lease_lost, (self.args, self.lost))


def _lease_lost(args: Tuple[Any, ...], lost: List[int]) -> LeaseLost:
    return LeaseLost(*args, lost=lost)


class Message:
    """A leased message. Settle it once with ack(), nack() or dead(); extend()
    renews the lease. Each acts only while this message's lease is still the
    current one, and raises LeaseLost otherwise.

    `priority`, `key`, `group` and `headers` (a dict, {} when none) are what
    put() was given; `queue` is the queue it was taken from.

    As a context manager it acks when the block ends normally and nacks when
    the block raises (unless the block settled it already)."""

    __slots__ = ("id", "body", "deliveries", "enqueued_at", "lease_expires_at", "priority",
                 "key", "group", "headers", "queue", "_driver", "_token", "_settled")

    # The last four are given by drivers whose rows have ten fields.
    def __init__(self, driver: Driver, id: int, body: bytes, deliveries: int,
                 enqueued_at: float, lease_expires_at: float, token: Any, priority: int = 0,
                 key: Optional[str] = None, group: Optional[str] = None,
                 headers: Optional[Dict[str, str]] = None, *,
                 queue: Optional[BaseQueue] = None) -> None:
        self.id = id
        self.body = body
        self.deliveries = deliveries
        self.enqueued_at = enqueued_at
        self.lease_expires_at = lease_expires_at
        self.priority = priority
        self.key = key
        self.group = group
        self.headers: Dict[str, str] = {} if headers is None else headers
        self.queue = queue
        self._driver = driver
        self._token = token  # the driver's record of the lease, for fencing
        self._settled = False

    @property
    def settled(self) -> bool:
        """True once ack(), nack() or dead() succeeded on this object."""
        return self._settled

    def ack(self, result: Optional[bytes] = None) -> None:
        """Removes the message from the queue; its outcome (with `result`,
        bytes of at most 1 MiB) is kept for the queue's keep_acked seconds,
        for status()."""
        if result is None:
            acked = not self._settled and self._driver.ack(self._token)
        else:
            result = _checks.result(result)
            acked = not self._settled and self._driver.ack(self._token, result)
        if not acked:
            raise _lost(self)
        self._settled = True

    def nack(self, delay: float = 0.0, *, error: Optional[str] = None) -> None:
        """Returns the message to the queue, due again after `delay` seconds;
        `error` (a str of at most 16 KiB in UTF-8) is kept as the error of
        this delivery, for status()."""
        delay = _checks.seconds(delay, "delay")
        if error is None:
            nacked = not self._settled and self._driver.nack(self._token, delay)
        else:
            error = _checks.error(error)
            nacked = not self._settled and self._driver.nack(self._token, delay, error)
        if not nacked:
            raise _lost(self)
        self._settled = True

    def dead(self, reason: str = "") -> None:
        """Moves the message to the queue's dead letters; `reason` (at most
        16 KiB in UTF-8) is also the error of this delivery."""
        _checks.reason(reason)
        if self._settled or not self._driver.bury(self._token, reason):
            raise _lost(self)
        self._settled = True

    def extend(self, seconds: Optional[float] = None) -> None:
        """Renews the lease to `seconds` from now (the queue's lease when None)."""
        if seconds is not None:
            seconds = _checks.positive_seconds(_checks.seconds(seconds, "seconds"), "lease")
        renewed = None if self._settled else self._driver.extend(self._token, seconds)
        if renewed is None:
            raise _lost(self)
        self._token, self.lease_expires_at = renewed

    def __enter__(self) -> Message:
        return self

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        if self._settled:
            return
        if exc_type is None:
            self.ack()
        else:
            self.nack(error=_failure.describe(exc))

    def __repr__(self) -> str:
        return (f"Message(id={self.id}, deliveries={self.deliveries}, "
                f"size={len(self.body)}, lease_expires_at={self.lease_expires_at:.3f})")


def _lost(message: Message) -> LeaseLost:
    return LeaseLost(f"message {message.id}: the lease it was received with is no longer "
                     "current (it expired, or the message was settled)", lost=[message.id])


def _batch_lost(lost: List[Message]) -> LeaseLost:
    ids = [m.id for m in lost]
    named = f"message {ids[0]}" if len(ids) == 1 else "messages " + ", ".join(map(str, ids))
    return LeaseLost(f"{named}: not acked, as the lease received is no longer current (it "
                     "expired, the message was settled, or it came from another queue object); "
                     "the others given were acked", lost=ids)


def _messages(values: Iterable[Any]) -> List[Message]:
    """The distinct Message objects among `values`, in order: the same
    object given twice is settled once. Raises TypeError for anything else,
    before any is settled."""
    if isinstance(values, Message):
        raise TypeError("ack_many() takes an iterable of messages, not a single Message")
    try:
        items = list(values)
    except TypeError:
        raise TypeError("ack_many() takes an iterable of messages, not "
                        f"{type(values).__name__}") from None
    seen = set()
    out = []
    for item in items:
        if not isinstance(item, Message):
            raise TypeError(f"ack_many() takes messages, not {type(item).__name__}")
        if id(item) not in seen:
            seen.add(id(item))
            out.append(item)
    return out


class DeadLetters:
    """The messages a queue parked: sent there with Message.dead(), or for
    exceeding max_deliveries. On disk they live in the queue directory's
    `dead_letters` subdirectory, itself a queue of the same format."""

    def __init__(self, driver: Driver) -> None:
        self._driver = driver

    def __len__(self) -> int:
        return self._driver.dead_count()

    def list(self, limit: Optional[int] = None) -> List[DeadLetter]:
        """The dead letters, oldest first (at most `limit`)."""
        return self._driver.dead_list(_checks.optional_limit(limit))

    def requeue(self, ids: Optional[Iterable[int]] = None) -> int:
        """Puts the named dead letters (all when None) back as new messages;
        returns how many."""
        return self._driver.dead_requeue(_checks.ids(ids))

    def purge(self) -> int:
        """Deletes every dead letter; returns how many."""
        return self._driver.dead_purge()


class DeadLetterStore(Protocol):
    def __len__(self) -> int: ...
    def list(self, limit: Optional[int] = None) -> List[DeadLetter]: ...
    def requeue(self, ids: Optional[Iterable[int]] = None) -> int: ...
    def purge(self) -> int: ...


class QueueBackend(Protocol):
    """What every queue offers, on a directory or on a server (what the
    tools and the adapters use)."""

    # Read-only here, so that a backend may declare its own store class.
    @property
    def dead_letters(self) -> DeadLetterStore: ...

    # The options spelled out (see PutOptions), so that a backend whose put
    # takes one keyword more (PostgresQueue's connection) still fits.
    def put(self, body: Body, *, delay: float = 0.0, priority: int = 0,
            key: Optional[str] = None, unique_for: float = 0.0, group: Optional[str] = None,
            headers: Optional[Dict[str, str]] = None) -> int: ...
    def put_many(self, bodies: Iterable[Body], *, delay: float = 0.0, priority: int = 0,
                 group: Optional[str] = None,
                 headers: Optional[Dict[str, str]] = None) -> List[int]: ...
    def cancel(self, id: int) -> bool: ...
    def get(self, block: bool = True, timeout: Optional[float] = None, *,
            lease: Optional[float] = None, stop: Optional[StopEvent] = None) -> Message: ...
    def get_nowait(self) -> Message: ...
    def get_many(self, max: int, timeout: float = 0.0, *,
                 lease: Optional[float] = None) -> List[Message]: ...
    def ack_many(self, messages: Iterable[Message]) -> None: ...
    def peek(self, limit: int = 10, *, bodies: bool = False) -> List[MessageInfo]: ...
    def stats(self) -> QueueStats: ...
    def status(self, id: int) -> Optional[Status]: ...
    def outcomes(self, state: Optional[str] = None, limit: int = 100, *,
                 since: Optional[float] = None) -> List[Status]: ...
    def qsize(self) -> int: ...
    def pause(self) -> None: ...
    def resume(self) -> None: ...
    @property
    def paused(self) -> bool: ...
    def purge(self) -> None: ...
    def flush(self) -> None: ...
    @property
    def closed(self) -> bool: ...
    def close(self) -> None: ...


def queue_label(queue: Any) -> str:
    """What a queue is called in metrics and spans: a PostgreSQL queue's
    name, a directory's path, else its repr()."""
    for attribute in ("name", "path"):
        value = getattr(queue, attribute, None)
        if isinstance(value, str):
            return value
    return repr(queue)


class BaseQueue:
    """A queue over `driver`: the whole face but the constructor. Queue and
    PostgresQueue are this with their own; a new driver needs none:
    BaseQueue(MyDriver(...)) is a queue."""

    def __init__(self, driver: Driver, dead_letters: Optional[DeadLetters] = None) -> None:
        self._driver = driver
        self._max_body_size = driver.max_body_size  # a constant of the driver's, read once
        self.dead_letters = DeadLetters(driver) if dead_letters is None else dead_letters
        #: The queue's periodic messages (see Schedules).
        self.schedules = Schedules(driver)

    @property
    def driver(self) -> Driver:
        """The driver under this queue."""
        return self._driver

    # --- producing ---

    # The options come as **options so that a put without them costs what
    # it did before they existed: no keyword defaults to fill in, one look.
    def put(self, body: Body, *, delay: float = 0.0, **options: Unpack[PutOptions]) -> int:
        """Appends one message; it is delivered no earlier than `delay`
        seconds from now. Returns its id. The options (PutOptions):

        `priority` (-100..100, default 0): higher is delivered first, equal
        ones in id order. `key`: while a message with this key is in the
        queue (ready, scheduled or leased), nothing is stored and its id is
        returned; with `unique_for` seconds, also for that long after it
        left (acked, dead or cancelled). `group`: the group's messages are
        delivered in id order, at most the queue's group_limit of them
        leased at once. `headers`: str to str, given back with the message."""
        if type(body) is not bytes:
            body = _checks.body(body)
        most = self._max_body_size
        if most is not None and len(body) > most:
            _checks.body_size(body, most)
        if type(delay) is not float or delay != 0.0:
            delay = _checks.seconds(delay, "delay")
        if not options:
            return self._driver.put(body, delay)
        return self._driver.put(body, delay, **_checks.put_options(options))

    def put_many(self, bodies: Iterable[Body], *, delay: float = 0.0, priority: int = 0,
                 group: Optional[str] = None,
                 headers: Optional[Dict[str, str]] = None) -> List[int]:
        """Appends the messages in one step, all or none, each with the
        options (see put(); a batch has no key)."""
        checked = _checks.bodies(bodies)
        most = self._driver.max_body_size
        for body in checked:
            _checks.body_size(body, most)
        delay = _checks.seconds(delay, "delay")
        priority = _checks.priority(priority)
        group = _checks.name_option(group, "group")
        headers = _checks.headers(headers)
        if priority == 0 and group is None and headers is None:
            return self._driver.put_many(checked, delay)
        return self._driver.put_many(checked, delay, priority=priority, group=group,
                                     headers=headers)

    def cancel(self, id: int) -> bool:
        """Removes the message `id` if it is ready or scheduled (not yet
        leased); False, and nothing changed, when it is leased, settled or
        unknown. A key it had with unique_for is remembered from now on."""
        return self._driver.cancel(_checks.message_id(id))

    # --- consuming ---

    def get(self, block: bool = True, timeout: Optional[float] = None, *,
            lease: Optional[float] = None, stop: Optional[StopEvent] = None) -> Message:
        """Leases the next ready message: the highest priority first, the
        smallest id among equal ones. Blocks until one is ready (at most
        `timeout` seconds if given) and raises queue.Empty when none came;
        a paused queue delivers nothing until it is resumed.
        A blocking get given a StopEvent `stop` also raises queue.Empty once
        that is set (another thread or a signal handler ends the wait so,
        as Worker.stop() does): the wait watches the event's descriptor
        beside the queue's wake-up, so nothing has to look at it now and
        then."""
        if lease is not None:
            lease = _checks.positive_seconds(lease, "lease")
        if not block:
            timeout = 0.0
        elif timeout is not None:
            timeout = _checks.seconds(timeout, "timeout")
        if stop is not None and not isinstance(stop, StopEvent):
            raise TypeError(f"stop must be a StopEvent or None, not {type(stop).__name__}")
        taken = self._take(1, lease, timeout, stop)
        if not taken:
            raise Empty
        return taken[0]

    def get_nowait(self) -> Message:
        return self.get(block=False)

    def get_many(self, max: int, timeout: float = 0.0, *,
                 lease: Optional[float] = None) -> List[Message]:
        """Leases up to `max` ready messages, waiting up to `timeout` seconds
        for the first; an empty list when none came."""
        _checks.non_negative_int(max, "max")
        lease = _checks.optional_lease(lease)
        if max == 0:
            return []
        return self._take(max, lease, _checks.seconds(timeout, "timeout"))

    def take(self, max: int = 1, *, lease: Optional[float] = None,
             ack: Optional[Message] = None) -> Tuple[List[Message], Optional[float]]:
        """Leases up to `max` ready messages now, without waiting. When none
        is ready, also says in how many seconds the earliest lease or delay
        ends (None: nothing is pending), seen in the same look: with watch(),
        what an event loop needs to wait without looking on a timer.

        `ack`, a message taken through this queue object, is acked first, in
        the same step and commit where the store can (one sync for both):
        the step a worker makes from one job to the next. Its `settled` then
        tells whether it was acked (not if its lease was no longer current);
        the take happens either way. An OSError leaves that unknown."""
        _checks.non_negative_int(max, "max")
        lease = _checks.optional_lease(lease)
        driver = self._driver
        if ack is not None:
            if not isinstance(ack, Message):
                raise TypeError(f"ack must be a Message or None, not {type(ack).__name__}")
            if ack._driver is not driver:
                raise ValueError("ack must be a message taken through this queue object")
            if ack._settled:
                ack = None
        if max == 0:
            if ack is not None:
                ack._settled = driver.ack(ack._token)
            return [], None
        if ack is None:
            rows, until_due = driver.take(max, lease)
        else:
            ack._settled, (rows, until_due) = driver.ack_then_take(ack._token, max, lease)
        return [Message(driver, *row, queue=self) for row in rows], until_due

    def watch(self) -> Watch:
        """The calling thread's wake-up on this queue (see driver.Watch):
        arm it, take(), and wait on it or on its fileno()."""
        return self._driver.watch()

    def __iter__(self) -> Iterator[Message]:
        return self

    def __next__(self) -> Message:
        """Iterating waits for message after message."""
        return self.get()

    def _take(self, count: int, lease: Optional[float], timeout: Optional[float],
              stop: Optional[StopEvent] = None) -> List[Message]:
        # Most calls find work at once and need no wake-up armed.
        if stop is not None and stop.is_set():
            return []
        driver = self._driver
        rows, _ = driver.take(count, lease)
        if rows or timeout == 0.0:
            return [Message(driver, *row, queue=self) for row in rows]
        give_up = None if timeout is None else time.monotonic() + timeout
        watch = driver.watch()
        while True:
            # Armed before the look: a change after the look wakes the wait.
            watch.arm()
            if stop is not None:
                # Drained before the flag is read: a set() after this line
                # leaves the descriptor readable for the wait below.
                stop.drain()
                if stop.is_set():
                    return []
            rows, until_due = driver.take(count, lease)
            if rows:
                return [Message(driver, *row, queue=self) for row in rows]
            left = None if give_up is None else give_up - time.monotonic()
            if left is not None and left <= 0:
                return []
            if until_due is not None:
                # A millisecond over, so the lease has surely ended on waking.
                until_due = max(0.0, until_due + 0.001)
                left = until_due if left is None else min(left, until_due)
            watch.wait(LONGEST_WAIT if left is None else left, stop)

    # --- settling a batch ---

    def ack_many(self, messages: Iterable[Message]) -> None:
        """Acks the messages received through this queue, in one step and
        one commit (synced as a single ack is). Those whose lease is no
        longer current, already settled ones and messages of another queue
        object are not acked: once the others are, LeaseLost names them in
        its `lost` list. The same message given twice is acked once. A
        failed write (OSError) acks none of them."""
        batch = _messages(messages)
        driver = self._driver
        mine = [m for m in batch if m._driver is driver and not m._settled]
        refused = set(driver.ack_many([m._token for m in mine])) if mine else set()
        acked = set()
        for i, message in enumerate(mine):
            if i not in refused:
                message._settled = True
                acked.add(id(message))
        lost = [m for m in batch if id(m) not in acked]
        if lost:
            raise _batch_lost(lost)

    # --- looking ---

    def peek(self, limit: int = 10, *, bodies: bool = False) -> List[MessageInfo]:
        """Up to `limit` messages, smallest id first (whatever their
        priority), without leasing them or writing anything."""
        return self._driver.peek(_checks.non_negative_int(limit, "limit"), bool(bodies))

    def stats(self) -> QueueStats:
        """The counts of the queue: ready, in_flight (leased), scheduled
        (not yet due), total, live_bytes, dead_letters and paused."""
        return self._driver.stats()

    def status(self, id: int) -> Optional[Status]:
        """What became of the message `id`: its state ("ready", "scheduled",
        "leased", "acked", "dead" or "cancelled"), deliveries, times, result,
        the errors and consumers of its last deliveries; None when the queue
        never had it or its outcome is no longer kept (see keep_acked)."""
        return self._driver.status(_checks.message_id(id))

    def outcomes(self, state: Optional[str] = None, limit: int = 100, *,
                 since: Optional[float] = None) -> List[Status]:
        """The messages that finished most recently, latest first: at most
        `limit`, only in `state` ("acked", "dead" or "cancelled") when
        given, only those finished at or after `since` (epoch seconds) when
        given."""
        state = _checks.outcome_state(state)
        limit = _checks.count(limit, "limit")
        since = _checks.epoch_seconds(since, "since")
        return self._driver.outcomes(state, limit, since)

    def qsize(self) -> int:
        """Messages ready to be leased now."""
        return self._driver.stats()["ready"]

    # --- the queue's settings, kept with it and seen by every process ---

    def pause(self) -> None:
        """Stops deliveries, in every process and after restarts, until
        resume(); puts and settling go on, and a waiting get() waits on."""
        self._driver.pause()

    def resume(self) -> None:
        """Lets deliveries go on; wakes every waiting get()."""
        self._driver.resume()

    @property
    def paused(self) -> bool:
        """Whether the queue is paused, as stored now."""
        return self._driver.is_paused()

    @property
    def group_limit(self) -> int:
        """How many messages of one group may be leased at once (1 unless
        set): stored with the queue, the same for every process."""
        return self._driver.group_limit()

    @group_limit.setter
    def group_limit(self, limit: int) -> None:
        checked = _checks.group_limit(limit)
        if checked is None:
            raise TypeError("group_limit must be an int, not NoneType")
        self._driver.set_group_limit(checked)

    # --- the store ---

    def flush(self) -> None:
        """Forces everything written so far to stable storage."""
        self._driver.flush()

    def purge(self) -> None:
        """Removes every message (the dead letters stay)."""
        self._driver.purge()

    # --- life cycle ---

    @property
    def closed(self) -> bool:
        return self._driver.closed

    def close(self) -> None:
        """Closes the queue; later calls raise ValueError."""
        self._driver.close()

    def __enter__(self: _Q) -> _Q:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"{type(self).__name__}()" + (" (closed)" if self.closed else "")
