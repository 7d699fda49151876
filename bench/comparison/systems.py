"""The queues bench/run.py compares, each opened in each mode as a black box.

An opener returns a namespace of plain callables, so the timed loops call the
library directly (tarnwick's methods are the C functions themselves):
  enq(body)  deq() -> raw (only called when a message is ready)
  try_deq() -> raw | None   handle(raw)   body(raw)   ack(handle)
  enq_batch(bodies) | None  deq_batch(n) -> [raw] | None  ack_batch([handle]) | None
  native(bytes) -> the body type the library takes; to_bytes(native) -> bytes
  flush()  close()   note: how the mode was set up
"""

import functools
import operator
import os
import types

import harness

from sqlite_lease import SqliteLeaseQueue

IMPLS = ["tarnwick", "persist-queue", "litequeue", "localqueue", "sqlite3-lease"]
PEERS = IMPLS[1:]
MODES = ["durable", "relaxed", "memory"]
RELAXED_SYNC_MS = 1_000_000_000  # "a large value": never sync on a timer during a run
LEASE_MS = 30_000


class Unsupported(Exception):
    pass


def _fsync_tree(path):
    """Flush everything a file-based peer wrote under `path` to stable storage."""
    for root, _dirs, files in os.walk(path):
        for f in files:
            try:
                fd = os.open(os.path.join(root, f), os.O_RDONLY)
            except OSError:
                continue
            try:
                os.fsync(fd)
            finally:
                os.close(fd)


def _identity(x):
    return x


def _ns(**kw):
    a = types.SimpleNamespace(enq_batch=None, deq_batch=None, ack_batch=None,
                              native=_identity, to_bytes=bytes, note="")
    a.__dict__.update(kw)
    return a


def open_tarnwick(mode, path):
    import tarnwick
    if mode == "memory":
        q = tarnwick.TarnwickCore(":memory:")
        flush = q.flush
    else:
        q = tarnwick.TarnwickCore(path, sync_interval_ms=0 if mode == "durable" else RELAXED_SYNC_MS)
        flush = q.flush

    def close():
        a.__dict__.clear()  # drops the last reference: the object flushes and syncs

    a = _ns(enq=q.enqueue, deq=q.dequeue, try_deq=q.dequeue, handle=operator.itemgetter(0),
            body=operator.itemgetter(1), ack=q.ack, enq_batch=q.enqueue_batch,
            deq_batch=q.dequeue_batch, ack_batch=q.ack_batch, flush=flush, close=close,
            note="sync_interval_ms=0" if mode == "durable" else
            (":memory:" if mode == "memory" else "sync_interval_ms=%d" % RELAXED_SYNC_MS))
    return a


class _RawSerializer:
    """Bodies are bytes already: store them as they are (no pickle/JSON)."""

    @staticmethod
    def dumps(x):
        return x

    @staticmethod
    def loads(x):
        return x


def open_persist_queue(mode, path):
    import persistqueue
    if mode == "memory":
        q = persistqueue.SQLiteAckQueue(":memory:", serializer=_RawSerializer)
        note = ":memory:"
    else:
        q = persistqueue.SQLiteAckQueue(path, serializer=_RawSerializer, multithreading=False)
        sync = "FULL" if mode == "durable" else "OFF"
        for conn in {id(c): c for c in (q._conn, q._getter, q._putter)}.values():
            conn.execute("PRAGMA synchronous=%s" % sync)
        note = "WAL (its default), synchronous=%s" % sync
    empty = persistqueue.Empty
    get = functools.partial(q.get, block=False, raw=True)

    def try_deq():
        try:
            return get()
        except empty:
            return None

    def ack(pqid):
        q.ack(id=pqid)

    # No batch API; its auto_commit=False is refused by the ack queue, and every
    # put/get/ack commits its own transaction: batches are n/a.
    return _ns(enq=q.put, deq=get, try_deq=try_deq, handle=operator.itemgetter("pqid"),
               body=operator.itemgetter("data"), ack=ack,
               flush=(lambda: None) if mode == "memory" else functools.partial(_fsync_tree, path),
               close=q.close, note=note)


