#!/usr/bin/env python3
"""Tight loops to profile under perf / valgrind (see bench/results/profile.md).

    python bench/profile_loops.py relaxed-enqueue 200000 [DIR]
    python bench/profile_loops.py memory-cycle 1000000
    python bench/profile_loops.py relaxed-big 4000 [DIR]
    python bench/profile_loops.py durable-batch 1000 [DIR]
    python bench/profile_loops.py memory-batch-cycle 2000
    python bench/profile_loops.py relaxed-batch-cycle 500 [DIR]

Prints the rate, so a run also tells the cost per call under the profiler.
"""

import os
import shutil
import sys
import tempfile

import harness

try:
    import tarnwick
except ImportError:
    sys.path.insert(0, os.path.join(harness.REPO, "build", "bench"))
    import tarnwick

RELAXED_MS = 1_000_000_000


def loop(what, n, base):
    """(the queue, the loop of n calls to time) for a loop's name."""
    body = b"x" * 100
    if what == "relaxed-enqueue":
        q = tarnwick.TarnwickCore(os.path.join(base, "q"), sync_interval_ms=RELAXED_MS)
        enq = q.enqueue

        def run():
            for _ in range(n):
                enq(body)
    elif what == "memory-cycle":
        q = tarnwick.TarnwickCore(":memory:")
        enq, deq, ack = q.enqueue, q.dequeue, q.ack

        def run():
            for _ in range(n):
                enq(body)
                ack(deq()[0])
    elif what == "relaxed-big":
        big = b"y" * 65536
        q = tarnwick.TarnwickCore(os.path.join(base, "q"), sync_interval_ms=RELAXED_MS)
        enq = q.enqueue

        def run():
            for _ in range(n):
                enq(big)
            q.flush()
    elif what == "durable-batch":
        q = tarnwick.TarnwickCore(os.path.join(base, "q"))
        bodies = [body] * 1000
        eb = q.enqueue_batch

        def run():
            for _ in range(n):
                eb(bodies)
    elif what in ("memory-batch-cycle", "relaxed-batch-cycle"):
        # enqueue_batch, dequeue_batch and ack_batch of 1000, n times
        where = ":memory:" if what.startswith("memory") else os.path.join(base, "q")
        q = tarnwick.TarnwickCore(where, sync_interval_ms=RELAXED_MS)
        bodies = [body] * 1000

        def run():
            for _ in range(n):
                q.enqueue_batch(bodies)
                q.ack_batch([m[0] for m in q.dequeue_batch(1000)])
    else:
        sys.exit("unknown loop %r" % what)
    return q, run


def main():
    what, n = sys.argv[1], int(sys.argv[2])
    base = tempfile.mkdtemp(prefix="tarnwick-prof-", dir=sys.argv[3] if len(sys.argv) > 3 else None)
    try:
        q, run = loop(what, n, base)
        with harness.Stopwatch() as watch:
            run()
        dt = watch.seconds
        print("%s: %d calls in %.3f s = %.0f /s, %.3f us/call" % (what, n, dt, n / dt, dt / n * 1e6))
        del q, run
    finally:
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
