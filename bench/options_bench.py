#!/usr/bin/env python3
"""Puts and get+ack through the local driver, before and after the queue
options, in one run; and with a priority, a key or a group beside plain.

    python bench/options_bench.py [--quick] [--before PYTHON]

"Before" is the build of commit a36e34c (the last without the options),
installed once into a cached environment by tests/compat/old_build.py
(--before names another Python with a tarnwick_queue to compare with).
Each case runs in a fresh process of its Python on a fresh queue directory,
synced on a timer only, so the numbers are the engine's and the driver's
work; each child keeps the best of three fresh queues; rates are per CPU
second of the child (a shared machine's load moves
wall-clock rates by a third from run to run); rounds alternate the cases
and the verdicts are medians.
Writes bench/results/scratch/options.md (options-quick.md with --quick);
`--out bench/results/options.md` refreshes the committed result.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile

import harness

sys.path.insert(0, os.path.join(harness.REPO, "tests", "compat"))
import old_build

BEFORE_COMMIT = "a36e34c"

# One case in a child: `count` puts of 100 bytes, then as many take+ack, on
# the driver (what Queue.put and get call), timed apart.
CHILD = r"""
import json, os, sys, time
from tarnwick_queue import Queue
path, count, option = sys.argv[1], int(sys.argv[2]), sys.argv[3]
body = b"x" * 100
# The keys and groups are made before the clock starts.
keys = ["job-%d" % i for i in range(count)]
groups = ["customer-%d" % (i % 1000) for i in range(count)]
# CPU time of this process (the engine's system calls included): the
# machine's other load moves it far less than the wall clock.
clock = time.process_time
best = {"put": 0.0, "get_ack": 0.0}
# "unkept": plain, keeping no outcomes (acks write what they wrote before outcomes).
keep = dict(keep_acked=0, keep_dead=0, keep_cancelled=0) if option == "unkept" else {}
for attempt in range(3):  # the best of three fresh queues
    q = Queue(os.path.join(path, str(attempt)), sync_interval=1e6, auto_compact_bytes=0, **keep)
    d = q.driver
    start = clock()
    if option == "key":
        for key in keys:
            d.put(body, 0.0, key=key)
    elif option == "group":
        for group in groups:
            d.put(body, 0.0, group=group)
    elif option == "priority":
        for _ in keys:
            d.put(body, 0.0, priority=5)
    else:
        for _ in keys:
            d.put(body, 0.0)
    put_s = clock() - start
    start = clock()
    for _ in keys:
        rows, _ = d.take(1, None)
        d.ack(rows[0][5])
    take_s = clock() - start
    q.close()
    best["put"] = max(best["put"], count / put_s)
    best["get_ack"] = max(best["get_ack"], count / take_s)
print(json.dumps(best))
"""


def run_case(python, option, count):
    with tempfile.TemporaryDirectory() as tmp:
        done = subprocess.run([python, "-c", CHILD, os.path.join(tmp, "q"), str(count), option],
                              capture_output=True, text=True, cwd=tmp)
        if done.returncode != 0:
            raise SystemExit(f"{option} with {python} failed:\n{done.stderr}")
        return json.loads(done.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--before", help="Python with the build to compare with")
    parser.add_argument("--out")
    args = parser.parse_args()
    before = args.before
    if before is None:
        before, why = old_build.python_of(BEFORE_COMMIT)
        if before is None:
            raise SystemExit("no build of " + BEFORE_COMMIT + ": " + why)
    count = 5_000 if args.quick else 20_000
    rounds = 3 if args.quick else 9
    cases = [("before", before, "plain"), ("after", sys.executable, "plain"),
             ("after, no outcomes kept", sys.executable, "unkept"),
             ("priority", sys.executable, "priority"), ("key", sys.executable, "key"),
             ("group", sys.executable, "group")]
    seen = {name: {"put": [], "get_ack": []} for name, _, _ in cases}
    for _ in range(rounds):
        for name, python, option in cases:
            rates = run_case(python, option, count)
            for what in ("put", "get_ack"):
                seen[name][what].append(rates[what])
    median = {name: {what: sorted(v)[len(v) // 2] for what, v in whats.items()}
              for name, whats in seen.items()}
    lines = ["# Queue options: before and after, and each option beside plain", "",
             f"{count} messages of 100 bytes per case, best of 3 queues, median of {rounds} "
             "alternating rounds; "
             f"before = commit {BEFORE_COMMIT}, synced on a timer only; rates per second of the "
             "process's CPU time.", "",
             "| case | put/s | vs plain | get+ack/s | vs plain |", "|---|---|---|---|---|"]
    plain = median["after"]
    for name, _, _ in cases:
        m = median[name]
        lines.append(f"| {name} | {m['put']:.0f} | {m['put'] / plain['put']:.2f} | "
                     f"{m['get_ack']:.0f} | {m['get_ack'] / plain['get_ack']:.2f} |")
    b = median["before"]
    unkept = median["after, no outcomes kept"]
    lines += ["", f"after / before: put {plain['put'] / b['put']:.3f}, "
              f"get+ack {plain['get_ack'] / b['get_ack']:.3f}; keeping no outcomes: put "
              f"{unkept['put'] / b['put']:.3f}, get+ack {unkept['get_ack'] / b['get_ack']:.3f}"]
    text = "\n".join(lines) + "\n"
    out = args.out or os.path.join(harness.SCRATCH, "options-quick.md" if args.quick else
                                   "options.md")
    os.makedirs(os.path.dirname(out), exist_ok=True)
    with open(out, "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    main()
