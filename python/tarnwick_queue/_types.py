"""The backend-neutral face: messages, what peek and the dead letters show,
and the protocol every queue backend offers."""

from __future__ import annotations

from dataclasses import dataclass
from typing import (TYPE_CHECKING, Any, Iterable, List, Optional, Protocol, Sequence, TypedDict,
                    Union)

if TYPE_CHECKING:
    from .waiting import StopEvent

Body = Union[bytes, bytearray, memoryview]


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


def _lease_lost(args: tuple, lost: List[int]) -> LeaseLost:
    return LeaseLost(*args, lost=lost)


class _Settler(Protocol):
    """What a Message calls back into: the backend that leased it."""

    def _ack(self, message: "Message") -> None: ...
    def _nack(self, message: "Message", delay: float) -> None: ...
    def _dead(self, message: "Message", reason: str) -> None: ...
    def _extend(self, message: "Message", seconds: Optional[float]) -> float: ...


class Message:
    """A leased message. Settle it once with ack(), nack() or dead(); extend()
    renews the lease. Each acts only while this message's lease is still the
    current one, and raises LeaseLost otherwise.

    As a context manager it acks when the block ends normally and nacks when
    the block raises (unless the block settled it already)."""

    __slots__ = ("id", "body", "deliveries", "enqueued_at", "lease_expires_at", "_queue", "_lease",
                 "_settled")

    def __init__(self, queue: _Settler, id: int, body: bytes, deliveries: int,
                 enqueued_at: float, lease_expires_at: float, lease: Any) -> None:
        self.id = id
        self.body = body
        self.deliveries = deliveries
        self.enqueued_at = enqueued_at
        self.lease_expires_at = lease_expires_at
        self._queue = queue
        self._lease = lease  # the backend's own record of the lease, for fencing
        self._settled = False

    @property
    def settled(self) -> bool:
        """True once ack(), nack() or dead() succeeded on this object."""
        return self._settled

    def ack(self) -> None:
        """Removes the message from the queue."""
        self._queue._ack(self)
        self._settled = True

    def nack(self, *, delay: float = 0.0) -> None:
        """Returns the message to the queue, due again after `delay` seconds."""
        self._queue._nack(self, _seconds(delay, "delay"))
        self._settled = True

    def dead(self, reason: str = "") -> None:
        """Moves the message to the queue's dead letters."""
        if not isinstance(reason, str):
            raise TypeError(f"reason must be str, not {type(reason).__name__}")
        self._queue._dead(self, reason)
        self._settled = True

    def extend(self, seconds: Optional[float] = None) -> None:
        """Renews the lease to `seconds` from now (the queue's lease when None)."""
        if seconds is not None:
            seconds = _seconds(seconds, "seconds")
        self.lease_expires_at = self._queue._extend(self, seconds)

    def __enter__(self) -> "Message":
        return self

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        if self._settled:
            return
        if exc_type is None:
            self.ack()
        else:
            self.nack()

    def __repr__(self) -> str:
        return (f"Message(id={self.id}, deliveries={self.deliveries}, "
                f"size={len(self.body)}, lease_expires_at={self.lease_expires_at:.3f})")


@dataclass(frozen=True)
class MessageInfo:
    """One message as peek() sees it. `state` is "ready", "leased" or
    "scheduled" (put with a delay, not yet due); `due_at` is the lease's end
    or the due time in epoch seconds, else None."""

    id: int
    state: str
    deliveries: int
    enqueued_at: float
    due_at: Optional[float]
    size: int
    body: Optional[bytes] = None


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


class DeadLetterStore(Protocol):
    def __len__(self) -> int: ...
    def list(self, limit: Optional[int] = None) -> List[DeadLetter]: ...
    def requeue(self, ids: Optional[Iterable[int]] = None) -> int: ...
    def purge(self) -> int: ...


class QueueStats(TypedDict):
    """What stats() reports on every backend: messages ready now, in_flight
    (leased or scheduled), scheduled (put with a delay, not yet due), total
    live messages, live_bytes (their bodies' or log records' size),
    dead_letters, and whether the queue outlives the process."""

    ready: int
    in_flight: int
    scheduled: int
    total: int
    live_bytes: int
    dead_letters: int
    persistent: bool


