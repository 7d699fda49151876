#!/usr/bin/env python3
"""tarnwick benchmark: tarnwick beside PyPI queue peers, a plain sqlite3 lease
queue and raw I/O floors, all measured in one run on one directory.

    pip install -r bench/requirements.txt        # peers + matplotlib
    PYTHONPATH=build/bench python bench/run.py            # full run, a few minutes
    PYTHONPATH=build/bench python bench/run.py --quick    # < 60 s

Writes bench/results/results.md (results-quick.md with --quick), chart.png
(chart-quick.png) and results.json (results-quick.json).
"""

import argparse
import collections
import functools
import gc
import importlib.metadata
import json
import multiprocessing
import operator
import os
import pickle
import platform
import random
import shutil
import string
import subprocess
import sys
import tempfile
import time
import traceback
import types
from itertools import repeat
from time import perf_counter

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
RESULTS_DIR = os.path.join(HERE, "results")
sys.path.insert(0, HERE)

from sqlite_lease import SqliteLeaseQueue  # noqa: E402

IMPLS = ["tarnwick", "persist-queue", "litequeue", "localqueue", "sqlite3-lease"]
PEERS = IMPLS[1:]
MODES = ["durable", "relaxed", "memory"]
RELAXED_SYNC_MS = 1_000_000_000  # "a large value": never sync on a timer during a run
LEASE_MS = 30_000
SMALL = 100
BIG = 64 * 1024
BATCH = 1000

# Scenario keys, their labels and units, in table order.
SCENARIOS = [
    ("enq", "enqueue 100 B", "ops/s"),
    ("cycle", "enqueue→dequeue→ack 100 B", "cycles/s"),
    ("benq", "enqueue_batch 1000×100 B", "batches/s"),
    ("bdeq", "dequeue_batch 1000", "batches/s"),
    ("back", "ack_batch 1000", "batches/s"),
    ("big_enq", "enqueue 64 KiB (+final flush)", "MB/s"),
    ("big_enq_nf", "enqueue 64 KiB (no final flush)", "MB/s"),
    ("big_drain", "dequeue+ack 64 KiB", "MB/s"),
    ("mp", "2 producers + 2 consumers, 100 B", "msgs/s"),
]
SCEN_LABEL = {k: lbl for k, lbl, _ in SCENARIOS}
SCEN_UNIT = {k: u for k, _, u in SCENARIOS}


def log(*a):
    print(*a, file=sys.stderr, flush=True)


# --------------------------------------------------------------------------
# Implementations. Each adapter is a namespace of plain callables, so the timed
# loops call the library directly (tarnwick's methods are the C functions
# themselves):
#   enq(body)  deq() -> raw (only called when a message is ready)
#   try_deq() -> raw | None   handle(raw)   body(raw)   ack(handle)
#   enq_batch(bodies) | None  deq_batch(n) -> [raw] | None  ack_batch([handle]) | None
#   native(bytes) -> the body type the library takes; to_bytes(native) -> bytes
#   flush()  close()   note: how the mode was set up
# --------------------------------------------------------------------------


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


# --------------------------------------------------------------------------
# Timing helpers
# --------------------------------------------------------------------------


def timed_call(fn, arg, budget, min_n=1, max_n=None):
    """Call fn(arg) for about `budget` seconds; returns (calls, seconds)."""
    n, chunk = 0, 1
    t0 = perf_counter()
    while True:
        c = chunk if max_n is None else min(chunk, max_n - n)
        tc = perf_counter()
        for _ in repeat(None, c):
            fn(arg)
        n += c
        t = perf_counter()
        el = t - t0
        if (el >= budget and n >= min_n) or (max_n is not None and n >= max_n):
            return n, el
        if (t - tc) * 50 < budget and chunk < 65536:
            chunk *= 2


def ascii_bytes(rng, n):
    letters = (string.ascii_letters + string.digits).encode()
    return bytes(rng.choice(letters) for _ in range(n))


# --------------------------------------------------------------------------
# Scenarios (single process)
# --------------------------------------------------------------------------


def sc_enqueue(a, body, budget):
    for _ in range(20):
        a.enq(body)
    n, el = timed_call(a.enq, body, budget, min_n=10)
    return n / el


def sc_cycle(a, body, budget):
    enq, deq, ack, h = a.enq, a.deq, a.ack, a.handle

    def step(b):
        enq(b)
        ack(h(deq()))

    for _ in range(20):
        step(body)
    n, el = timed_call(step, body, budget, min_n=10)
    return n / el


def sc_batch_enqueue(a, body, budget):
    if a.enq_batch is None:
        return {"benq": "n/a"}
    k, el = timed_call(a.enq_batch, [body] * BATCH, budget, min_n=2)
    return {"benq": k / el}


def sc_batch_drain(a, body, batches, ack_only_cap):
    """dequeue_batch and ack_batch over a queue filled with the same number of
    batches for every implementation, so that no one drains a deeper queue."""
    out = {"bdeq": "n/a", "back": "n/a"}
    if a.deq_batch is None and a.ack_batch is None:
        return out
    bodies = [body] * BATCH
    for _ in range(batches):
        if a.enq_batch is not None:
            a.enq_batch(bodies)
        else:
            for b in bodies:
                a.enq(b)
    lists = None
    if a.deq_batch is not None:
        t0 = perf_counter()
        lists = [a.deq_batch(BATCH) for _ in range(batches)]
        el = perf_counter() - t0
        sizes = {len(x) for x in lists}
        if sizes != {BATCH}:
            raise RuntimeError("dequeue_batch returned sizes %s" % sorted(sizes))
        out["bdeq"] = batches / el
    else:
        lists = [[a.deq() for _ in range(BATCH)] for _ in range(min(batches, ack_only_cap))]
    if a.ack_batch is not None:
        handles = [[a.handle(m) for m in lst] for lst in lists]
        t0 = perf_counter()
        for hs in handles:
            a.ack_batch(hs)
        out["back"] = len(handles) / (perf_counter() - t0)
    return out


