"""Queue: the face on a queue directory (or ":memory:")."""

from __future__ import annotations

import math
import os
import queue as _stdlib_queue
import time
from typing import Callable, Iterable, List, Optional, Tuple, Union

from . import _native
from ._types import (Body, DeadLetter, LeaseLost, LocalQueueStats, Message, MessageInfo, _bodies,
                     _body, _ids,
                     _messages, _non_negative_int, _optional_count, _positive_seconds, _seconds,
                     _settle_acked)
from ._consuming import BlockingConsumer
from .waiting import DirectoryWaiter, MemoryWaiter, StopEvent

Empty = _stdlib_queue.Empty

_U64_MAX = 2**64 - 1
DEFAULT_AUTO_COMPACT_BYTES = 64 << 20


def _ms_ceil(seconds: float) -> int:
    """Seconds as whole milliseconds, rounded up so nothing comes due early."""
    return min(_U64_MAX, math.ceil(seconds * 1000.0))


class Queue(BlockingConsumer):
    """A durable queue in the directory `path`, shared with every other
    process (and every TarnwickCore object) that opens the same directory.

    `lease` is the default lease in seconds; `sync_interval` the most seconds
    between forced syncs of single operations (0.0: every operation syncs);
    `max_deliveries` sends a message that would be delivered once more than
    that to the dead letters instead. `read_only` opens an existing queue for
    looking only, by a user who may not write its files (see docs/queue.md):
    every call that would write raises OSError."""

    def __init__(self, path: Union[str, "os.PathLike[str]"], *, lease: float = 30.0,
                 sync_interval: float = 0.0, max_deliveries: Optional[int] = None,
                 auto_compact_bytes: Optional[int] = None, read_only: bool = False) -> None:
        path = os.fspath(path)
        if not isinstance(path, str):
            raise TypeError(f"path must be str or os.PathLike[str], not {type(path).__name__}")
        if not path:
            # The engine would take it as the current directory.
            raise ValueError('path is empty: name the queue directory (or ":memory:")')
        self._lease_ms = max(1, _ms_ceil(_positive_seconds(lease, "lease")))
        self._max_deliveries = _optional_count(max_deliveries, "max_deliveries")
        if self._max_deliveries is not None and self._max_deliveries > 2**32 - 1:
            raise ValueError("max_deliveries must be below 2**32")
        if auto_compact_bytes is None:
            auto_compact_bytes = DEFAULT_AUTO_COMPACT_BYTES
        elif isinstance(auto_compact_bytes, bool) or not isinstance(auto_compact_bytes, int):
            raise TypeError("auto_compact_bytes must be an int or None")
        elif not 0 <= auto_compact_bytes <= _U64_MAX:
            raise ValueError("auto_compact_bytes must be between 0 and 2**64-1")
        sync_ms = _ms_ceil(_seconds(sync_interval, "sync_interval"))
        if not isinstance(read_only, bool):
            raise TypeError(f"read_only must be a bool, not {type(read_only).__name__}")
        self._engine = _native.Engine(path, sync_ms, self._lease_ms, auto_compact_bytes,
                                      read_only)
        self.path = path
        self.read_only = read_only
        directory = self._engine.directory
        self._waiter: Union[DirectoryWaiter, MemoryWaiter] = (
            MemoryWaiter() if directory is None else DirectoryWaiter(directory))
        # Other processes see a change through the directory watch; only a
        # queue in memory has to wake its own waiters.
        self._notify = self._waiter.notify if directory is None else None
        self.dead_letters = DeadLetters(self)

    # --- producing ---

    def put(self, body: Body, *, delay: float = 0.0) -> int:
        """Appends one message; it is delivered no earlier than `delay`
        seconds from now. Returns its id."""
        if type(body) is not bytes:
            body = _body(body)
        if len(body) > _native.MAX_BODY_LEN:
            raise _too_large(body)
        if type(delay) is float and delay == 0.0:
            delay_ms = 0
        else:
            delay_ms = _ms_ceil(_seconds(delay, "delay"))
        seq = self._engine.put_one(body, delay_ms)
        if self._notify is not None:
            self._notify()
        return seq

    def put_many(self, bodies: Iterable[Body], *, delay: float = 0.0) -> List[int]:
        """Appends the messages in one locked, synced step; all or none."""
        checked = _bodies(bodies)
        for body in checked:
            if len(body) > _native.MAX_BODY_LEN:
                raise _too_large(body)
        seqs = self._engine.put(checked, _ms_ceil(_seconds(delay, "delay")))
        if self._notify is not None:
            self._notify()
        return seqs

    # --- consuming: get(), get_many() and iteration come from BlockingConsumer ---

    def _lease_arg(self, lease: Optional[float]) -> int:
        if lease is None:
            return self._lease_ms
        return max(1, _ms_ceil(_positive_seconds(lease, "lease")))

    def _take_now(self, count: int, lease_ms: int,
                  want_due: bool) -> Tuple[List[Message], Optional[float]]:
        taken = self._engine.take(count, lease_ms, self._max_deliveries or 0)
        if taken:
            return [self._message(*fields) for fields in taken], None
        due = self._engine.next_due() if want_due else None
        return [], None if due is None else due / 1000.0 - time.time()

    def _arm(self) -> Callable[[float, Optional[StopEvent]], None]:
        waiter = self._waiter
        armed = waiter.arm()
        return lambda timeout, stop: waiter.wait(armed, timeout, stop)

    def _message(self, seq: int, body: bytes, deliveries: int, enqueued_ms: int,
                 deadline_ms: int) -> Message:
        return Message(self, seq, body, deliveries, enqueued_ms / 1000.0, deadline_ms / 1000.0,
                       (seq, enqueued_ms, deliveries, deadline_ms))

    # --- for event loops (AsyncQueue) ---

    def _arm_watch(self) -> Optional[int]:
        """Arms the calling thread's watch on the queue and returns its
        descriptor, which turns readable when the queue changes after this
        call; None when there is nothing to wait on (":memory:", or a file
        system without change notification)."""
        self._waiter.arm()
        return self._waiter.fileno()

    def _next_due(self) -> Optional[float]:
        """When the earliest lease or delay ends (epoch seconds), if any."""
        due = self._engine.next_due()
        return None if due is None else due / 1000.0

    # --- settling a batch ---

    def ack_many(self, messages: Iterable[Message]) -> None:
        """Acks the messages received through this queue, in one locked
        step and one commit (synced as a single ack is). Those whose lease is
        no longer current, already settled ones and messages of another
        queue object are not acked: once the others are, LeaseLost names
        them in its `lost` list. The same message given twice is acked once.
        A failed write (OSError) acks none of them."""
        batch = _messages(messages)
        mine = [m for m in batch if m._queue is self and not m._settled]
        refused = self._engine.ack_many([m._lease for m in mine]) if mine else []
        _settle_acked(batch, mine, refused)

    # --- settling, called by Message ---

    def _ack(self, message: Message) -> None:
        if message._settled or not self._engine.ack(message._lease):
            raise _lost(message)

    def _nack(self, message: Message, delay: float) -> None:
        if message._settled or not self._engine.nack(message._lease, _ms_ceil(delay)):
            raise _lost(message)
        if self._notify is not None:
            self._notify()

    def _dead(self, message: Message, reason: str) -> None:
        if message._settled or not self._engine.bury(message._lease, reason):
            raise _lost(message)

    def _extend(self, message: Message, seconds: Optional[float]) -> float:
        lease_ms = None if seconds is None else self._lease_arg(seconds)
        deadline = None if message._settled else self._engine.extend(message._lease, lease_ms)
        if deadline is None:
            raise _lost(message)
        seq, ts, deliveries, _ = message._lease
        message._lease = (seq, ts, deliveries, deadline)
        return deadline / 1000.0

    # --- looking ---

    def peek(self, limit: int = 10, *, bodies: bool = False) -> List[MessageInfo]:
        """Up to `limit` messages, smallest id first, without leasing them or
        writing anything."""
        _non_negative_int(limit, "limit")
        return [MessageInfo(seq, state, deliveries, ts / 1000.0,
                            None if due is None else due / 1000.0, size, body)
                for seq, state, deliveries, ts, due, size, body
                in self._engine.peek(limit, bool(bodies))]

    def stats(self) -> LocalQueueStats:
        """The counts of the queue: ready, in_flight (leased or scheduled),
        scheduled, dead_letters, totals and log sizes."""
        stats: LocalQueueStats = self._engine.stats()
        return stats

    def qsize(self) -> int:
        """Messages ready to be leased now."""
        return self._engine.stats()["ready"]

    # --- the log ---

    def flush(self) -> None:
        """Forces everything written so far to stable storage."""
        self._engine.flush()

    def compact(self) -> None:
        """Rewrites the log with only the live messages."""
        self._engine.compact()

    def purge(self) -> None:
        """Removes every message (the dead letters stay)."""
        self._engine.purge()

    def verify(self) -> dict:
        """Checks every record's checksum without changing anything: {ok,
        records, bytes, message} as TarnwickCore.verify_integrity() reports
        them, and `damaged` (ranges {offset, bytes, reason} between intact
        records), `tail` (a torn tail's range, or None) and `intact_records`."""
        return dict(self._engine.verify())

    # --- life cycle ---

    @property
    def closed(self) -> bool:
        return self._engine.closed

    def close(self) -> None:
        """Syncs and closes the queue; later calls raise ValueError."""
        self._waiter.close()
        self._engine.close()

    def __repr__(self) -> str:
        return f"Queue({self.path!r})" + (" (closed)" if self.closed else "")