class LocalQueueStats(QueueStats):
    """A queue directory's stats(): besides the common counts, the totals
    counted since the log was last read in full (open, compaction or purge
    by any process), the next id, the log's size and generation."""

    enqueued_total: int
    acked_total: int
    requeued_total: int
    dead_total: int
    next_seq: int
    log_bytes: int
    generation: int


class QueueBackend(Protocol):
    """What every queue offers, on a directory or on a server."""

    # Read-only here, so that a backend may declare its own store class.
    @property
    def dead_letters(self) -> DeadLetterStore: ...

    def put(self, body: Body, *, delay: float = 0.0) -> int: ...
    def put_many(self, bodies: Iterable[Body], *, delay: float = 0.0) -> List[int]: ...
    def get(self, block: bool = True, timeout: Optional[float] = None, *,
            lease: Optional[float] = None, stop: Optional[StopEvent] = None) -> Message: ...
    def get_nowait(self) -> Message: ...
    def get_many(self, max: int, timeout: float = 0.0, *,
                 lease: Optional[float] = None) -> List[Message]: ...
    def ack_many(self, messages: Iterable[Message]) -> None: ...
    def peek(self, limit: int = 10, *, bodies: bool = False) -> List[MessageInfo]: ...
    def stats(self) -> QueueStats: ...
    def close(self) -> None: ...


class EventLoopWaitable(Protocol):
    """Optional, for AsyncQueue: a backend whose changes an event loop can
    wait for. A backend without these methods is looked at on a timer."""

    def _arm_watch(self) -> Optional[int]:
        """Returns a descriptor that turns readable once the queue changes
        after this call (calling it again drains it), or None."""
        ...

    def _next_due(self) -> Optional[float]:
        """Epoch seconds at which the earliest lease or delay ends, or None."""
        ...


# --- argument checks shared by the backends ---

def _seconds(value: Any, name: str) -> float:
    """A finite, non-negative number of seconds."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number of seconds, not {type(value).__name__}")
    value = float(value)
    if not value >= 0.0 or value == float("inf"):
        raise ValueError(f"{name} must be a finite number of seconds >= 0, not {value!r}")
    return value


def _positive_seconds(value: Any, name: str) -> float:
    value = _seconds(value, name)
    if value <= 0.0:
        raise ValueError(f"{name} must be more than 0 seconds, not {value!r}")
    return value


def _body(value: Any) -> bytes:
    if isinstance(value, bytes):
        return value
    if isinstance(value, (bytearray, memoryview)):
        return bytes(value)
    raise TypeError(f"a message body must be bytes-like, not {type(value).__name__}")


def _bodies(values: Iterable[Any]) -> List[bytes]:
    if isinstance(values, (bytes, bytearray, memoryview, str)):
        raise TypeError("put_many() takes an iterable of bodies, not a single body")
    return [_body(v) for v in values]


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


def _batch_lost(lost: List[Message]) -> LeaseLost:
    ids = [m.id for m in lost]
    named = f"message {ids[0]}" if len(ids) == 1 else "messages " + ", ".join(map(str, ids))
    return LeaseLost(f"{named}: not acked, as the lease received is no longer current (it "
                     "expired, the message was settled, or it came from another queue object); "
                     "the others given were acked", lost=ids)


def _settle_acked(batch: List[Message], mine: List[Message], refused: Iterable[int]) -> None:
    """Marks the messages of `mine` acked but those at the positions
    `refused`; raises LeaseLost for every message of `batch` not acked."""
    not_acked = {id(mine[i]) for i in refused}
    acked = set()
    for message in mine:
        if id(message) not in not_acked:
            message._settled = True
            acked.add(id(message))
    lost = [m for m in batch if id(m) not in acked]
    if lost:
        raise _batch_lost(lost)


def _non_negative_int(value: Any, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"{name} must be >= 0, not {value}")
    return value


def _optional_count(value: Any, name: str) -> Optional[int]:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int or None, not {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be at least 1, not {value}")
    return value


def _ids(values: Optional[Iterable[int]]) -> Optional[Sequence[int]]:
    if values is None:
        return None
    out = []
    for v in values:
        if isinstance(v, bool) or not isinstance(v, int):
            raise TypeError(f"ids must be ints, not {type(v).__name__}")
        if v < 0:
            raise ValueError(f"ids are never negative, got {v}")
        out.append(v)
    return out
