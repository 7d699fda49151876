"""A third driver, in memory, written only against tarnwick_queue.driver: the
behaviour suite runs over it as over the two real ones ("dict" in
conftest.BACKENDS), which shows that a new backend is one Driver subclass
and nothing else. Every DictDriver on one DictStore is another handle on the
same queue, as another process opening the same directory would be.

It is the model the other drivers are compared against, so it is written
to be plainly right rather than fast: every take looks at every message."""

import itertools
import os
import socket
import threading
import time
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Tuple

from tarnwick_queue import BaseQueue, _checks
from tarnwick_queue.driver import (
    MAX_HISTORY,
    DeadLetter,
    Driver,
    MessageInfo,
    Retention,
    Row,
    Status,
)
from tarnwick_queue.waiting import MemoryWaiter


@dataclass
class Entry:
    body: bytes
    deliveries: int
    enqueued_at: float
    due_at: float               # when it is ready: now, after a delay, or at the lease's end
    lease: Optional[int] = None  # the current lease's number; None once returned
    started_at: Optional[float] = None  # of the current delivery
    extensions: int = 0
    consumer: Optional[str] = None
    priority: int = 0
    key: Optional[str] = None
    unique_for: float = 0.0
    group: Optional[str] = None
    headers: Optional[Dict[str, str]] = None
    last_started: Optional[float] = None  # of the last delivery, kept after it ended
    errors: List[str] = field(default_factory=list)
    consumers: List[str] = field(default_factory=list)

    def leased(self, now):
        return self.lease is not None and self.due_at > now

    def ready(self, now):
        return self.due_at <= now


class DictStore:
    """One queue's messages, dead letters and settings, shared by its handles."""

    def __init__(self):
        self.lock = threading.Lock()
        self.messages: Dict[int, Entry] = {}
        self.dead: Dict[int, DeadLetter] = {}
        self.ids = itertools.count()
        self.dead_ids = itertools.count()
        self.leases = itertools.count(1)
        self.waiter = MemoryWaiter()   # one for every handle: a change wakes them all
        self.live_keys: Dict[str, int] = {}            # key -> id of the live message
        self.kept_keys: Dict[str, Tuple[int, float]] = {}  # key -> (id, remembered until)
        self.paused = False
        self.group_limit = 1
        self.outcomes: Dict[int, Tuple[Status, float]] = {}  # id -> (outcome, kept until)
        self.schedules: Dict[str, bytes] = {}


class DictWatch:
    def __init__(self, waiter):
        self._waiter = waiter
        self._armed = waiter.arm()

    def arm(self):
        self._armed = self._waiter.arm()

    def wait(self, timeout, stop=None):
        self._waiter.wait(self._armed, timeout, stop)

    def fileno(self):
        return None