class DeadLetters:
    """The messages a queue parked: sent there with Message.dead(), or for
    exceeding max_deliveries. On disk they live in the queue directory's
    `dead_letters` subdirectory, itself a queue of the same format."""

    def __init__(self, owner: Queue) -> None:
        self._engine = owner._engine
        self._owner = owner

    def __len__(self) -> int:
        return self._engine.dead_count()

    def list(self, limit: Optional[int] = None) -> List[DeadLetter]:
        """The dead letters, oldest first (at most `limit`)."""
        if limit is not None and (isinstance(limit, bool) or not isinstance(limit, int)):
            raise TypeError(f"limit must be an int or None, not {type(limit).__name__}")
        if limit is not None and limit < 0:
            raise ValueError(f"limit must be >= 0, not {limit}")
        return [DeadLetter(id, original, body, deliveries, ts / 1000.0, died / 1000.0, reason)
                for id, original, body, deliveries, ts, died, reason
                in self._engine.dead_list(_U64_MAX if limit is None else limit)]

    def requeue(self, ids: Optional[Iterable[int]] = None) -> int:
        """Puts the named dead letters (all when None) back as new messages;
        returns how many."""
        chosen = _ids(ids)
        count = self._engine.dead_requeue(None if chosen is None else list(chosen))
        if self._owner._notify is not None:
            self._owner._notify()
        return count

    def purge(self) -> int:
        """Deletes every dead letter; returns how many."""
        return self._engine.dead_purge()


def _too_large(body: bytes) -> ValueError:
    return ValueError(f"a message body of {len(body)} bytes exceeds the maximum of "
                      f"{_native.MAX_BODY_LEN} bytes")


def _lost(message: Message) -> LeaseLost:
    return LeaseLost(f"message {message.id}: the lease it was received with is no longer "
                     "current (it expired, or the message was settled)", lost=[message.id])
