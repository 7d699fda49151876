"""The driver contract: what a queue's storage offers the face above it.

Queue, PostgresQueue, Message, the dead letters, get() and its waiting, the
argument checks and LeaseLost are written once (tarnwick_queue._face) over a
Driver. A new home for queues is one Driver subclass: implement every method
below and pass the behaviour suite (tests/queue) with it.

The face checks every argument before a driver sees it: a driver is given
bytes bodies, seconds as finite floats >= 0 (leases above 0), ints >= 0, and
tokens it returned itself. Times are epoch seconds as floats; durations are
seconds. A driver raises ValueError for any call after close(), OSError (or
a subclass, such as ConnectionError) when its storage fails, and keeps its
own wake-ups: a change it makes must wake the watches of every handle on the
same queue.

A token is the driver's own record of one lease, opaque to the face: the
face hands it back to ack, nack, bury and extend, which act only while that
lease is still the message's current one (fencing). A token is never shared
between drivers: one handle's tokens mean nothing to another's.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import (
    TYPE_CHECKING,
    Any,
    Dict,
    List,
    NamedTuple,
    Optional,
    Protocol,
    Sequence,
    Tuple,
    TypedDict,
)

if TYPE_CHECKING:
    from .waiting import StopEvent


class Row(NamedTuple):
    """One message a take() leased. A driver may return plain tuples of the
    first six fields, or of all ten, in this order instead (the face unpacks
    them): see Taken. The last four are what put() was given (headers None or
    {} when none were)."""

    id: int
    body: bytes
    deliveries: int          # including this one
    enqueued_at: float
    lease_expires_at: float
    token: Any               # the lease, for ack/nack/bury/extend
    priority: int = 0
    key: Optional[str] = None
    group: Optional[str] = None
    headers: Optional[Dict[str, str]] = None


# What take() returns: the rows leased and, when there are none, the seconds
# until the earliest lease or delay ends (None: nothing pending, or rows were
# leased, or the queue is paused). A row is a Row or a plain tuple of its
# first six fields or of all ten.
RowFields = Tuple[Any, ...]
Taken = Tuple[Sequence[RowFields], Optional[float]]


@dataclass(frozen=True)
class MessageInfo:
    """One message as peek() sees it. `state` is "ready", "leased" or
    "scheduled" (put or nacked with a delay, not yet due); `due_at` is the
    lease's end or the due time in epoch seconds, else None. `priority`,
    `key`, `group` and `headers` are what put() was given ({} for no
    headers).

    For a leased message, its current delivery: `started_at` (epoch seconds)
    when it began (an extend keeps it), `extensions` how often its lease was
    extended since, and `consumer` who holds it (`host:pid`, or the queue's
    consumer_id). None (0) for other messages, and where the store does not
    know (a lease written by an older release)."""

    id: int
    state: str
    deliveries: int
    enqueued_at: float
    due_at: Optional[float]
    size: int
    body: Optional[bytes] = None
    started_at: Optional[float] = None
    extensions: int = 0
    consumer: Optional[str] = None
    priority: int = 0
    key: Optional[str] = None
    group: Optional[str] = None
    headers: Dict[str, str] = field(default_factory=dict)


@dataclass(frozen=True)
class DeadLetter:
    """A message parked in the dead letters. `id` names it among the dead
    letters; `original_id` is the id it had in the queue."""

    id: int
    original_id: int
    body: bytes
    deliveries: int
    enqueued_at: float
    died_at: float
    reason: str


# The states of a message that left the queue, as status() reports them.
FINISHED_STATES = ("acked", "dead", "cancelled")
# Every state status() reports.
STATES = ("ready", "scheduled", "leased") + FINISHED_STATES


@dataclass(frozen=True)
class Status:
    """What became of one message, live or finished. `state` is one of
    STATES; `deliveries` how often it was leased; `enqueued_at` when it was
    put (with `id`, it tells two messages apart should an id ever be handed
    out again); `started_at` when its last delivery began (None: never
    leased); `finished_at` when it was acked, died or was cancelled (None
    while live); `result` the bytes its ack kept (None: none given);
    `errors` the errors its deliveries ended with (a nack's error, a dead
    reason that is not empty; the last MAX_HISTORY, newest last), and
    `consumers` who took each of its last MAX_HISTORY deliveries (newest
    last). `dead_letter_id` names its entry among the dead letters
    when it died (the entry may since be requeued or purged). The rest is
    what put() was given."""

    id: int
    state: str
    deliveries: int
    enqueued_at: float
    started_at: Optional[float] = None
    finished_at: Optional[float] = None
    result: Optional[bytes] = None
    errors: Tuple[str, ...] = ()
    consumers: Tuple[str, ...] = ()
    priority: int = 0
    key: Optional[str] = None
    group: Optional[str] = None
    headers: Dict[str, str] = field(default_factory=dict)
    dead_letter_id: Optional[int] = None


#: How many deliveries' errors and consumers a Status keeps.
MAX_HISTORY = 10
#: The largest result an ack keeps, and the largest error (or dead reason)
#: a delivery keeps, in bytes (UTF-8 for an error).
MAX_RESULT_BYTES = 1 << 20
MAX_ERROR_BYTES = 16 << 10


class Retention(NamedTuple):
    """How long, in seconds, a handle keeps the outcome of a message it
    acked, buried (or the take moved to the dead letters) or cancelled. Each
    outcome keeps the retention of the handle that wrote it: it is dropped
    once that many seconds passed since `finished_at` (0: not kept at all),
    by compaction locally and by small batched deletes on PostgreSQL, never
    by a scan on the hot path; status() and outcomes() never report one
    whose time has ended, dropped or not. Ids of kept outcomes are never
    handed out again."""

    # Acks are most of a busy queue's records: a minute bounds what they add
    # to the log and memory (about 70 and 100 bytes each) while still
    # answering "did it run?" right after; failures are rare and wanted for
    # longer.
    acked: float = 60.0
    dead: float = 7 * 86400.0
    cancelled: float = 3600.0


class SchedulePut(NamedTuple):
    """One message a schedule_change() puts, ready now, with put()'s
    options: a `key` (with `unique_for`) holds as it does for put()."""

    body: bytes
    priority: int = 0
    key: Optional[str] = None
    unique_for: float = 0.0
    headers: Optional[Dict[str, str]] = None


#: The longest schedule name, in UTF-8 bytes, and the largest state a
#: schedule_change() stores.
MAX_SCHEDULE_NAME_BYTES = 200
MAX_SCHEDULE_STATE_BYTES = 256 << 10


class QueueStats(TypedDict):
    """What stats() reports on every backend: messages ready now, in_flight
    (leased), scheduled (put or nacked with a delay, not yet due), total live
    messages (the three together), live_bytes (their bodies' or log records'
    size), dead_letters, whether the queue outlives the process, whether it
    is paused, and the delivery in flight that began first:
    oldest_running_id and oldest_running_started_at (epoch seconds), both
    None when none runs. oldest_ready_at is when the ready message that
    has waited longest became ready (its put, or the end of its delay or of
    its lease), None when none is ready: what a dashboard shows as the age
    of the queue's backlog."""

    ready: int
    in_flight: int
    scheduled: int
    total: int
    live_bytes: int
    dead_letters: int
    persistent: bool
    paused: bool
    oldest_running_id: Optional[int]
    oldest_running_started_at: Optional[float]
    oldest_ready_at: Optional[float]


