"""The cells of bench/run.py's results table: every scenario, mode and queue,
over repetitions, each cell on a fresh queue directory; a cell keeps the best
value of its repetitions."""

import collections
import gc
import os
import shutil
import traceback

import harness

from . import multiprocess, scenarios
from .systems import MODES, OPENERS, Unsupported

SINGLE_KEYS = ["enq", "cycle", "benq", "bdeq", "back", "big_enq", "big_enq_nf", "big_drain"]
# The scenario keys each group of single-process scenarios fills.
GROUP_KEYS = {"enq": ["enq"], "cycle": ["cycle"], "batch": ["benq"], "drain": ["bdeq", "back"],
              "big": ["big_enq", "big_drain"], "bignf": ["big_enq_nf"]}


class Cells:
    """results[(scenario, mode)][queue]: a number, or why there is none."""

    def __init__(self):
        self.results = collections.defaultdict(dict)
        self.notes = {}  # (queue, mode): how it was set up
        self.mpinfo = {}  # (mode, queue): the multi-process delivery check

    def put(self, key, mode, impl, v):
        """A number replaces a smaller number or any text; a text ("n/a",
        "missing", "error: ...") only fills an empty cell."""
        row = self.results[(key, mode)]
        old = row.get(impl)
        if harness.is_number(v):
            if not harness.is_number(old) or v > old:
                row[impl] = v
        elif old is None:
            row[impl] = v

    def fmt_row(self, mode, impl):
        return {k: harness.number(self.results[(k, mode)].get(impl)) for k in SINGLE_KEYS}


def _one_group(cells, group, mode, impl, a, small_b, big_b, args):
    native_small = a.native(small_b)
    if group == "enq":
        cells.put("enq", mode, impl, scenarios.enqueue(a, native_small, args.budget))
    elif group == "cycle":
        cells.put("cycle", mode, impl, scenarios.cycle(a, native_small, args.budget))
    elif group == "batch":
        cells.put("benq", mode, impl,
                  scenarios.batch_enqueue(a, native_small, args.budget)["benq"])
    elif group == "drain":
        for k, v in scenarios.batch_drain(a, native_small, args.drain_batches,
                                          2 if args.quick else 3).items():
            cells.put(k, mode, impl, v)
    elif group == "big":
        for k, v in scenarios.big(a, a.native(big_b), args.big_total // scenarios.BIG,
                                  args.big_cap).items():
            cells.put(k, mode, impl, v)
    else:
        cells.put("big_enq_nf", mode, impl,
                  scenarios.big_enqueue(a, a.native(big_b), args.big_total // scenarios.BIG,
                                        args.big_cap, final_flush=False))


def single_process(cells, impls, missing, args, bench_dir, small_b, big_b, t_start):
    """Every single-process cell, args.repeats times."""
    cell = 0
    for rep in range(args.repeats):
        for mode in MODES:
            for impl in impls:
                if impl in missing:
                    for k in SINGLE_KEYS:
                        cells.put(k, mode, impl, "missing")
                    continue
                for group in GROUP_KEYS:
                    if group == "bignf" and mode == "durable":
                        cells.put("big_enq_nf", mode, impl, "n/a")  # every enqueue syncs
                        continue
                    cell += 1
                    d = os.path.join(bench_dir, "c%d" % cell)
                    try:
                        a = OPENERS[impl](mode, d)
                    except Unsupported:
                        for k in SINGLE_KEYS:
                            cells.put(k, mode, impl, "n/a")
                        break
                    cells.notes[(impl, mode)] = a.note
                    try:
                        _one_group(cells, group, mode, impl, a, small_b, big_b, args)
                    except Exception as e:  # noqa: BLE001
                        harness.progress("ERROR %s %s %s: %s" % (impl, mode, group,
                                                                  traceback.format_exc()))
                        for k in GROUP_KEYS[group]:
                            cells.put(k, mode, impl, "error: %s" % type(e).__name__)
                    finally:
                        try:
                            a.close()
                        except Exception:  # noqa: BLE001
                            pass
                        del a
                        gc.collect()
                        shutil.rmtree(d, ignore_errors=True)
                harness.progress("[%4.0f s] rep %d %-8s %-14s %s" % (
                    harness.now() - t_start, rep + 1, mode, impl, cells.fmt_row(mode, impl)))


def multi_process(cells, impls, missing, args, bench_dir, t_start):
    """The 2 producers + 2 consumers cells, args.mp_repeats times (durable
    with a fifth of the messages); none in memory mode."""
    for rep in range(args.mp_repeats):
        for mode in ("durable", "relaxed"):
            n = args.mp_messages // (5 if mode == "durable" else 1)
            for impl in impls:
                if impl in missing:
                    cells.put("mp", mode, impl, "missing")
                    continue
                d = os.path.join(bench_dir, "mp%d%s%s" % (rep, mode, impl))
                os.makedirs(d, exist_ok=True)
                try:
                    v, info = multiprocess.run(impl, mode, d, n, args.mp_limit)
                except Exception as e:  # noqa: BLE001
                    harness.progress("ERROR mp %s %s: %s" % (impl, mode, traceback.format_exc()))
                    v, info = "error: %s" % type(e).__name__, None
                shutil.rmtree(d, ignore_errors=True)
                cells.put("mp", mode, impl, v)
                if info and ((mode, impl) not in cells.mpinfo or isinstance(v, float)):
                    cells.mpinfo[(mode, impl)] = info
                harness.progress("[%4.0f s] mp rep %d %-8s %-14s %s %s" % (
                    harness.now() - t_start, rep + 1, mode, impl, harness.number(v), info))
    for impl in impls:
        cells.put("mp", "memory", impl, "n/a")
