"""Queue: the face on a queue directory (or ":memory:"), and LocalDriver, the
driver over the package's native engine."""

from __future__ import annotations

import json
import math
import os
import queue as _stdlib_queue
import time
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union, cast

from . import _checks, _consumer, _native
from ._face import BaseQueue, DeadLetters
from ._fork import reset_after_fork
from .driver import (
    DeadLetter,
    Driver,
    LocalQueueStats,
    MessageInfo,
    Retention,
    SchedulePut,
    Status,
    Taken,
    Watch,
)
from .waiting import DirectoryWaiter, MemoryWaiter, StopEvent

Empty = _stdlib_queue.Empty

_U64_MAX = _checks.U64_MAX
DEFAULT_AUTO_COMPACT_BYTES = 64 << 20

# The engine's lease token: (id, enqueued ms, deliveries, lease end ms).
Token = Tuple[int, int, int, int]


def _ms_ceil(seconds: float) -> int:
    """Seconds as whole milliseconds, rounded up so nothing comes due early."""
    return min(_U64_MAX, math.ceil(seconds * 1000.0))


def _encode_headers(headers: Optional[Dict[str, str]]) -> Optional[bytes]:
    """Headers as the engine keeps them: compact UTF-8 JSON (None for none)."""
    if not headers:
        return None
    return json.dumps(headers, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


def _decode_headers(data: Optional[bytes]) -> Dict[str, str]:
    return {} if data is None else cast(Dict[str, str], json.loads(data.decode("utf-8")))


def _taken(taken: List[Tuple[Any, ...]], due: Optional[int],
           options: Optional[List[Any]]) -> Taken:
    """The engine's take as the contract has it: rows with their tokens."""
    if not taken:
        return [], None if due is None else due / 1000.0 - time.time()
    rows: List[Tuple[Any, ...]] = [
        (seq, body, deliveries, enqueued_ms / 1000.0, deadline_ms / 1000.0,
         (seq, enqueued_ms, deliveries, deadline_ms))
        for seq, body, deliveries, enqueued_ms, deadline_ms in taken]
    if options is not None:
        # Six fields for a message put without options, ten with them.
        rows = [row if extra is None else
                row + (extra[0], extra[1], extra[2],
                       {} if extra[3] is None else _decode_headers(extra[3]))
                for row, extra in zip(rows, options)]
    return rows, None


# The outcomes a handle keeps when not told otherwise.
_KEPT = Retention()


def _retention_ms(seconds: float) -> int:
    # Any retention above 0 keeps the outcome for at least a millisecond.
    return 0 if seconds <= 0.0 else max(1, _ms_ceil(seconds))


def _status(row: Tuple[Any, ...]) -> Status:
    (seq, state, deliveries, enqueued_ms, started_ms, finished_ms, result, errors, consumers,
     priority, key, group, headers, dead_letter_id) = row
    return Status(seq, state, deliveries, enqueued_ms / 1000.0,
                  None if started_ms is None else started_ms / 1000.0,
                  None if finished_ms is None else finished_ms / 1000.0,
                  result, tuple(errors), tuple(consumers), priority, key, group,
                  _decode_headers(headers), dead_letter_id)


class LocalDriver(Driver):
    """The driver over the native engine on the directory `path` (or
    ":memory:"). Takes what Queue checked: `sync_interval` and `lease` in
    seconds, `max_deliveries` (None: no limit) below 2**32,
    `auto_compact_bytes` as an int, `consumer_id` checked (None: `host:pid`,
    renewed in a forked child), `retention` the seconds this handle keeps
    the outcomes it writes (see Retention)."""

    max_body_size: Optional[int] = _native.MAX_BODY_LEN

    def __init__(self, path: str, *, lease: float, sync_interval: float,
                 max_deliveries: Optional[int], auto_compact_bytes: int,
                 read_only: bool, consumer_id: Optional[str] = None,
                 retention: Retention = _KEPT) -> None:
        self._lease_ms = max(1, _ms_ceil(lease))
        self._max_deliveries = max_deliveries or 0
        self._engine = _native.Engine(
            path, _ms_ceil(sync_interval), self._lease_ms, auto_compact_bytes, read_only,
            _retention_ms(retention.acked), _retention_ms(retention.dead),
            _retention_ms(retention.cancelled))
        self._engine.set_consumer(consumer_id or _consumer.default())
        if consumer_id is None:
            reset_after_fork(self._after_fork)
        directory = self._engine.directory
        self._waiter: Union[DirectoryWaiter, MemoryWaiter]
        self._watch: Optional[_DirectoryWatch] = None
        if directory is None:
            self._waiter = MemoryWaiter()
        else:
            self._waiter = DirectoryWaiter(directory)
            self._watch = _DirectoryWatch(self._waiter)
        # Other processes see a change through the directory watch; only a
        # queue in memory has to wake its own waiters.
        self._notify = self._waiter.notify if directory is None else None

    def _after_fork(self) -> None:
        # The child is another process: its leases name its own pid.
        if not self._engine.closed:
            self._engine.set_consumer(_consumer.default())

    # --- producing ---

    def put(self, body: bytes, delay: float, *, priority: int = 0,
            key: Optional[str] = None, unique_for: float = 0.0,
            group: Optional[str] = None,
            headers: Optional[Dict[str, str]] = None) -> int:
        delay_ms = 0 if delay == 0.0 else _ms_ceil(delay)
        # An empty key or group is none (the engine's rule too).
        if not (priority or key or group or headers):
            seq = self._engine.put_one(body, delay_ms)
        else:
            seq = self._engine.put_one(body, delay_ms, priority, key,
                                       _ms_ceil(unique_for) if unique_for else 0, group,
                                       _encode_headers(headers) if headers else None)
        if self._notify is not None:
            self._notify()
        return seq

    def put_many(self, bodies: List[bytes], delay: float, *, priority: int = 0,
                 group: Optional[str] = None,
                 headers: Optional[Dict[str, str]] = None) -> List[int]:
        if not (priority or group or headers):
            seqs = self._engine.put(bodies, _ms_ceil(delay))
        else:
            seqs = self._engine.put(bodies, _ms_ceil(delay), priority, group,
                                    _encode_headers(headers))
        if self._notify is not None:
            self._notify()
        return seqs

    def cancel(self, id: int) -> bool:
        return self._engine.cancel(id)

    # --- consuming ---

    def take(self, count: int, lease: Optional[float]) -> Taken:
        # When it leases nothing, the engine's take tells the next due time
        # from the same critical section.
        return _taken(*self._engine.take(count, self._lease_ms_of(lease), self._max_deliveries))

    def ack_then_take(self, token: Token, count: int,
                      lease: Optional[float]) -> Tuple[bool, Taken]:
        # One locked step of two records, synced once.
        acked, rows, due, options = self._engine.ack_then_take(
            token, count, self._lease_ms_of(lease), self._max_deliveries)
        return acked, _taken(rows, due, options)

    def _lease_ms_of(self, lease: Optional[float]) -> int:
        return self._lease_ms if lease is None else max(1, _ms_ceil(lease))

    def watch(self) -> Watch:
        if self._watch is not None:
            return self._watch  # the waiter keeps one watch per thread itself
        assert isinstance(self._waiter, MemoryWaiter)
        return _MemoryWatch(self._waiter)

    # --- settling ---

    def ack(self, token: Token, result: Optional[bytes] = None) -> bool:
        if result is None:
            return self._engine.ack(token)
        return self._engine.ack(token, result)

    def ack_many(self, tokens: Sequence[Token]) -> List[int]:
        return self._engine.ack_many(list(tokens))

    def nack(self, token: Token, delay: float, error: Optional[str] = None) -> bool:
        if not self._engine.nack(token, _ms_ceil(delay), error):
            return False
        if self._notify is not None:
            self._notify()
        return True

    def bury(self, token: Token, reason: str) -> bool:
        return self._engine.bury(token, reason)

    def extend(self, token: Token, lease: Optional[float]) -> Optional[Tuple[Token, float]]:
        lease_ms = None if lease is None else max(1, _ms_ceil(lease))
        deadline = self._engine.extend(token, lease_ms)
        if deadline is None:
            return None
        seq, enqueued_ms, deliveries, _ = token
        return (seq, enqueued_ms, deliveries, deadline), deadline / 1000.0

    # --- looking ---

    def peek(self, limit: int, bodies: bool) -> List[MessageInfo]:
        return [MessageInfo(seq, state, deliveries, ts / 1000.0,
                            None if due is None else due / 1000.0, size, body,
                            None if started is None else started / 1000.0, extensions,
                            consumer, priority, key, group, _decode_headers(headers))
                for (seq, state, deliveries, ts, due, size, body, started, extensions, consumer,
                     priority, key, group, headers)
                in self._engine.peek(limit, bodies)]

    def status(self, id: int) -> Optional[Status]:
        row = self._engine.status(id)
        return None if row is None else _status(row)

    def outcomes(self, state: Optional[str], limit: int,
                 since: Optional[float]) -> List[Status]:
        # Whole milliseconds, rounded up: an outcome is listed exactly when
        # its finished_at (whole milliseconds too) is at or after `since`.
        since_ms = None if since is None else max(0, _ms_ceil(since))
        return [_status(row) for row in self._engine.outcomes(state, limit, since_ms)]

    def stats(self) -> LocalQueueStats:
        # The engine's counts as they are, but for the oldest delivery in
        # flight: (id, started ms) there, two fields of the contract here;
        # and the oldest ready message's time, in seconds here.
        stats: Dict[str, Any] = dict(self._engine.stats())
        oldest = stats.pop("oldest_running")
        stats["oldest_running_id"] = None if oldest is None else oldest[0]
        stats["oldest_running_started_at"] = None if oldest is None else oldest[1] / 1000.0
        ready_ms = stats.pop("oldest_ready_ms")
        stats["oldest_ready_at"] = None if ready_ms is None else ready_ms / 1000.0
        return cast(LocalQueueStats, stats)

    # --- the queue's settings ---

    def pause(self) -> None:
        self._engine.set_paused(True)

    def resume(self) -> None:
        self._engine.set_paused(False)
        # Directory watches see the record; a queue in memory wakes its own.
        if self._notify is not None:
            self._notify()

    def is_paused(self) -> bool:
        return self._engine.is_paused()

    def group_limit(self) -> int:
        return self._engine.group_limit()

    def set_group_limit(self, limit: int) -> None:
        self._engine.set_group_limit(limit)

    # --- schedules ---

    def schedules(self) -> Dict[str, bytes]:
        return self._engine.schedules()

    def schedule_change(self, name: str, expected: Optional[bytes],
                        new: Optional[bytes],
                        puts: Sequence[SchedulePut] = ()) -> Optional[List[int]]:
        # As put() hands them over: an empty key is none, times in whole ms.
        rows = [(p.body, p.priority, p.key or None,
                 _ms_ceil(p.unique_for) if p.unique_for else 0,
                 _encode_headers(p.headers)) for p in puts]
        ids = self._engine.schedule_change(name, expected, new, rows)
        # Directory watches see the record; a queue in memory wakes its own.
        if ids is not None and self._notify is not None:
            self._notify()
        return ids

    # --- dead letters ---

    def dead_count(self) -> int:
        return self._engine.dead_count()

    def dead_list(self, limit: Optional[int]) -> List[DeadLetter]:
        return [DeadLetter(id, original, body, deliveries, ts / 1000.0, died / 1000.0, reason)
                for id, original, body, deliveries, ts, died, reason
                in self._engine.dead_list(_U64_MAX if limit is None else limit)]

    def dead_requeue(self, ids: Optional[List[int]]) -> int:
        count = self._engine.dead_requeue(ids)
        if self._notify is not None:
            self._notify()
        return count

    def dead_purge(self) -> int:
        return self._engine.dead_purge()

    # --- the log ---

    def purge(self) -> None:
        self._engine.purge()

    def flush(self) -> None:
        self._engine.flush()

    def compact(self) -> None:
        """Rewrites the log with only the live messages."""
        self._engine.compact()

    def preallocate_log(self) -> None:
        """Rewrites the log as a preallocated one, unless it is one."""
        self._engine.preallocate_log()

    def verify(self) -> Dict[str, Any]:
        """Checks every record's checksum without changing anything."""
        return dict(self._engine.verify())

    @property
    def closed(self) -> bool:
        return self._engine.closed

    def close(self) -> None:
        self._waiter.close()
        self._engine.close()


class _DirectoryWatch(Watch):
    # DirectoryWaiter keeps a watch per thread: one object serves them all.
    def __init__(self, waiter: DirectoryWaiter) -> None:
        self._waiter = waiter

    def arm(self) -> None:
        self._waiter.arm()

    def wait(self, timeout: float, stop: Optional[StopEvent] = None) -> None:
        self._waiter.wait(0, timeout, stop)

    def fileno(self) -> Optional[int]:
        return self._waiter.fileno()


class _MemoryWatch(Watch):
    # Remembers the change count it was armed at: one per waiting call.
    def __init__(self, waiter: MemoryWaiter) -> None:
        self._waiter = waiter
        self._armed = waiter.arm()

    def arm(self) -> None:
        self._armed = self._waiter.arm()

    def wait(self, timeout: float, stop: Optional[StopEvent] = None) -> None:
        self._waiter.wait(self._armed, timeout, stop)

    def fileno(self) -> Optional[int]:
        return None


class Queue(BaseQueue):
    """A durable queue in the directory `path`, shared with every other
    process (and every TarnwickCore object) that opens the same directory.

    `lease` is the default lease in seconds; `sync_interval` the most seconds
    between forced syncs of single operations (0.0: every operation syncs);
    `max_deliveries` sends a message that would be delivered once more than
    that to the dead letters instead. `read_only` opens an existing queue for
    looking only, by a user who may not write its files (see docs/queue.md):
    every call that would write raises OSError. `consumer_id` names who takes
    through this queue in its leases (peek() shows it): a short str of at
    most 64 bytes in UTF-8; None: `host:pid` of the taking process.
    `group_limit` is how many messages of one group may be leased at once,
    kept with the queue for every process: None keeps the stored one (1 for
    a new queue), an int stores a new one. `keep_acked`, `keep_dead` and
    `keep_cancelled` are how many seconds the outcome of a message this
    handle acks, buries or cancels stays for status() and outcomes() (0: not
    kept; see docs/outcomes.md for the defaults). `preallocate=True` makes
    the log a preallocated one if it is not one yet, for every process from
    then on: durable writes are faster on Linux, and releases before it can
    no longer open the queue (see "A preallocated log" in docs/queue.md);
    False leaves the log as it is."""

    def __init__(self, path: Union[str, os.PathLike[str]], *, lease: float = 30.0,
                 sync_interval: float = 0.0, max_deliveries: Optional[int] = None,
                 auto_compact_bytes: Optional[int] = None, read_only: bool = False,
                 consumer_id: Optional[str] = None, group_limit: Optional[int] = None,
                 keep_acked: float = _KEPT.acked, keep_dead: float = _KEPT.dead,
                 keep_cancelled: float = _KEPT.cancelled, preallocate: bool = False) -> None:
        path = _checks.directory_path(path)
        retention = _checks.retention_of(keep_acked, keep_dead, keep_cancelled)
        group_limit = _checks.group_limit(group_limit)
        lease = _checks.positive_seconds(lease, "lease")
        max_deliveries = _checks.max_deliveries(max_deliveries, 2**32 - 1, "below 2**32")
        auto_compact_bytes = (DEFAULT_AUTO_COMPACT_BYTES if auto_compact_bytes is None else
                              _checks.byte_count(auto_compact_bytes, "auto_compact_bytes"))
        sync_interval = _checks.seconds(sync_interval, "sync_interval")
        _checks.flag(read_only, "read_only")
        _checks.flag(preallocate, "preallocate")
        if preallocate and read_only:
            raise ValueError("preallocate=True rewrites the log: not with read_only=True")
        consumer_id = _consumer.check(consumer_id)
        self._local = LocalDriver(path, lease=lease, sync_interval=sync_interval,
                                  max_deliveries=max_deliveries,
                                  auto_compact_bytes=auto_compact_bytes, read_only=read_only,
                                  consumer_id=consumer_id, retention=retention)
        try:
            if group_limit is not None and group_limit != self._local.group_limit():
                self._local.set_group_limit(group_limit)
            if preallocate:
                self._local.preallocate_log()
        except BaseException:
            self._local.close()
            raise
        super().__init__(self._local)
        self.path = path
        self.read_only = read_only

    def stats(self) -> LocalQueueStats:
        """The counts of the queue: ready, in_flight (leased), scheduled,
        dead_letters, paused, totals and log sizes."""
        return self._local.stats()

    def compact(self) -> None:
        """Rewrites the log with only the live messages."""
        self._local.compact()

    def purge(self) -> None:
        """Removes every message (the dead letters stay)."""
        self._local.purge()

    def verify(self) -> Dict[str, Any]:
        """Checks every record's checksum without changing anything: {ok,
        records, bytes, message} as TarnwickCore.verify_integrity() reports
        them, and `damaged` (ranges {offset, bytes, reason} between intact
        records), `tail` (a torn tail's range, or None) and `intact_records`."""
        return self._local.verify()

    def close(self) -> None:
        """Syncs and closes the queue; later calls raise ValueError."""
        self._local.close()

    def __repr__(self) -> str:
        return f"Queue({self.path!r})" + (" (closed)" if self.closed else "")


__all__ = ["DeadLetters", "Empty", "LocalDriver", "Queue"]
