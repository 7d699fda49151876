"""The multi-process scenario of bench/run.py: 2 producers and 2 consumers on
one queue, timed from a common start to the last consumer's end, with a check
of what was delivered (missing, invented and duplicated messages)."""

import collections
import multiprocessing
import os
import pickle
import time
import traceback

import harness

from .scenarios import SMALL
from .systems import OPENERS


def mp_body(p, i):
    head = b"p%d-%08d-" % (p, i)
    tail = bytes(97 + (p * 131 + i * 7 + k * 13) % 26 for k in range(SMALL - len(head)))
    return head + tail


def _one_process(role, idx, impl, mode, path, n, barrier, produced, counts, total, out_path,
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
            res["end"] = harness.now()
        else:
            got = []
            try_deq, ack, h, body = a.try_deq, a.ack, a.handle, a.body
            barrier.wait()
            t_limit = harness.now() + limit_s
            last_progress = harness.now()
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
                now = harness.now()
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
            res["end"] = harness.now()
            res["got"] = [a.to_bytes(g) if not isinstance(g, bytes) else g for g in got]
        a.close()
    except BaseException:
        res["error"] = traceback.format_exc(limit=3)
    with open(out_path, "wb") as f:
        pickle.dump(res, f)


def run(impl, mode, base, n, limit_s):
    """(messages per second or a failure text, the delivery check)."""
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
        p = ctx.Process(target=_one_process, args=(role, idx, impl, mode, path, n, barrier,
                                                 produced, counts, total, out, limit_s))
        p.start()
        procs.append((p, out))
    try:
        barrier.wait(timeout=60)
    except Exception:
        for p, _ in procs:
            p.kill()
        return "error: workers did not start", None
    t0 = harness.now()
    timed_out = False
    for p, _ in procs:
        p.join(timeout=max(1.0, limit_s + 10 - (harness.now() - t0)))
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
    rate = harness.per_second(total, max(ends) - t0)
    if missing or invented:
        return "lost %d / invented %d" % (missing, invented), info
    return rate, info

