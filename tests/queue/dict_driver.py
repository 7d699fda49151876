"""A third driver, in memory, written only against tarnwick_queue.driver: the
behaviour suite runs over it as over the two real ones ("dict" in
conftest.BACKENDS), which shows that a new backend is one Driver subclass
and nothing else. Every DictDriver on one DictStore is another handle on the
same queue, as another process opening the same directory would be."""

import itertools
import os
import socket
import threading
import time
from dataclasses import dataclass
from typing import Dict, List, Optional

from tarnwick_queue import BaseQueue
from tarnwick_queue.driver import DeadLetter, Driver, MessageInfo
from tarnwick_queue.waiting import MemoryWaiter


@dataclass
class Entry:
    body: bytes
    deliveries: int
    enqueued_at: float
    due_at: float               # when it is ready: now, after a delay, or at the lease's end
    lease: Optional[int] = None
    started_at: Optional[float] = None  # of the current delivery
    extensions: int = 0
    consumer: Optional[str] = None


class DictStore:
    """One queue's messages and dead letters, shared by its handles."""

    def __init__(self):
        self.lock = threading.Lock()
        self.messages: Dict[int, Entry] = {}
        self.dead: Dict[int, DeadLetter] = {}
        self.ids = itertools.count()
        self.dead_ids = itertools.count()
        self.leases = itertools.count(1)
        self.waiter = MemoryWaiter()   # one for every handle: a change wakes them all


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
                 max_deliveries: Optional[int] = None, consumer_id: Optional[str] = None):
        self._store = store
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

    def put(self, body, delay):
        return self.put_many([body], delay)[0]

    def put_many(self, bodies, delay):
        store = self._open()
        now = time.time()
        with store.lock:
            ids = []
            for body in bodies:
                ids.append(next(store.ids))
                store.messages[ids[-1]] = Entry(body, 0, now, now + delay)
        if ids:
            self._changed()
        return ids

    def take(self, count, lease):
        store = self._open()
        now = time.time()
        lease = self._lease if lease is None else lease
        rows = []
        with store.lock:
            for id in sorted(store.messages):
                if len(rows) == count:
                    break
                entry = store.messages[id]
                if entry.due_at > now:
                    continue
                if self._max_deliveries is not None and entry.deliveries >= self._max_deliveries:
                    self._bury(id, entry, "max deliveries exceeded", now)
                    continue
                entry.deliveries += 1
                entry.lease = next(store.leases)
                entry.due_at = now + lease
                entry.started_at, entry.extensions = now, 0
                entry.consumer = self._consumer_id or f"{socket.gethostname()}:{os.getpid()}"
                rows.append((id, entry.body, entry.deliveries, entry.enqueued_at, entry.due_at,
                             (id, entry.lease)))
            if rows:
                return rows, None
            pending = [e.due_at for e in store.messages.values() if e.due_at > now]
            return [], (min(pending) - now if pending else None)

    def watch(self):
        self._open()
        return DictWatch(self._store.waiter)

    def ack(self, token):
        return not self.ack_many([token])

    def ack_many(self, tokens):
        store = self._open()
        now = time.time()
        with store.lock:
            current = [self._current(t, now) is not None for t in tokens]
            for token, ok in zip(tokens, current):
                if ok:
                    store.messages.pop(token[0], None)
        return [i for i, ok in enumerate(current) if not ok]

    def nack(self, token, delay):
        store = self._open()
        now = time.time()
        with store.lock:
            entry = self._current(token, now)
            if entry is None:
                return False
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
            self._bury(token[0], entry, reason, now)
        return True

    def _bury(self, id, entry, reason, now):
        del self._store.messages[id]
        dead_id = next(self._store.dead_ids)
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

    def peek(self, limit, bodies):
        store = self._open()
        now = time.time()
        with store.lock:
            infos = []
            for id in sorted(store.messages)[:limit]:
                e = store.messages[id]
                ready = e.due_at <= now
                state = "ready" if ready else "scheduled" if e.deliveries == 0 else "leased"
                held = not ready and e.lease is not None
                infos.append(MessageInfo(id, state, e.deliveries, e.enqueued_at,
                                         None if ready else e.due_at, len(e.body),
                                         e.body if bodies else None,
                                         e.started_at if held else None,
                                         e.extensions if held else 0,
                                         e.consumer if held else None))
            return infos

    def stats(self):
        store = self._open()
        now = time.time()
        with store.lock:
            entries = list(store.messages.values())
            waiting = [e for e in entries if e.due_at > now]
            running = sorted((e.started_at, id) for id, e in store.messages.items()
                             if e.due_at > now and e.lease is not None)
            oldest = running[0] if running else (None, None)
            return {"oldest_running_id": oldest[1], "oldest_running_started_at": oldest[0],
                    "ready": len(entries) - len(waiting), "in_flight": len(waiting),
                    "scheduled": sum(1 for e in waiting if e.deliveries == 0),
                    "total": len(entries), "live_bytes": sum(len(e.body) for e in entries),
                    "dead_letters": len(store.dead), "persistent": False}

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
        with store.lock:
            store.messages.clear()

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
                    **ignored) -> BaseQueue:
    """A queue on `store`; the local queue's log options mean nothing here."""
    return BaseQueue(DictDriver(store, lease=lease, max_deliveries=max_deliveries,
                                consumer_id=consumer_id))
