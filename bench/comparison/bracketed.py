"""The bracketed rounds of bench/run.py: targets 1-4 and 6, each tarnwick
measurement between two runs of its floor.

fsync and write-back speed on a shared virtual disk drift by large factors
within seconds, so each round brackets one tarnwick measurement with two runs
of its floor, and the verdict uses the median over rounds of
tarnwick / mean(bracketing floors)."""

import collections
import functools
import gc
import os
import shutil
import tempfile

import harness

from . import floors, scenarios
from .scenarios import BATCH, BIG
from .systems import open_tarnwick

# The floor each target is held to.
FLOOR_OF = {1: "fsync1", 2: "lockcycle", 3: "batch1000", 4: "seq64k", 6: "write64k"}


def run(exe, bench_dir, args, rounds, small_b, big_b):
    """{target: {"rounds": [{"tarnwick", "floor", ...}], "ratios": sorted, "median"}}."""
    budget_ms = args.budget * 1000
    big_count = args.big_total // BIG
    rows = collections.defaultdict(list)

    def floor(name):
        return floors.run(exe, bench_dir, budget_ms, 1, args.big_total, [name])[name]

    def tw(mode, fn):
        d = tempfile.mkdtemp(prefix="paired-", dir=bench_dir)
        a = open_tarnwick(mode, os.path.join(d, "q"))
        try:
            return fn(a)
        finally:
            a.close()
            gc.collect()
            shutil.rmtree(d, ignore_errors=True)

    parts = {}

    def single():
        # Durable single-record operations: a cycle is three records.
        parts["enq"] = tw("durable", lambda a: scenarios.enqueue(a, small_b, args.budget))
        parts["cycle"] = tw("durable", lambda a: scenarios.cycle(a, small_b, args.budget))
        return min(parts["enq"], 3 * parts["cycle"])

    measures = {
        1: single,
        2: lambda: tw("relaxed", lambda a: scenarios.enqueue(a, small_b, args.budget)),
        3: lambda: tw("durable", lambda a: harness.run_for(
            a.enq_batch, [small_b] * BATCH, args.budget, min_calls=2).rate),
        4: lambda: tw("relaxed", lambda a: scenarios.big_enqueue(a, big_b, big_count, 30.0)),
        6: lambda: tw("relaxed", lambda a: scenarios.big_enqueue(a, big_b, big_count, 30.0,
                                                                 final_flush=False)),
    }
    for r in range(rounds):
        for k, floor_name in FLOOR_OF.items():
            value, mean_floor = harness.bracketed(measures[k], functools.partial(floor, floor_name))
            rows[k].append({"tarnwick": value, **(parts if k == 1 else {}), "floor": mean_floor})
        harness.progress("paired round %d: %s" % (r + 1, {k: v[-1] for k, v in rows.items()}))
    out = {}
    for k, lst in rows.items():
        ratios = sorted(harness.ratios([x["tarnwick"] for x in lst], [x["floor"] for x in lst]))
        out[k] = {"rounds": lst, "ratios": ratios, "median": harness.median(ratios)}
    return out
