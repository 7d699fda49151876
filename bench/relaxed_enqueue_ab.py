#!/usr/bin/env python3
"""Relaxed single enqueue (100 B, no sync during the run) of two or more builds
of the module, measured in one run: each build runs in its own interpreter,
the builds take turns, and the median of the rounds is reported.

    python bench/relaxed_enqueue_ab.py --build OLD_BUILD --build build/module
"""

import argparse
import functools
import os
import subprocess
import sys
import tempfile

import harness

ONE_ROUND = r"""
import sys
import harness, tarnwick
q = tarnwick.TarnwickCore(sys.argv[1], sync_interval_ms=10**9)
enq, body, seconds = q.enqueue, b"x" * 100, float(sys.argv[2])
for _ in range(1000):
    enq(body)
timed = harness.run_for(enq, body, seconds)
print(timed.rate, timed.cpu_rate)
"""


def one_round(build, base, seconds):
    """(ops per wall second, ops per CPU second) of one interpreter on a new queue."""
    # The build first, then the harness the round times itself with.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.abspath(build), harness.BENCH]))
    path = os.path.join(tempfile.mkdtemp(dir=base), "q")
    out = subprocess.run([sys.executable, "-c", ONE_ROUND, path, str(seconds)],
                         env=env, capture_output=True, text=True, check=True).stdout
    wall_rate, cpu_rate = map(float, out.split())
    return wall_rate, cpu_rate


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", action="append", required=True, help="module directory (repeatable)")
    ap.add_argument("--label", action="append")
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--seconds", type=float, default=1.0, help="timed loop per round")
    args = ap.parse_args()
    labels = args.label or [os.path.basename(os.path.normpath(b)) for b in args.build]
    with tempfile.TemporaryDirectory(prefix="relaxed-ab-") as base:
        got = harness.rounds([(label, functools.partial(one_round, build, base, args.seconds))
                              for build, label in zip(args.build, labels)], args.rounds)
    rates = {label: [wall for wall, _ in got[label]] for label in labels}
    cpu_rates = {label: [cpu for _, cpu in got[label]] for label in labels}
    # Ops per second of the process's own CPU time too: on a shared machine
    # it moves less with what the neighbours do than the wall-clock rate.
    first = harness.median(rates[labels[0]])
    first_cpu = harness.median(cpu_rates[labels[0]])
    rows = []
    for label in labels:
        med = harness.median(rates[label])
        cpu = harness.median(cpu_rates[label])
        rows.append((label, "{:,.0f}".format(med), "%.2fx" % (med / first), "{:,.0f}".format(cpu),
                     "%.2fx" % (cpu / first_cpu),
                     " ".join("%.0fk" % (x / 1000) for x in rates[label])))
    print("\n".join(harness.table(
        ["build", "relaxed enqueue 100 B, ops/s (median of %d)" % args.rounds,
         "vs %s" % labels[0], "ops per CPU s", "vs %s" % labels[0], "rounds (ops/s)"], rows)))


if __name__ == "__main__":
    main()