class LocalQueueStats(QueueStats):
    """A queue directory's stats(): besides the common counts, the totals
    counted since the log was last read in full (open, compaction or purge
    by any process), the next id, the log's size and generation.
    expired_total counts the leases that ran out (a message taken again
    after its lease ended, or moved to the dead letters for it);
    nacked_total the deliveries given back by nack (a delayed one once it is
    due). requeued_total counts both, and delayed puts coming due."""

    enqueued_total: int
    acked_total: int
    requeued_total: int
    dead_total: int
    expired_total: int
    nacked_total: int
    next_seq: int
    log_bytes: int
    generation: int


class Watch(Protocol):
    """A wake-up for one thread: arm() it, look at the queue, then wait().
    A change made to the queue after arm() (by any handle or process) ends
    the wait, or makes fileno() readable, so nothing that happens between the
    look and the sleep is missed. A watch belongs to the thread that got it
    from Driver.watch()."""

    def arm(self) -> None:
        """Starts watching for changes made from now on (and forgets those
        seen before). Raises ValueError once the queue is closed."""
        raise NotImplementedError

    def wait(self, timeout: float, stop: Optional[StopEvent] = None) -> None:
        """Sleeps until the queue changed since arm(), `timeout` seconds
        passed, or `stop` (a StopEvent) was set or poked. It may return
        early; the caller looks again. It never raises for a change missed:
        where a change cannot be seen, it returns after a short while."""
        raise NotImplementedError

    def fileno(self) -> Optional[int]:
        """A descriptor that turns readable once the queue changed since the
        last arm() (arm() drains it), for an event loop to wait on; None when
        there is none (the caller then looks on a short timer)."""
        raise NotImplementedError