def sc_big_enqueue(a, big, count, cap_s, final_flush=True):
    for _ in range(2):
        a.enq(big)
    enq = a.enq
    n = 0
    t0 = perf_counter()
    while n < count:
        enq(big)
        n += 1
        if n % 8 == 0 and perf_counter() - t0 > cap_s:
            break
    if final_flush:
        a.flush()
    el = perf_counter() - t0
    return n * BIG / 1e6 / el


def sc_big(a, big, count, cap_s):
    enq_rate = sc_big_enqueue(a, big, count, cap_s)
    try_deq, ack, h, body = a.try_deq, a.ack, a.handle, a.body
    m = 0
    t0 = perf_counter()
    while True:
        r = try_deq()
        if r is None:
            break
        if m == 0 and len(body(r)) != BIG:
            raise RuntimeError("64 KiB body came back with %d bytes" % len(body(r)))
        ack(h(r))
        m += 1
        if m % 8 == 0 and perf_counter() - t0 > cap_s:
            break
    el = perf_counter() - t0
    return {"big_enq": enq_rate, "big_drain": m * BIG / 1e6 / el}


# --------------------------------------------------------------------------
# 2 producers + 2 consumers
# --------------------------------------------------------------------------


def mp_body(p, i):
    head = b"p%d-%08d-" % (p, i)
    tail = bytes(97 + (p * 131 + i * 7 + k * 13) % 26 for k in range(SMALL - len(head)))
    return head + tail


def _mp_worker(role, idx, impl, mode, path, n, barrier, produced, counts, total, out_path,
               limit_s):
    res = {"role": role, "idx": idx, "end": None, "got": [], "error": None}
    try:
        a = OPENERS[impl](mode, path)
        if role == "P":
            bodies = [a.native(mp_body(idx, i)) for i in range(n)]
            barrier.wait()
            enq = a.enq
            for b in bodies:
                enq(b)
            with produced.get_lock():
                produced.value += 1
            res["end"] = perf_counter()
        else:
            got = []
            try_deq, ack, h, body = a.try_deq, a.ack, a.handle, a.body
            barrier.wait()
            t_limit = perf_counter() + limit_s
            last_progress = perf_counter()
            seen = -1
            while True:
                r = try_deq()
                if r is not None:
                    ack(h(r))
                    got.append(body(r))
                    counts[idx] = len(got)
                    continue
                tot = counts[0] + counts[1]
                if tot >= total:
                    break
                now = perf_counter()
                if tot != seen or produced.value < 2:
                    seen, last_progress = tot, now
                elif now - last_progress > 3.0:
                    # Everything was produced and nothing arrived for 3 s: what
                    # is still missing is lost (checked by the parent).
                    break
                if now > t_limit:
                    res["error"] = "timed out"
                    break
                time.sleep(0.0002)
            res["end"] = perf_counter()
            res["got"] = [a.to_bytes(g) if not isinstance(g, bytes) else g for g in got]
        a.close()
    except BaseException:
        res["error"] = traceback.format_exc(limit=3)
    with open(out_path, "wb") as f:
        pickle.dump(res, f)


def sc_multiprocess(impl, mode, base, n, limit_s):
    path = os.path.join(base, "mp")
    OPENERS[impl](mode, path).close()  # create the queue and its schema once
    ctx = multiprocessing.get_context("fork")
    barrier = ctx.Barrier(5)
    produced = ctx.Value("i", 0)
    counts = ctx.Array("q", 2, lock=False)
    total = 2 * n
    procs = []
    for role, idx in (("P", 0), ("P", 1), ("C", 0), ("C", 1)):
        out = os.path.join(base, "mp-%s%d.pkl" % (role, idx))
        p = ctx.Process(target=_mp_worker, args=(role, idx, impl, mode, path, n, barrier,
                                                 produced, counts, total, out, limit_s))
        p.start()
        procs.append((p, out))
    try:
        barrier.wait(timeout=60)
    except Exception:
        for p, _ in procs:
            p.kill()
        return "error: workers did not start", None
    t0 = perf_counter()
    timed_out = False
    for p, _ in procs:
        p.join(timeout=max(1.0, limit_s + 10 - (perf_counter() - t0)))
        if p.is_alive():
            timed_out = True
            p.kill()
            p.join()
    results = []
    for p, out in procs:
        try:
            with open(out, "rb") as f:
                results.append(pickle.load(f))
        except OSError:
            results.append({"role": "?", "error": "no result (killed)", "got": [], "end": None})
    errors = [r["error"] for r in results if r["error"]]
    expected = collections.Counter(mp_body(p, i) for p in (0, 1) for i in range(n))
    received = collections.Counter()
    for r in results:
        received.update(r["got"])
    missing = sum(1 for b in expected if b not in received)
    invented = sum(c for b, c in received.items() if b not in expected)
    dups = sum(c - 1 for b, c in received.items() if b in expected and c > 1)
    info = {"sent": total, "received": sum(received.values()), "missing": missing,
            "invented": invented, "duplicates": dups,
            "errors": [e.strip().splitlines()[-1] for e in errors]}
    if timed_out:
        return "timeout", info
    if errors:
        return "error: " + info["errors"][0][:60], info
    ends = [r["end"] for r in results if r["role"] == "C" and r["end"] is not None]
    rate = total / (max(ends) - t0)
    if missing or invented:
        return "lost %d / invented %d" % (missing, invented), info
    return rate, info