def open_litequeue(mode, path):
    import litequeue
    if mode == "memory":
        q = litequeue.LiteQueue(memory=True)
        note = "memory=True"
    else:
        os.makedirs(path, exist_ok=True)
        q = litequeue.LiteQueue(os.path.join(path, "queue.db"))
        sync = "FULL" if mode == "durable" else "OFF"
        q.conn.execute("PRAGMA synchronous=%s" % sync)
        note = "WAL (its default), synchronous=%s" % sync
    put, done = q.put, q.done

    def enq_batch(bodies):  # a loop inside one transaction
        with q.transaction():
            for b in bodies:
                put(b)

    def ack_batch(ids):
        with q.transaction():
            for i in ids:
                done(i)

    # pop() opens a transaction of its own, so a dequeue batch can't share one: n/a.
    return _ns(enq=put, deq=q.pop, try_deq=q.pop, handle=operator.attrgetter("message_id"),
               body=operator.attrgetter("data"), ack=done, enq_batch=enq_batch,
               ack_batch=ack_batch,
               native=lambda b: b.decode("ascii"), to_bytes=lambda s: s.encode("ascii"),
               flush=(lambda: None) if mode == "memory" else functools.partial(_fsync_tree, path),
               close=q.close, note=note)


def open_localqueue(mode, path):
    import localqueue
    if mode == "memory":
        raise Unsupported("no in-memory mode")
    dm = localqueue.DurabilityMode.DURABLE if mode == "durable" else localqueue.DurabilityMode.RELAXED
    q = localqueue.SimpleQueue(path, serializer=_RawSerializer(), durability=dm,
                               delivery=localqueue.DeliveryPolicy(lease_seconds=LEASE_MS / 1000))
    empty = localqueue.Empty
    get = q.get_nowait

    def try_deq():
        try:
            return get()
        except empty:
            return None

    # put_many is its batch enqueue; it has no batch get or ack and no way to
    # share a transaction between calls: those batches are n/a.
    return _ns(enq=q.put, deq=get, try_deq=try_deq, handle=_identity,
               body=operator.attrgetter("data"), ack=q.ack, enq_batch=q.put_many,
               flush=functools.partial(_fsync_tree, path), close=q.close,
               note="DurabilityMode.%s" % dm.name)


def open_sqlite_lease(mode, path):
    if mode == "memory":
        q = SqliteLeaseQueue(":memory:", durable=False, lease_ms=LEASE_MS)
        note = ":memory:"
    else:
        os.makedirs(path, exist_ok=True)
        q = SqliteLeaseQueue(os.path.join(path, "queue.db"), durable=mode == "durable",
                             lease_ms=LEASE_MS)
        note = "WAL, synchronous=%s" % ("FULL" if mode == "durable" else "OFF")
    return _ns(enq=q.enqueue, deq=q.dequeue, try_deq=q.dequeue, handle=operator.itemgetter(0),
               body=operator.itemgetter(1), ack=q.ack, enq_batch=q.enqueue_batch,
               deq_batch=q.dequeue_batch, ack_batch=q.ack_batch,
               flush=(lambda: None) if mode == "memory" else functools.partial(_fsync_tree, path),
               close=q.close, note=note)


OPENERS = {
    "tarnwick": open_tarnwick,
    "persist-queue": open_persist_queue,
    "litequeue": open_litequeue,
    "localqueue": open_localqueue,
    "sqlite3-lease": open_sqlite_lease,
}
DIST = {"persist-queue": "persist-queue", "litequeue": "litequeue", "localqueue": "localqueue"}


def impl_available(name):
    mod = {"persist-queue": "persistqueue", "litequeue": "litequeue", "localqueue": "localqueue",
           "tarnwick": "tarnwick", "sqlite3-lease": "sqlite3"}[name]
    try:
        __import__(mod)
        return True
    except ImportError:
        return False


def best_peer(row):
    """(name, value) of the fastest peer in a row of results, or None."""
    best = None
    for p in PEERS:
        v = row.get(p)
        if harness.is_number(v) and (best is None or v > best[1]):
            best = (p, v)
    return best
