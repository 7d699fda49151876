#!/usr/bin/env python3
"""Relaxed single enqueue (100 B, no sync during the run) of two or more builds
of the module, measured in one run: each build runs in its own interpreter,
the builds take turns, and the median of the rounds is reported.

    python bench/relaxed_enqueue_ab.py --build OLD_BUILD --build build/module
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile

ONE_ROUND = r"""
import sys, time
from itertools import repeat
import tarnwick
q = tarnwick.TarnwickCore(sys.argv[1], sync_interval_ms=10**9)
enq, body, seconds = q.enqueue, b"x" * 100, float(sys.argv[2])
for _ in range(1000):
    enq(body)
n, t0, c0 = 0, time.perf_counter(), time.process_time()
while time.perf_counter() - t0 < seconds:
    for _ in repeat(None, 1000):
        enq(body)
    n += 1000
print(n / (time.perf_counter() - t0), n / (time.process_time() - c0))
"""


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", action="append", required=True, help="module directory (repeatable)")
    ap.add_argument("--label", action="append")
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--seconds", type=float, default=1.0, help="timed loop per round")
    args = ap.parse_args()
    labels = args.label or [os.path.basename(os.path.normpath(b)) for b in args.build]
    rates = {label: [] for label in labels}
    cpu_rates = {label: [] for label in labels}
    with tempfile.TemporaryDirectory(prefix="relaxed-ab-") as base:
        for r in range(args.rounds):
            for build, label in zip(args.build, labels):
                env = dict(os.environ, PYTHONPATH=os.path.abspath(build))
                path = os.path.join(base, "%s-%d" % (label, r))
                out = subprocess.run([sys.executable, "-c", ONE_ROUND, path, str(args.seconds)],
                                     env=env, capture_output=True, text=True, check=True).stdout
                wall_rate, cpu_rate = map(float, out.split())
                rates[label].append(wall_rate)
                cpu_rates[label].append(cpu_rate)
    # Ops per second of the process's own CPU time too: on a shared machine
    # it moves less with what the neighbours do than the wall-clock rate.
    first = statistics.median(rates[labels[0]])
    first_cpu = statistics.median(cpu_rates[labels[0]])
    print("| build | relaxed enqueue 100 B, ops/s (median of %d) | vs %s | ops per CPU s | vs %s "
          "| rounds (ops/s) |" % (args.rounds, labels[0], labels[0]))
    print("|---|---|---|---|---|---|")
    for label in labels:
        med = statistics.median(rates[label])
        cpu = statistics.median(cpu_rates[label])
        print("| %s | %s | %.2fx | %s | %.2fx | %s |" % (
            label, "{:,.0f}".format(med), med / first, "{:,.0f}".format(cpu), cpu / first_cpu,
            " ".join("%.0fk" % (x / 1000) for x in rates[label])))

if __name__ == "__main__":
    main()