# --------------------------------------------------------------------------
# Floors, machine, memory target
# --------------------------------------------------------------------------


def build_floor(tmp):
    exe = os.path.join(tmp, "floor")
    subprocess.run(["cc", "-O2", "-o", exe, os.path.join(HERE, "floor.c")], check=True)
    return exe


def run_floor(exe, bench_dir, budget_ms, repeats, big_total, tests=()):
    d = os.path.join(bench_dir, "floor")
    os.makedirs(d, exist_ok=True)
    out = subprocess.run([exe, d, str(int(budget_ms)), str(repeats), str(big_total)] + list(tests),
                         check=True, capture_output=True, text=True).stdout
    shutil.rmtree(d, ignore_errors=True)
    floors = {}
    for line in out.splitlines():
        name, val, unit = line.split()
        floors[name] = float(val)
    return floors


def paired_rounds(exe, bench_dir, args, rounds, small_b, big_b):
    """Targets 1-4 measured against floors taken right before and after.

    fsync and write-back speed on a shared virtual disk drift by large factors
    within seconds, so each round brackets one tarnwick measurement with two
    runs of its floor, and the verdict uses the median over rounds of
    tarnwick / mean(bracketing floors)."""
    budget_ms = args.budget * 1000
    big_count = args.big_total // BIG
    rows = collections.defaultdict(list)

    def floor(name):
        return run_floor(exe, bench_dir, budget_ms, 1, args.big_total, [name])[name]

    def fresh(mode):
        d = tempfile.mkdtemp(prefix="paired-", dir=bench_dir)
        return open_tarnwick(mode, os.path.join(d, "q")), d

    def tw(mode, fn):
        a, d = fresh(mode)
        try:
            return fn(a)
        finally:
            a.close()
            gc.collect()
            shutil.rmtree(d, ignore_errors=True)

    for r in range(rounds):
        f0 = floor("fsync1")
        e = tw("durable", lambda a: sc_enqueue(a, small_b, args.budget))
        c = tw("durable", lambda a: sc_cycle(a, small_b, args.budget))
        f1 = floor("fsync1")
        rows[1].append({"tarnwick": min(e, 3 * c), "enq": e, "cycle": c, "floor": (f0 + f1) / 2})
        l0 = floor("lockcycle")
        e = tw("relaxed", lambda a: sc_enqueue(a, small_b, args.budget))
        l1 = floor("lockcycle")
        rows[2].append({"tarnwick": e, "floor": (l0 + l1) / 2})
        b0 = floor("batch1000")
        be = tw("durable", lambda a: operator.truediv(
            *timed_call(a.enq_batch, [small_b] * BATCH, args.budget, min_n=2)))
        b1 = floor("batch1000")
        rows[3].append({"tarnwick": be, "floor": (b0 + b1) / 2})
        s0 = floor("seq64k")
        bg = tw("relaxed", lambda a: sc_big_enqueue(a, big_b, big_count, 30.0))
        s1 = floor("seq64k")
        rows[4].append({"tarnwick": bg, "floor": (s0 + s1) / 2})
        w0 = floor("write64k")
        bn = tw("relaxed", lambda a: sc_big_enqueue(a, big_b, big_count, 30.0, final_flush=False))
        w1 = floor("write64k")
        rows[6].append({"tarnwick": bn, "floor": (w0 + w1) / 2})
        log("paired round %d: %s" % (r + 1, {k: v[-1] for k, v in rows.items()}))
    out = {}
    for k, lst in rows.items():
        ratios = sorted(x["tarnwick"] / x["floor"] for x in lst)
        out[k] = {"rounds": lst, "ratios": ratios, "median": ratios[len(ratios) // 2] if len(ratios) % 2
                  else (ratios[len(ratios) // 2 - 1] + ratios[len(ratios) // 2]) / 2}
    return out


def sh(cmd):
    try:
        return subprocess.run(cmd, capture_output=True, text=True, timeout=10).stdout.strip()
    except Exception as e:  # noqa: BLE001
        return "(%s)" % e


def machine_info(bench_dir):
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    df = sh(["df", "-T", bench_dir]).splitlines()
    fs = df[-1].split() if len(df) > 1 else ["?", "?"]
    vers = {}
    for impl, dist in DIST.items():
        try:
            vers[impl] = importlib.metadata.version(dist)
        except importlib.metadata.PackageNotFoundError:
            vers[impl] = "not installed"
    import sqlite3
    try:
        import tarnwick
        tw = "%s (%s)" % (tarnwick.__version__, tarnwick.__file__)
    except ImportError:
        tw = "not importable"
    return {
        "cpu": cpu, "cores": os.cpu_count(), "kernel": platform.release(),
        "fs": "%s on %s (df -T), %s (stat -f), mount options %s" % (
            fs[1], fs[0], sh(["stat", "-f", "-c", "%T", bench_dir]),
            sh(["findmnt", "-no", "OPTIONS", "-T", bench_dir]) or "?"),
        "bench_dir": bench_dir, "python": sys.version.split()[0] + " " + platform.python_implementation(),
        "sqlite": sqlite3.sqlite_version, "tarnwick": tw, "peers": vers,
    }


def run_memory_target(messages, bench_dir):
    cmd = [sys.executable, os.path.join(HERE, "memory.py"), "--messages", str(messages),
           "--dir", bench_dir, "--json"]
    p = subprocess.run(cmd, capture_output=True, text=True)
    sys.stderr.write(p.stderr)
    if p.returncode != 0:
        return {"error": (p.stderr.strip().splitlines() or ["memory.py failed"])[-1]}
    return json.loads(p.stdout.strip().splitlines()[-1])


# --------------------------------------------------------------------------
# Report
# --------------------------------------------------------------------------


def fmt(v):
    if isinstance(v, str):
        return v
    if v is None:
        return "—"
    if v >= 1e6:
        return "%.2fM" % (v / 1e6)
    if v >= 100:
        return "{:,.0f}".format(v)
    if v >= 10:
        return "%.1f" % v
    return "%.2f" % v


def ratio(a, b):
    if isinstance(a, (int, float)) and isinstance(b, (int, float)) and b > 0:
        return "%.2f×" % (a / b)
    return "—"


def floor_for(key, mode, floors):
    """(label, value in the scenario's unit) of the floor a row is compared with."""
    if mode == "memory" or not floors:
        return None, None
    f1, lc = floors["fsync1"], floors["lockcycle"]
    single, single_lbl = (f1, "write+fsync") if mode == "durable" else (lc, "lock-cycle")
    if key == "enq":
        return single_lbl, single
    if key in ("cycle", "mp"):
        return single_lbl + " ÷3", single / 3
    if key in ("benq", "bdeq", "back"):
        return "1000 writes+fsync", floors["batch1000"]
    if key == "big_enq":
        return ("64 KiB write+fsync", floors["fsync64k"]) if mode == "durable" else \
            ("seq 64 KiB write", floors["seq64k"])
    if key == "big_enq_nf":
        return ("seq 64 KiB write, no fsync", floors["write64k"]) if mode == "relaxed" else (None, None)
    if key == "big_drain":
        return single_lbl + " ÷2 ×64 KiB", single / 2 * BIG / 1e6
    return None, None


def best_peer(row):
    best = None
    for p in PEERS:
        v = row.get(p)
        if isinstance(v, (int, float)) and (best is None or v > best[1]):
            best = (p, v)
    return best


def build_report(args, machine, floors, floor_runs, results, notes, mpinfo, mem, load, elapsed,
                 paired):
    L = []
    L.append("# tarnwick benchmark%s" % (" (--quick)" if args.quick else ""))
    L.append("")
    L.append("Run: %s, %.0f s. `python bench/run.py%s`" %
             (time.strftime("%Y-%m-%d %H:%M:%S"), elapsed, " --quick" if args.quick else ""))
    L.append("")
    L.append("## Machine")
    L.append("")
    L.append("- CPU: %s, %s cores; kernel %s" % (machine["cpu"], machine["cores"], machine["kernel"]))
    L.append("- Bench directory: `%s`, filesystem %s" % (machine["bench_dir"], machine["fs"]))
    L.append("- Python %s, SQLite %s; tarnwick %s" % (machine["python"], machine["sqlite"], machine["tarnwick"]))
    L.append("- Peers: " + ", ".join("%s %s" % kv for kv in machine["peers"].items()))
    L.append("- Load average (1/5/15 min): at start %s, at end %s" %
             tuple("/".join("%.2f" % x for x in l) for l in load))
    L.append("")
    L.append("## Results")
    L.append("")
    L.append("Best of %d repetition(s) per cell (multi-process: best of %d); each timed loop ~%.2f s. "
             "\"n/a\": the library has no such mode or batch call. Ratios are tarnwick's."
             % (args.repeats, args.mp_repeats, args.budget))
    L.append("")
    hdr = ["scenario", "mode", "unit"] + IMPLS + ["floor", "tarnwick ÷ floor", "best peer",
                                                 "tarnwick ÷ best peer"]
    L.append("| " + " | ".join(hdr) + " |")
    L.append("|" + "|".join(["---"] * 3 + ["---:"] * (len(IMPLS) + 1) + ["---:", "---", "---:"]) + "|")
    for mode in MODES:
        for key, label, unit in SCENARIOS:
            row = results.get((key, mode))
            if row is None:
                continue
            flbl, fval = floor_for(key, mode, floors)
            bp = best_peer(row)
            tw = row.get("tarnwick")
            cells = [label, mode, unit]
            for i in IMPLS:
                c = fmt(row.get(i, "—"))
                info = mpinfo.get((mode, i)) if key == "mp" else None
                if info and info["duplicates"] and isinstance(row.get(i), (int, float)):
                    c += " (%d dup)" % info["duplicates"]
                cells.append(c)
            cells.append("%s %s" % (fmt(fval), flbl) if fval is not None else "—")
            cells.append(ratio(tw, fval))
            cells.append(bp[0] if bp else "—")
            cells.append(ratio(tw, bp[1]) if bp else "—")
            L.append("| " + " | ".join(cells) + " |")
    L.append("")
    L.append("Notes:")
    L.append("")
    L.append("- Each queue is opened with its defaults apart from the durability setting. For tarnwick that "
             "includes auto_compact_bytes = 64 MiB: the 64 KiB drain acks a log of %d MiB, so it compacts "
             "(rewrites the live rest, fully synced) whenever the log is at least 64 MiB and less than half "
             "live; with %d MiB the rows above include that rewriting." % (args.big_total >> 20, args.big_total >> 20))
    L.append("- \"dup\" in the multi-process row: messages handed to both consumers without a lease expiring "
             "(persist-queue claims a row with no cross-process guard); see the delivery check below.")
    L.append("- Durable rows ride on the virtual disk's fsync, whose speed drifts by large factors within "
             "seconds on this shared machine; targets 1–4 therefore use the bracketed rounds further down.")
    L.append("- The plain sqlite3 lease queue (bench/sqlite_lease.py) counts as a peer.")
    L.append("- dequeue_batch and ack_batch are timed on a fresh queue holding %d batches of 1000 for every "
             "implementation (filled untimed), so a faster enqueue_batch does not leave a deeper queue "
             "to drain." % args.drain_batches)
    L.append("")
    L.append("## Raw floors (bench/floor.c, same directory)")
    L.append("")
    L.append("| floor | what | value | " + " | ".join("run %d" % (i + 1) for i in range(len(floor_runs))) + " |")
    L.append("|---|---|---:|" + "---:|" * len(floor_runs))
    what = {
        "fsync1": ("write(133 B) + fsync", "ops/s"),
        "write1": ("plain write(133 B)", "ops/s"),
        "batch1000": ("1000 × write(133 B) + one fsync", "batches/s"),
        "seq64k": ("sequential 64 KiB writes, %d MiB + final fsync" % (args.big_total >> 20), "MB/s"),
        "write64k": ("sequential 64 KiB writes, %d MiB, no fsync" % (args.big_total >> 20), "MB/s"),
        "fsync64k": ("write(64 KiB) + fsync", "MB/s"),
        "lockcycle": ("flock; open+read 16 B+close; fstat; write(133 B); unlock", "ops/s"),
        "prealloc": ("for comparison: pwrite(133 B) into already-written blocks + fdatasync", "ops/s"),
    }
    for name, (w, unit) in what.items():
        if name in floors:
            L.append("| %s | %s | %s %s | %s |" % (name, w, fmt(floors[name]), unit,
                                                   " | ".join(fmt(r.get(name)) for r in floor_runs)))
    L.append("")
    if paired:
        L.append("## Bracketed rounds for targets 1–4 and 6")
        L.append("")
        L.append("Each round runs the floor, then tarnwick, then the floor again (each ~%.2f s); "
                 "ratio = tarnwick ÷ mean of the two floor runs." % args.budget)
        L.append("")
        L.append("| target | round | tarnwick | floor (mean of 2) | ratio |")
        L.append("|---|---:|---:|---:|---:|")
        names = {1: "1 durable single ops/s", 2: "2 relaxed enqueue ops/s", 3: "3 durable batch batches/s",
                 4: "4 relaxed 64 KiB MB/s", 6: "6 relaxed 64 KiB, no final flush, MB/s"}
        for k in sorted(paired):
            for i, x in enumerate(paired[k]["rounds"]):
                L.append("| %s | %d | %s | %s | %.2f× |" % (names[k], i + 1, fmt(x["tarnwick"]),
                                                           fmt(x["floor"]), x["tarnwick"] / x["floor"]))
        L.append("")
    L.append("## 2 producers + 2 consumers: delivery check")
    L.append("")
    L.append("| mode | implementation | sent | received | missing | invented | duplicates | errors |")
    L.append("|---|---|---:|---:|---:|---:|---:|---|")
    for (mode, impl), info in sorted(mpinfo.items(), key=lambda kv: (MODES.index(kv[0][0]), IMPLS.index(kv[0][1]))):
        if info:
            L.append("| %s | %s | %d | %d | %d | %d | %d | %s |" % (
                mode, impl, info["sent"], info["received"], info["missing"], info["invented"],
                info["duplicates"], "; ".join(info["errors"])[:80] or "—"))
    L.append("")
    L.append("## How each implementation was set up")
    L.append("")
    for (impl, mode), note in sorted(notes.items(), key=lambda kv: (IMPLS.index(kv[0][0]), MODES.index(kv[0][1]))):
        L.append("- %s, %s: %s" % (impl, mode, note))
    L.append("")
    L.append("## Memory (bench/memory.py)")
    L.append("")
    if mem is None:
        L.append("skipped")
    elif "error" in mem:
        L.append("error: %s" % mem["error"])
    else:
        L.append("- %d live messages of %d B (log %.0f MB), populated in %.1f s" %
                 (mem["messages"], mem["body"], mem["log_bytes"] / 1e6, mem["populate_s"]))
        L.append("- fresh process opening the queue (log in page cache), %d runs: open %s s; "
                 "RSS growth %s bytes (anon %s, file %s)" % (
                     len(mem["runs"]), ", ".join("%.3f" % r["open_s"] for r in mem["runs"]),
                     ", ".join(str(r["rss_delta"]) for r in mem["runs"]),
                     ", ".join(str(r["anon_delta"]) for r in mem["runs"]),
                     ", ".join(str(r["file_delta"]) for r in mem["runs"])))
        L.append("- per message: %.1f B of RSS; best open %.3f s; peak RSS (VmHWM) growth %.1f B/message" % (
            mem["rss_per_msg"], mem["open_s"], mem["hwm_per_msg"]))
    L.append("")
    L.append("## Targets")
    L.append("")
    tl = targets(results, floors, mem, paired)
    L.append("```")
    L.extend(tl)
    L.append("```")
    L.append("")
    return "\n".join(L), tl


def _num(v):
    return v if isinstance(v, (int, float)) else None


def targets(results, floors, mem, paired):
    out = []

    def line(n, measured, need, ok, extra=""):
        out.append("target %d: measured %s (need %s) %s%s" % (n, measured, need,
                                                              "PASS" if ok else "FAIL", extra))

    tw = lambda k, m: _num(results.get((k, m), {}).get("tarnwick"))  # noqa: E731

    def bracket(k):
        p = paired.get(k) if paired else None
        if not p:
            return None, ""
        lst = p["rounds"]
        med_t = sorted(x["tarnwick"] for x in lst)[len(lst) // 2]
        med_f = sorted(x["floor"] for x in lst)[len(lst) // 2]
        return p["median"], ("median of %d bracketed rounds, ratios %s; tarnwick median %s, floor median %s"
                             % (len(lst), "/".join("%.2f" % r for r in p["ratios"]), fmt(med_t), fmt(med_f)))

    # 1
    r, how = bracket(1)
    enq, cyc = tw("enq", "durable"), tw("cycle", "durable")
    if r is not None:
        line(1, "%.2f × write+fsync for durable single-record ops, min(enqueue, 3 × cycle) [%s; "
             "best-of table: enqueue %s ops/s, cycle %s cycles/s = %s records/s vs floor %s]"
             % (r, how, fmt(enq), fmt(cyc), fmt(3 * cyc) if cyc else "—", fmt(floors.get("fsync1"))),
             "≥ 0.90 ×", r >= 0.9)
    else:
        out.append("target 1: not measured")
    # 2
    r, how = bracket(2)
    renq = tw("enq", "relaxed")
    bp = best_peer(results.get(("enq", "relaxed"), {}))
    if r is not None and renq and bp:
        peer_ratio = renq / bp[1]
        ok_a, ok_b = peer_ratio >= 4, r >= 1.3
        row = results.get(("enq", "relaxed"), {})
        pypi = [(p, row[p]) for p in ("persist-queue", "litequeue", "localqueue")
                if isinstance(row.get(p), (int, float))]
        pypi_best = max(pypi, key=lambda x: x[1]) if pypi else None
        line(2, "relaxed enqueue %s ops/s = %.2f × best peer (%s %s ops/s)%s; %.2f × lock-cycle floor [%s]"
             % (fmt(renq), peer_ratio, bp[0], fmt(bp[1]),
                "" if not pypi_best or pypi_best[0] == bp[0] else
                ", %.2f × best PyPI peer (%s %s ops/s)" % (renq / pypi_best[1], pypi_best[0], fmt(pypi_best[1])),
                r, how),
             "≥ 4 × best peer AND ≥ 1.30 × lock-cycle floor", ok_a and ok_b,
             " (peer part %s, floor part %s)" % ("PASS" if ok_a else "FAIL", "PASS" if ok_b else "FAIL"))
    else:
        out.append("target 2: not measured")
    # 3
    r, how = bracket(3)
    if r is not None:
        line(3, "%.2f × (1000 writes + one fsync) for durable enqueue_batch(1000×100 B) [%s; best-of table %s vs %s batches/s]"
             % (r, how, fmt(tw("benq", "durable")), fmt(floors.get("batch1000"))), "≥ 0.80 ×", r >= 0.8)
    else:
        out.append("target 3: not measured")
    # 4
    r, how = bracket(4)
    if r is not None:
        line(4, "%.2f × sequential 64 KiB write bandwidth for relaxed 64 KiB enqueue incl. final flush [%s MB/s; best-of table %s vs %s MB/s]"
             % (r, how, fmt(tw("big_enq", "relaxed")), fmt(floors.get("seq64k"))), "≥ 0.60 ×", r >= 0.6)
    else:
        out.append("target 4: not measured")
    r, how = bracket(6)
    if r is not None:
        line(6, "%.2f × sequential 64 KiB write bandwidth without fsync for relaxed 64 KiB enqueue without final flush [%s; best-of table %s vs %s MB/s]"
             % (r, how, fmt(tw("big_enq_nf", "relaxed")), fmt(floors.get("write64k"))), "≥ 0.70 ×", r >= 0.7)
    else:
        out.append("target 6: not measured")
    # 5
    if mem and "error" not in mem:
        scale = mem["messages"] / 1e6
        need_t = 1.5 * scale
        ok = mem["rss_per_msg"] < 150 and mem["open_s"] < need_t
        extra = "" if mem["messages"] >= 1_000_000 else \
            " (at %d messages; open-time need scaled linearly from 1.5 s at 10^6)" % mem["messages"]
        line(5, "%.1f B RSS/message, open %.3f s with %d live 1 KiB messages" % (mem["rss_per_msg"], mem["open_s"], mem["messages"]),
             "< 150 B/message and < %.3g s" % need_t, ok, extra)
    else:
        out.append("target 5: not measured%s" % ("" if not mem else " (%s)" % mem.get("error")))
    return out


def make_chart(results, floors, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    rows = []
    for mode in MODES:
        for key, label, unit in SCENARIOS:
            row = results.get((key, mode))
            if row is None:
                continue
            if not any(isinstance(v, (int, float)) for v in row.values()):
                continue
            rows.append(("%s [%s] (%s)" % (label, mode, unit), row, floor_for(key, mode, floors)[1]))
    series = IMPLS + ["floor"]
    colors = {"tarnwick": "#d62728", "persist-queue": "#1f77b4", "litequeue": "#2ca02c",
              "localqueue": "#9467bd", "sqlite3-lease": "#ff7f0e", "floor": "#7f7f7f"}
    bar_h = 0.8 / len(series)
    fig, ax = plt.subplots(figsize=(11, 0.62 * len(rows) + 1.5))
    for si, s in enumerate(series):
        ys, xs = [], []
        for ri, (_lbl, row, fval) in enumerate(rows):
            v = fval if s == "floor" else row.get(s)
            if isinstance(v, (int, float)) and v > 0:
                ys.append(ri + (si - (len(series) - 1) / 2) * bar_h)
                xs.append(v)
        ax.barh(ys, xs, height=bar_h, color=colors[s], label=s,
                hatch="//" if s == "floor" else None, edgecolor="white" if s != "floor" else "black",
                linewidth=0.3)
    ax.set_yticks(range(len(rows)))
    ax.set_yticklabels([r[0] for r in rows], fontsize=8)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlabel("rate (log scale; unit per row)")
    ax.grid(axis="x", which="both", alpha=0.3)
    ax.legend(loc="lower right", fontsize=8)
    ax.set_title("tarnwick vs peers vs raw floors (higher is better)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


# --------------------------------------------------------------------------


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="small counts; finishes within ~60 s")
    ap.add_argument("--dir", help="directory to benchmark in (default: a new temp dir under $TMPDIR)")
    ap.add_argument("--impls", default=",".join(IMPLS), help="comma-separated subset of " + ",".join(IMPLS))
    ap.add_argument("--budget", type=float, help="seconds per timed loop")
    ap.add_argument("--repeats", type=int, help="repetitions per cell (best is kept)")
    ap.add_argument("--mp-repeats", type=int)
    ap.add_argument("--mp-messages", type=int, help="messages per producer (durable uses a fifth)")
    ap.add_argument("--memory-messages", type=int, help="messages for bench/memory.py")
    ap.add_argument("--paired-rounds", type=int, help="bracketed rounds for targets 1-4 and 6")
    ap.add_argument("--drain-batches", type=int, help="batches queued before dequeue_batch/ack_batch are timed")
    ap.add_argument("--skip-memory", action="store_true")
    ap.add_argument("--skip-mp", action="store_true")
    ap.add_argument("--out", help="markdown output (default bench/results/results[-quick].md)")
    args = ap.parse_args()
    q = args.quick
    args.budget = args.budget or (0.08 if q else 0.5)
    args.repeats = args.repeats or (1 if q else 2)
    args.paired_rounds = args.paired_rounds or (3 if q else 5)
    args.drain_batches = args.drain_batches or (20 if q else 150)
    args.mp_repeats = args.mp_repeats or (1 if q else 2)
    args.mp_messages = args.mp_messages or (1000 if q else 5000)
    args.memory_messages = args.memory_messages or (100_000 if q else 1_000_000)
    args.big_total = (16 if q else 128) << 20
    big_cap = 1.0 if q else 2.0
    mp_limit = 15.0 if q else 90.0
    suffix = "-quick" if q else ""
    os.makedirs(RESULTS_DIR, exist_ok=True)
    out_md = args.out or os.path.join(RESULTS_DIR, "results%s.md" % suffix)

    t_start = perf_counter()
    load = [os.getloadavg()]
    log("load average at start: %.2f %.2f %.2f" % load[0])
    if load[0][0] > 1.0:
        log("WARNING: the machine is busy (1-min load %.2f > 1.0); numbers will be noisy" % load[0][0])

    try:
        import tarnwick  # noqa: F401
    except ImportError:
        sys.path.insert(0, os.path.join(REPO, "build", "bench"))
        import tarnwick  # noqa: F401

    impls = [i for i in args.impls.split(",") if i]
    for i in impls:
        if i not in OPENERS:
            sys.exit("unknown implementation %r" % i)
    missing = [i for i in impls if not impl_available(i)]
    if missing:
        log("WARNING: not installed: %s (pip install -r bench/requirements.txt); their cells say 'missing'"
            % ", ".join(missing))

    made_dir = args.dir is None
    bench_dir = args.dir or tempfile.mkdtemp(prefix="tarnwick-bench-")
    os.makedirs(bench_dir, exist_ok=True)
    machine = machine_info(bench_dir)
    log("machine: %s" % json.dumps(machine))
    tmp = tempfile.mkdtemp(prefix="tarnwick-floor-")
    gc.disable()
    try:
        exe = build_floor(tmp)
        floor_budget_ms = args.budget * 1000 * (1 if q else 0.7)
        log("floors ...")
        floor_runs = [run_floor(exe, bench_dir, floor_budget_ms, args.repeats, args.big_total)]
        log("floors: %s" % floor_runs[0])

        rng = random.Random(42)
        small_b = ascii_bytes(rng, SMALL)
        big_b = ascii_bytes(rng, BIG)
        big_count = args.big_total // BIG
        results = collections.defaultdict(dict)
        notes = {}
        mpinfo = {}

        def put(key, mode, impl, v):
            row = results[(key, mode)]
            old = row.get(impl)
            if isinstance(v, (int, float)):
                if not isinstance(old, (int, float)) or v > old:
                    row[impl] = v
            elif old is None:
                row[impl] = v

        keys_single = ["enq", "cycle", "benq", "bdeq", "back", "big_enq", "big_enq_nf", "big_drain"]
        cell = 0
        for rep in range(args.repeats):
            for mode in MODES:
                for impl in impls:
                    if impl in missing:
                        for k in keys_single:
                            put(k, mode, impl, "missing")
                        continue
                    for group in ("enq", "cycle", "batch", "drain", "big", "bignf"):
                        if group == "bignf" and mode == "durable":
                            put("big_enq_nf", mode, impl, "n/a")  # every enqueue syncs
                            continue
                        cell += 1
                        d = os.path.join(bench_dir, "c%d" % cell)
                        try:
                            a = OPENERS[impl](mode, d)
                        except Unsupported:
                            for k in keys_single:
                                put(k, mode, impl, "n/a")
                            break
                        notes[(impl, mode)] = a.note
                        native_small = a.native(small_b)
                        try:
                            if group == "enq":
                                put("enq", mode, impl, sc_enqueue(a, native_small, args.budget))
                            elif group == "cycle":
                                put("cycle", mode, impl, sc_cycle(a, native_small, args.budget))
                            elif group == "batch":
                                put("benq", mode, impl, sc_batch_enqueue(a, native_small, args.budget)["benq"])
                            elif group == "drain":
                                for k, v in sc_batch_drain(a, native_small, args.drain_batches,
                                                           2 if q else 3).items():
                                    put(k, mode, impl, v)
                            elif group == "big":
                                for k, v in sc_big(a, a.native(big_b), big_count, big_cap).items():
                                    put(k, mode, impl, v)
                            else:
                                put("big_enq_nf", mode, impl,
                                    sc_big_enqueue(a, a.native(big_b), big_count, big_cap, final_flush=False))
                        except Exception as e:  # noqa: BLE001
                            log("ERROR %s %s %s: %s" % (impl, mode, group, traceback.format_exc()))
                            ks = {"enq": ["enq"], "cycle": ["cycle"], "batch": ["benq"], "drain": ["bdeq", "back"],
                                  "big": ["big_enq", "big_drain"], "bignf": ["big_enq_nf"]}[group]
                            for k in ks:
                                put(k, mode, impl, "error: %s" % type(e).__name__)
                        finally:
                            try:
                                a.close()
                            except Exception:  # noqa: BLE001
                                pass
                            del a
                            gc.collect()
                            shutil.rmtree(d, ignore_errors=True)
                    log("[%4.0f s] rep %d %-8s %-14s %s" % (perf_counter() - t_start, rep + 1, mode, impl, {
                        k: fmt(results[(k, mode)].get(impl)) for k in keys_single}))

        if not args.skip_mp:
            for rep in range(args.mp_repeats):
                for mode in ("durable", "relaxed"):
                    n = args.mp_messages // (5 if mode == "durable" else 1)
                    for impl in impls:
                        if impl in missing:
                            put("mp", mode, impl, "missing")
                            continue
                        d = os.path.join(bench_dir, "mp%d%s%s" % (rep, mode, impl))
                        os.makedirs(d, exist_ok=True)
                        try:
                            v, info = sc_multiprocess(impl, mode, d, n, mp_limit)
                        except Exception as e:  # noqa: BLE001
                            log("ERROR mp %s %s: %s" % (impl, mode, traceback.format_exc()))
                            v, info = "error: %s" % type(e).__name__, None
                        shutil.rmtree(d, ignore_errors=True)
                        put("mp", mode, impl, v)
                        if info and ((mode, impl) not in mpinfo or isinstance(v, float)):
                            mpinfo[(mode, impl)] = info
                        log("[%4.0f s] mp rep %d %-8s %-14s %s %s" % (perf_counter() - t_start, rep + 1, mode,
                                                                     impl, fmt(v), info))
            for impl in impls:
                put("mp", "memory", impl, "n/a")

        paired = None
        if "tarnwick" in impls:
            log("bracketed target rounds ...")
            paired = paired_rounds(exe, bench_dir, args, args.paired_rounds, small_b, big_b)

        if not q:
            log("floors again ...")
            floor_runs.append(run_floor(exe, bench_dir, floor_budget_ms, args.repeats, args.big_total))
        floors = {k: max(r[k] for r in floor_runs) for k in floor_runs[0]}

        mem = None
        if not args.skip_memory:
            log("memory target with %d messages ..." % args.memory_messages)
            mem = run_memory_target(args.memory_messages, bench_dir)

        load.append(os.getloadavg())
        elapsed = perf_counter() - t_start
        md, tl = build_report(args, machine, floors, floor_runs, results, notes, mpinfo, mem, load, elapsed,
                              paired)
        with open(out_md, "w") as f:
            f.write(md)
        with open(os.path.join(RESULTS_DIR, "results%s.json" % suffix), "w") as f:
            json.dump({"machine": machine, "floors": floors, "floor_runs": floor_runs,
                       "results": {"%s|%s" % k: v for k, v in results.items()},
                       "mp": {"%s|%s" % k: v for k, v in mpinfo.items()}, "memory": mem,
                       "load": load, "targets": tl, "paired": paired}, f, indent=1)
        chart = os.path.join(RESULTS_DIR, "chart%s.png" % suffix)
        try:
            make_chart(results, floors, chart)
        except Exception as e:  # noqa: BLE001
            log("chart failed: %s" % e)
        print(md)
        log("wrote %s, %s (%.0f s)" % (out_md, chart, elapsed))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
        if made_dir:
            shutil.rmtree(bench_dir, ignore_errors=True)


if __name__ == "__main__":
    main()