class DictDriver(Driver):
    def __init__(self, store: DictStore, *, lease: float = 30.0,
                 max_deliveries: Optional[int] = None, consumer_id: Optional[str] = None,
                 retention: Retention = Retention()):  # noqa: B008 (a NamedTuple)
        self._store = store
        self._retention = retention
        self._consumer_id = consumer_id
        self._lease = lease
        self._max_deliveries = max_deliveries
        self._closed = False

    def _open(self) -> DictStore:
        if self._closed:
            raise ValueError("operation on a closed queue")
        return self._store

    def _changed(self):
        self._store.waiter.notify()

    def _current(self, token, now):
        entry = self._store.messages.get(token[0])
        if entry is not None and entry.lease == token[1] and entry.due_at > now:
            return entry
        return None

    def _remove(self, id, now, state=None, keep=0.0, result=None, dead_letter_id=None):
        """Takes the message out of the queue; its key is remembered for its
        unique_for seconds, and its outcome in `state` for `keep` seconds."""
        entry = self._store.messages.pop(id)
        if entry.key is not None:
            del self._store.live_keys[entry.key]
            if entry.unique_for > 0:
                self._store.kept_keys[entry.key] = (id, now + entry.unique_for)
        if state is not None and keep > 0:
            self._store.outcomes[id] = (self._status(id, entry, state, now, result,
                                                     dead_letter_id), now + keep)
        return entry

    @staticmethod
    def _status(id, e, state, finished_at=None, result=None, dead_letter_id=None):
        return Status(id, state, e.deliveries, e.enqueued_at, e.last_started, finished_at,
                      result, tuple(e.errors), tuple(e.consumers), e.priority, e.key,
                      e.group, dict(e.headers or {}), dead_letter_id)

    # --- producing ---

    def put(self, body, delay, *, priority=0, key=None, unique_for=0.0, group=None,
            headers=None):
        store = self._open()
        with store.lock:
            id = self._put_locked(body, delay, priority, key, unique_for, group, headers)
        self._changed()
        return id

    def _put_locked(self, body, delay, priority, key, unique_for, group, headers):
        store = self._store
        now = time.time()
        if key is not None:
            if key in store.live_keys:
                return store.live_keys[key]
            kept = store.kept_keys.get(key)
            if kept is not None and kept[1] > now:
                return kept[0]
            store.kept_keys.pop(key, None)
        id = next(store.ids)
        store.messages[id] = Entry(body, 0, now, now + delay, priority=priority, key=key,
                                   unique_for=unique_for, group=group,
                                   headers=dict(headers) if headers else None)
        if key is not None:
            store.live_keys[key] = id
        return id

    def put_many(self, bodies, delay, *, priority=0, group=None, headers=None):
        store = self._open()
        now = time.time()
        with store.lock:
            ids = []
            for body in bodies:
                ids.append(next(store.ids))
                store.messages[ids[-1]] = Entry(body, 0, now, now + delay, priority=priority,
                                                group=group,
                                                headers=dict(headers) if headers else None)
        if ids:
            self._changed()
        return ids

    def cancel(self, id):
        store = self._open()
        now = time.time()
        with store.lock:
            entry = store.messages.get(id)
            if entry is None or entry.leased(now):
                return False
            self._remove(id, now, "cancelled", self._retention.cancelled)
        self._changed()
        return True

    # --- consuming ---

    def _next(self, now):
        """The message to lease next, or None: the best ready one by
        (priority, -id) among those not held back, where a group's only
        candidate is its smallest ready id, and none while the group has
        its limit leased."""
        store = self._store
        leased_in = {}
        for e in store.messages.values():
            if e.group is not None and e.leased(now):
                leased_in[e.group] = leased_in.get(e.group, 0) + 1
        heads = {}
        for id in sorted(store.messages):
            e = store.messages[id]
            if e.group is not None and e.ready(now) and e.group not in heads:
                heads[e.group] = id
        best = None
        for id, e in store.messages.items():
            if not e.ready(now):
                continue
            if e.group is not None and (heads[e.group] != id
                                        or leased_in.get(e.group, 0) >= store.group_limit):
                continue
            if best is None or (e.priority, -id) > (store.messages[best].priority, -best):
                best = id
        return best

    def take(self, count, lease):
        store = self._open()
        now = time.time()
        lease = self._lease if lease is None else lease
        rows = []
        with store.lock:
            if store.paused:
                return [], None
            while len(rows) < count:
                id = self._next(now)
                if id is None:
                    break
                entry = store.messages[id]
                if self._max_deliveries is not None and entry.deliveries >= self._max_deliveries:
                    self._bury(id, "max deliveries exceeded", now)
                    continue
                entry.deliveries += 1
                entry.lease = next(store.leases)
                entry.due_at = now + lease
                entry.started_at = entry.last_started = now
                entry.extensions = 0
                entry.consumer = self._consumer_id or f"{socket.gethostname()}:{os.getpid()}"
                entry.consumers = (entry.consumers + [entry.consumer])[-MAX_HISTORY:]
                # Ten fields where there are options, six where there are none,
                # as the contract allows both.
                fields = (id, entry.body, entry.deliveries, entry.enqueued_at, entry.due_at,
                          (id, entry.lease))
                if entry.priority or entry.key or entry.group or entry.headers:
                    fields = Row(*fields, entry.priority, entry.key, entry.group,
                                 dict(entry.headers) if entry.headers else None)
                rows.append(fields)
            if rows:
                return rows, None
            pending = [e.due_at for e in store.messages.values() if e.due_at > now]
            return [], (min(pending) - now if pending else None)

    def watch(self):
        self._open()
        return DictWatch(self._store.waiter)

    # --- settling ---

    def ack(self, token, result=None):
        return not self._ack([token], result)

    def ack_many(self, tokens):
        return self._ack(tokens, None)

    def _ack(self, tokens, result):
        store = self._open()
        now = time.time()
        with store.lock:
            current = [self._current(t, now) is not None for t in tokens]
            for token, ok in zip(tokens, current):
                if ok and token[0] in store.messages:
                    self._remove(token[0], now, "acked", self._retention.acked, result)
        if any(current):
            self._changed()  # a group's slot is free
        return [i for i, ok in enumerate(current) if not ok]

    def nack(self, token, delay, error=None):
        store = self._open()
        now = time.time()
        with store.lock:
            entry = self._current(token, now)
            if entry is None:
                return False
            if error is not None:
                entry.errors = (entry.errors + [error])[-MAX_HISTORY:]
            entry.lease, entry.due_at = None, now + delay
            entry.started_at, entry.extensions, entry.consumer = None, 0, None
        self._changed()
        return True

    def bury(self, token, reason):
        store = self._open()
        now = time.time()
        with store.lock:
            entry = self._current(token, now)
            if entry is None:
                return False
            self._bury(token[0], reason, now)
        self._changed()
        return True

    def _bury(self, id, reason, now):
        entry = self._store.messages[id]
        if reason:
            entry.errors = (entry.errors + [reason])[-MAX_HISTORY:]
        dead_id = next(self._store.dead_ids)
        self._remove(id, now, "dead", self._retention.dead, dead_letter_id=dead_id)
        self._store.dead[dead_id] = DeadLetter(dead_id, id, entry.body, entry.deliveries,
                                               entry.enqueued_at, now, reason)

    def extend(self, token, lease):
        store = self._open()
        now = time.time()
        with store.lock:
            entry = self._current(token, now)
            if entry is None:
                return None
            entry.due_at = now + (self._lease if lease is None else lease)
            entry.extensions += 1
            return token, entry.due_at

    # --- looking ---

    def peek(self, limit, bodies):
        store = self._open()
        now = time.time()
        with store.lock:
            infos = []
            for id in sorted(store.messages)[:limit]:
                e = store.messages[id]
                held = e.leased(now)
                state = "ready" if e.ready(now) else "leased" if held else "scheduled"
                infos.append(MessageInfo(id, state, e.deliveries, e.enqueued_at,
                                         None if e.ready(now) else e.due_at, len(e.body),
                                         e.body if bodies else None,
                                         e.started_at if held else None,
                                         e.extensions if held else 0,
                                         e.consumer if held else None,
                                         e.priority, e.key, e.group, dict(e.headers or {})))
            return infos

    def stats(self):
        store = self._open()
        now = time.time()
        with store.lock:
            entries = list(store.messages.values())
            running = sorted((e.started_at, id) for id, e in store.messages.items()
                             if e.leased(now))
            oldest = running[0] if running else (None, None)
            ready_since = [e.due_at for e in entries if e.ready(now)]
            ready = len(ready_since)
            in_flight = len(running)
            return {"oldest_running_id": oldest[1], "oldest_running_started_at": oldest[0],
                    "oldest_ready_at": min(ready_since, default=None),
                    "ready": ready, "in_flight": in_flight,
                    "scheduled": len(entries) - ready - in_flight,
                    "total": len(entries), "live_bytes": sum(len(e.body) for e in entries),
                    "dead_letters": len(store.dead), "persistent": False,
                    "paused": store.paused}

    def status(self, id):
        store = self._open()
        now = time.time()
        with store.lock:
            e = store.messages.get(id)
            if e is not None:
                state = "ready" if e.ready(now) else "leased" if e.leased(now) else "scheduled"
                return self._status(id, e, state)
            kept = store.outcomes.get(id)
            return kept[0] if kept is not None and kept[1] > now else None

    def outcomes(self, state, limit, since):
        store = self._open()
        now = time.time()
        with store.lock:
            chosen = [status for status, until in store.outcomes.values()
                      if until > now and (state is None or status.state == state)
                      and (since is None or status.finished_at >= since)]
        chosen.sort(key=lambda status: (status.finished_at, status.id), reverse=True)
        return chosen[:limit]

    # --- settings ---

    def pause(self):
        store = self._open()
        with store.lock:
            store.paused = True

    def resume(self):
        store = self._open()
        with store.lock:
            store.paused = False
        self._changed()

    def is_paused(self):
        return self._open().paused

    def group_limit(self):
        return self._open().group_limit

    def set_group_limit(self, limit):
        store = self._open()
        with store.lock:
            store.group_limit = limit
        self._changed()  # a higher limit may free messages

    # --- schedules ---

    def schedules(self):
        store = self._open()
        with store.lock:
            return dict(store.schedules)

    def schedule_change(self, name, expected, new, puts=()):
        store = self._open()
        with store.lock:
            if store.schedules.get(name) != expected:
                return None
            if new is None:
                store.schedules.pop(name, None)
            else:
                store.schedules[name] = bytes(new)
            ids = [self._put_locked(p.body, 0.0, p.priority, p.key, p.unique_for, None,
                                    p.headers) for p in puts]
        self._changed()
        return ids

    # --- dead letters ---

    def dead_count(self):
        return len(self._open().dead)

    def dead_list(self, limit) -> List[DeadLetter]:
        store = self._open()
        with store.lock:
            letters = [store.dead[id] for id in sorted(store.dead)]
        return letters if limit is None else letters[:limit]

    def dead_requeue(self, ids):
        store = self._open()
        now = time.time()
        with store.lock:
            chosen = sorted(store.dead) if ids is None else sorted(set(ids) & set(store.dead))
            for dead_id in chosen:
                letter = store.dead.pop(dead_id)
                store.messages[next(store.ids)] = Entry(letter.body, 0, now, now)
        if chosen:
            self._changed()
        return len(chosen)

    def dead_purge(self):
        store = self._open()
        with store.lock:
            count = len(store.dead)
            store.dead.clear()
        return count

    def purge(self):
        store = self._open()
        now = time.time()
        with store.lock:
            for id in list(store.messages):
                self._remove(id, now)
        self._changed()

    def flush(self):
        self._open()

    @property
    def closed(self):
        return self._closed

    def close(self):
        if not self._closed:
            self._closed = True
            self._changed()  # a wait in progress looks again, and finds the queue closed


def open_dict_queue(store: DictStore, *, lease: float = 30.0,
                    max_deliveries: Optional[int] = None, consumer_id: Optional[str] = None,
                    group_limit: Optional[int] = None, keep_acked: float = Retention().acked,
                    keep_dead: float = Retention().dead,
                    keep_cancelled: float = Retention().cancelled, **ignored) -> BaseQueue:
    """A queue on `store`; the local queue's log options mean nothing here.
    `group_limit`, as with the other queues: None keeps the stored one, an
    int stores it."""
    limit = _checks.group_limit(group_limit)
    driver = DictDriver(store, lease=lease, max_deliveries=max_deliveries,
                        consumer_id=consumer_id,
                        retention=_checks.retention_of(keep_acked, keep_dead, keep_cancelled))
    if limit is not None:
        driver.set_group_limit(limit)
    return BaseQueue(driver)
