#!/usr/bin/env python3
"""tarnwick benchmark: tarnwick beside PyPI queue peers, a plain sqlite3 lease
queue and raw I/O floors, all measured in one run on one directory.

    pip install -r bench/requirements.txt        # peers + matplotlib
    PYTHONPATH=build/bench python bench/run.py            # full run, a few minutes
    PYTHONPATH=build/bench python bench/run.py --quick    # < 60 s

Writes bench/results/scratch/results.md (results-quick.md with --quick) and
chart.png (chart-quick.png) beside it, and results.json (results-quick.json)
in bench/results/scratch/. `--out bench/results/results.md` refreshes the
committed report and chart.

The parts live in bench/comparison/: the compared queues (systems), the
scenarios, the multi-process scenario, the floors, the bracketed rounds, the
table's cells, the machine record, the report, the targets and the chart.
"""

import argparse
import gc
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile

import harness
from comparison import bracketed, chart, floors, grid, machine, report
from comparison.scenarios import BIG, SMALL, ascii_bytes
from comparison.systems import IMPLS, OPENERS, impl_available


def run_memory_target(messages, bench_dir):
    cmd = [sys.executable, os.path.join(harness.BENCH, "memory.py"), "--messages", str(messages),
           "--dir", bench_dir, "--json"]
    p = subprocess.run(cmd, capture_output=True, text=True)
    sys.stderr.write(p.stderr)
    if p.returncode != 0:
        return {"error": (p.stderr.strip().splitlines() or ["memory.py failed"])[-1]}
    return json.loads(p.stdout.strip().splitlines()[-1])


def options():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
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
    ap.add_argument("--out", help="markdown output (default bench/results/scratch/results[-quick].md)")
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
    args.big_cap = 1.0 if q else 2.0
    args.mp_limit = 15.0 if q else 90.0
    return args


def main():
    args = options()
    q = args.quick
    suffix = "-quick" if q else ""
    out_md = harness.output("results%s.md" % suffix, args.out)
    out_chart = os.path.join(os.path.dirname(os.path.abspath(out_md)), "chart%s.png" % suffix)
    out_json = harness.output("results%s.json" % suffix)

    t_start = harness.now()
    load = [os.getloadavg()]
    harness.progress("load average at start: %.2f %.2f %.2f" % load[0])
    if load[0][0] > 1.0:
        harness.progress("WARNING: the machine is busy (1-min load %.2f > 1.0); "
                         "numbers will be noisy" % load[0][0])

    try:
        import tarnwick  # noqa: F401
    except ImportError:
        sys.path.insert(0, os.path.join(harness.REPO, "build", "bench"))
        import tarnwick  # noqa: F401

    impls = [i for i in args.impls.split(",") if i]
    for i in impls:
        if i not in OPENERS:
            sys.exit("unknown implementation %r" % i)
    missing = [i for i in impls if not impl_available(i)]
    if missing:
        harness.progress("WARNING: not installed: %s (pip install -r bench/requirements.txt); "
                         "their cells say 'missing'" % ", ".join(missing))

    made_dir = args.dir is None
    bench_dir = args.dir or tempfile.mkdtemp(prefix="tarnwick-bench-")
    os.makedirs(bench_dir, exist_ok=True)
    machine_record = machine.describe(bench_dir)
    harness.progress("machine: %s" % json.dumps(machine_record))
    tmp = tempfile.mkdtemp(prefix="tarnwick-floor-")
    gc.disable()
    try:
        exe = floors.build(tmp)
        floor_budget_ms = args.budget * 1000 * (1 if q else 0.7)
        harness.progress("floors ...")
        floor_runs = [floors.run(exe, bench_dir, floor_budget_ms, args.repeats, args.big_total)]
        harness.progress("floors: %s" % floor_runs[0])

        rng = random.Random(42)
        small_b = ascii_bytes(rng, SMALL)
        big_b = ascii_bytes(rng, BIG)
        cells = grid.Cells()
        grid.single_process(cells, impls, missing, args, bench_dir, small_b, big_b, t_start)
        if not args.skip_mp:
            grid.multi_process(cells, impls, missing, args, bench_dir, t_start)

        paired = None
        if "tarnwick" in impls:
            harness.progress("bracketed target rounds ...")
            paired = bracketed.run(exe, bench_dir, args, args.paired_rounds, small_b, big_b)

        if not q:
            harness.progress("floors again ...")
            floor_runs.append(floors.run(exe, bench_dir, floor_budget_ms, args.repeats,
                                         args.big_total))
        best_floors = {k: max(r[k] for r in floor_runs) for k in floor_runs[0]}

        mem = None
        if not args.skip_memory:
            harness.progress("memory target with %d messages ..." % args.memory_messages)
            mem = run_memory_target(args.memory_messages, bench_dir)

        load.append(os.getloadavg())
        elapsed = harness.now() - t_start
        md, tl = report.build_report(args, machine_record, best_floors, floor_runs, cells.results,
                                     cells.notes, cells.mpinfo, mem, load, elapsed, paired)
        with open(out_md, "w") as f:
            f.write(md)
        with open(out_json, "w") as f:
            json.dump({"machine": machine_record, "floors": best_floors, "floor_runs": floor_runs,
                       "results": {"%s|%s" % k: v for k, v in cells.results.items()},
                       "mp": {"%s|%s" % k: v for k, v in cells.mpinfo.items()}, "memory": mem,
                       "load": load, "targets": tl, "paired": paired}, f, indent=1)
        try:
            chart.draw(cells.results, best_floors, out_chart)
        except Exception as e:  # noqa: BLE001
            harness.progress("chart failed: %s" % e)
        print(md)
        harness.progress("wrote %s, %s, %s (%.0f s)" % (out_md, out_chart, out_json, elapsed))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
        if made_dir:
            shutil.rmtree(bench_dir, ignore_errors=True)


if __name__ == "__main__":
    main()