class Driver:
    """The storage under one queue handle. Every method may raise ValueError
    after close() and OSError when the storage fails; what else each raises
    is said below."""

    #: The largest body put() takes, in bytes (None: no limit of its own).
    max_body_size: Optional[int] = None

    # --- producing ---

    def put(self, body: bytes, delay: float, *, priority: int = 0,
            key: Optional[str] = None, unique_for: float = 0.0,
            group: Optional[str] = None,
            headers: Optional[Dict[str, str]] = None) -> int:
        """Stores one message, due `delay` seconds from now; returns its id
        (ids grow: a later put has a larger id). The face has checked the
        options: `priority` an int in -100..100; `key` and `group` None or a
        str of at most 255 UTF-8 bytes; `unique_for` seconds >= 0; `headers`
        None or a dict of str to str of at most 64 KiB encoded.

        With a `key`, in the same atomic step: while a live message (ready,
        scheduled or leased) has that key, or a message with it left the
        queue (acked, dead or cancelled) less than that message's
        `unique_for` seconds ago, nothing is stored and that message's id is
        returned."""
        raise NotImplementedError

    def put_many(self, bodies: List[bytes], delay: float, *, priority: int = 0,
                 group: Optional[str] = None,
                 headers: Optional[Dict[str, str]] = None) -> List[int]:
        """Stores the messages at once, all or none, each with the options;
        returns their ids in order. An empty list stores nothing and
        returns []."""
        raise NotImplementedError

    def cancel(self, id: int) -> bool:
        """Removes the message `id` if it is ready or scheduled, in one step,
        keeping its outcome ("cancelled"); False (and nothing written) when
        it is leased, settled or unknown. A kept key (unique_for) is
        remembered from then on."""
        raise NotImplementedError

    # --- consuming ---

    def take(self, count: int, lease: Optional[float]) -> Taken:
        """Leases up to `count` (>= 1) ready messages, the highest priority first
        and, among equal priorities, the smallest id first, for `lease`
        seconds (None: the driver's default lease), each delivery counted,
        noting for peek() when each delivery began and the driver's consumer
        (see MessageInfo). A driver with a delivery limit moves a message that
        has had its deliveries to the dead letters instead, in the same step
        (its outcome kept as bury() keeps it). A paused queue leases nothing.
        The messages of one group are leased in id order, and never more than
        the queue's group limit of them at once (a message of a group at its
        limit waits; others pass it). Never waits. Returns the rows and, when
        none were leased, the seconds until the earliest lease or delay ends
        (None when nothing is pending or the queue is paused), seen in the
        same step, so that a waiter cannot miss one."""
        raise NotImplementedError

    def watch(self) -> Watch:
        """The calling thread's Watch on this queue."""
        raise NotImplementedError

    # --- settling; each acts only while `token` is the message's current lease ---

    def ack(self, token: Any, result: Optional[bytes] = None) -> bool:
        """Removes the message and, in the same commit, keeps its outcome
        ("acked", with `result`: None or bytes of at most MAX_RESULT_BYTES,
        checked by the face) for the handle's retention. Returns False (and does
        nothing) when the lease is no longer current: it ended, or the
        message was settled."""
        raise NotImplementedError

    def ack_then_take(self, token: Any, count: int,
                      lease: Optional[float]) -> Tuple[bool, Taken]:
        """ack(token), then take(count, lease): a worker's step from one job
        to the next. Returns whether the ack was made and what the take
        returned; the take happens either way. A driver that can do both in
        one step (one commit) overrides this, which makes the two calls. An
        OSError leaves unknown whether the ack was made."""
        return self.ack(token), self.take(count, lease)

    def ack_many(self, tokens: Sequence[Any]) -> List[int]:
        """Acks the messages of every current lease among `tokens` at once
        (one commit, outcomes with no result kept as ack() keeps them);
        returns the positions in `tokens` that were not acked. The same
        token given twice is acked once."""
        raise NotImplementedError

    def nack(self, token: Any, delay: float, error: Optional[str] = None) -> bool:
        """Returns the message to the queue, due again in `delay` seconds,
        keeping `error` (None or a str of at most MAX_ERROR_BYTES in UTF-8,
        checked by the face) as the error of the delivery that ended. False when the
        lease is no longer current."""
        raise NotImplementedError

    def bury(self, token: Any, reason: str) -> bool:
        """Moves the message to the dead letters with `reason`, in one step,
        keeping its outcome ("dead"; `reason`, when not empty, is the error
        of the delivery that ended: the face checks it as it checks an
        error). False when the lease is no longer
        current."""
        raise NotImplementedError

    def extend(self, token: Any, lease: Optional[float]) -> Optional[Tuple[Any, float]]:
        """Renews the lease to end `lease` seconds from now (None: the
        default lease), counting one extension more (the delivery's start
        and consumer stay). Returns the new token (the old one may no longer do)
        and the new end, or None when the lease is no longer current."""
        raise NotImplementedError

    # --- looking ---

    def peek(self, limit: int, bodies: bool) -> List[MessageInfo]:
        """Up to `limit` live messages, smallest id first (whatever their
        priority), with their bodies
        when `bodies`; leases and writes nothing."""
        raise NotImplementedError

    def stats(self) -> QueueStats:
        """The queue's counts (see QueueStats; a driver may add keys)."""
        raise NotImplementedError

    def status(self, id: int) -> Optional[Status]:
        """The message `id`, live or finished; None when the queue never
        had it or its outcome was dropped. Costs no more than a lookup by
        id, and writes nothing but what finishes a step a crash cut short
        (a move to the dead letters), so that it reports what that step
        promised."""
        raise NotImplementedError

    def outcomes(self, state: Optional[str], limit: int,
                 since: Optional[float]) -> List[Status]:
        """Up to `limit` (>= 1) kept outcomes, the latest `finished_at`
        first, only of `state` (one of FINISHED_STATES, checked by the face)
        when not None, only those finished at or after `since` (epoch
        seconds) when not None. Writes no more than status() does."""
        raise NotImplementedError

    # --- the queue's settings, kept with it and seen by every handle ---

    def pause(self) -> None:
        """Stops deliveries, for every handle and process, until resume()
        (puts and settles go on). Pausing a paused queue does nothing."""
        raise NotImplementedError

    def resume(self) -> None:
        """Lets deliveries go on, waking the waiters of every handle."""
        raise NotImplementedError

    def is_paused(self) -> bool:
        """Whether the queue is paused, as stored now."""
        raise NotImplementedError

    def group_limit(self) -> int:
        """How many messages of one group may be leased at once (1 for a
        queue that never set one)."""
        raise NotImplementedError

    def set_group_limit(self, limit: int) -> None:
        """Stores `limit` (an int >= 1, checked by the face) as the queue's
        group limit; it holds from the next take on, in every process."""
        raise NotImplementedError

    # --- schedules: named states the face keeps, changed by compare-and-set ---

    def schedules(self) -> Dict[str, bytes]:
        """Every schedule stored in the queue: its name and the state the
        face last stored for it (opaque bytes to the driver)."""
        raise NotImplementedError

    def schedule_change(self, name: str, expected: Optional[bytes],
                        new: Optional[bytes],
                        puts: Sequence[SchedulePut] = ()) -> Optional[List[int]]:
        """In one atomic step, seen whole or not at all by every process and
        after any crash: when the schedule `name` holds exactly `expected`
        (None: there is no such schedule), stores `new` as its state (None:
        removes it) and puts the messages `puts` (ready now, all or none),
        returning their ids in order (as put() would: an id of a message
        already holding the key where one matched); otherwise writes nothing
        and returns None. The face has checked `name` (a str of 1 to
        MAX_SCHEDULE_NAME_BYTES UTF-8 bytes, no NUL), `new` (at most
        MAX_SCHEDULE_STATE_BYTES) and each put's options as put() checks
        them. A change wakes the watches of every handle on the queue."""
        raise NotImplementedError

    # --- dead letters ---

    def dead_count(self) -> int:
        """How many dead letters there are."""
        raise NotImplementedError

    def dead_list(self, limit: Optional[int]) -> List[DeadLetter]:
        """The dead letters, oldest first, at most `limit` (None: all)."""
        raise NotImplementedError

    def dead_requeue(self, ids: Optional[List[int]]) -> int:
        """Puts the dead letters with these ids (None: all; ids that name
        none are passed over) back as new messages, ready now, in one step;
        returns how many."""
        raise NotImplementedError

    def dead_purge(self) -> int:
        """Deletes every dead letter; returns how many."""
        raise NotImplementedError

    # --- the store ---

    def purge(self) -> None:
        """Removes every message, leased or not (the dead letters and kept
        outcomes stay; the messages removed keep none, and their ids are
        not handed out again while any kept outcome names a larger one)."""
        raise NotImplementedError

    def flush(self) -> None:
        """Makes everything written so far durable."""
        raise NotImplementedError

    @property
    def closed(self) -> bool:
        """True once close() was called (or the storage went away for good)."""
        raise NotImplementedError

    def close(self) -> None:
        """Makes what was written durable and lets go of the storage; waits
        in progress end. Calling it again does nothing."""
        raise NotImplementedError
