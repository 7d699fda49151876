#!/usr/bin/env python3
"""What keeping outcomes costs on the local driver, in one run:

- ack with a 100-byte result against a plain ack (both keep an outcome);
- put and take on a queue that keeps 0 outcomes against one that keeps
  10^6 (--quick: 10^5), each on a copy of the same prepared directory;
- the log bytes one kept outcome adds (an OUTCOME frame against a plain
  ACK), and the memory it costs once replayed.

    python bench/outcomes_bench.py [--quick] [--out bench/results/outcomes.md]

Each measurement runs in a fresh child process; rates are per CPU second of
the child (the machine's other load moves wall-clock rates far more), synced
on a timer only, so the figures are the engine's and the driver's work.
Rounds alternate the cases; verdicts are medians of per-round ratios.
Writes bench/results/scratch/outcomes.md unless --out says otherwise.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile

import harness

HOUR = 3600.0

# Builds a queue directory keeping `kept` acked outcomes (no live message).
PREPARE = r"""
import sys
from tarnwick_queue.driver import Retention
from tarnwick_queue.local import LocalDriver
path, kept, keep = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "keep"
d = LocalDriver(path, lease=3600.0, sync_interval=1e6, max_deliveries=None,
                auto_compact_bytes=0, read_only=False,
                retention=Retention(10 * 365 * 86400.0 if keep else 0.0, 0.0, 0.0))
batch = [b"x" * 100] * 1000
left = kept
while left > 0:
    n = min(left, 1000)
    d.put_many(batch[:n], 0.0)
    rows, _ = d.take(n, None)
    assert not d.ack_many([r[5] for r in rows])
    left -= n
d.close()
"""

# One measurement in a child: prints {name: ops per CPU second, ...}. The
# put/take case opens both queues (`path` and `other`) and alternates runs
# of 1000 operations between them, so that the machine's other load falls
# on both alike.
CHILD = r"""
import json, os, resource, sys, time
from tarnwick_queue.driver import Retention
from tarnwick_queue.local import LocalDriver
case, path, count, other = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
# The cyclic collector's passes would land on whichever run of calls
# crossed its allocation threshold: off, as nothing here makes cycles.
import gc
gc.disable()
clock = time.process_time
body = b"x" * 100
keep = Retention(HOUR, HOUR, HOUR) if case == "ack" else Retention(0.0, 0.0, 0.0)
rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
d = LocalDriver(path, lease=3600.0, sync_interval=1e6, max_deliveries=None,
                auto_compact_bytes=0, read_only=False, retention=keep)
out = {"rss_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss_before}
if case == "ack":
    d.put_many([body] * count, 0.0)
    tokens = [r[5] for r in d.take(count, None)[0]]
    half = len(tokens) // 2
    result = b"r" * 100
    # One kind on one half, then the other kind on the other half; which
    # goes first is the round's (`other` says), so neither always meets the
    # longer log. (Runs of the two kinds interleaved in one process favour
    # whichever runs second by a fifth, a caching effect of the
    # interpreter's, not the engine's.)
    first_given = other == "result first"
    spent = {False: 0.0, True: 0.0}
    for given in (first_given, not first_given):
        chunk = tokens[:half] if given == first_given else tokens[half:]
        start = clock()
        if given:
            for t in chunk:
                d.ack(t, result)
        else:
            for t in chunk:
                d.ack(t)
        spent[given] += clock() - start
    plain, with_result = spent[False], spent[True]
    out["plain_ack"] = half / plain
    out["ack_100b_result"] = half / with_result
else:
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    e = LocalDriver(other, lease=3600.0, sync_interval=1e6, max_deliveries=None,
                    auto_compact_bytes=0, read_only=False, retention=keep)
    out["rss_kib_other"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    spent = {(q, op): 0.0 for q in ("kept", "empty") for op in ("put", "take")}
    for op in ("put", "take"):
        for i in range(0, count, 1000):
            for name, q in ((("kept", d), ("empty", e)) if i % 2000 == 0 else
                            (("empty", e), ("kept", d))):
                start = clock()
                if op == "put":
                    for _ in range(1000):
                        q.put(body, 0.0)
                else:
                    for _ in range(1000):
                        q.take(1, None)
                spent[(name, op)] += clock() - start
    for (name, op), seconds in spent.items():
        out[name + "_" + op] = count / seconds
    e.close()
d.close()
print(json.dumps(out))
""".replace("HOUR", repr(HOUR))


def run(args):
    done = subprocess.run([sys.executable, "-c"] + args, stdout=subprocess.PIPE, check=True,
                          text=True)
    return done.stdout


def measure(case, path, count, other=""):
    return json.loads(run([CHILD, case, path, str(count), other]))


def loadavg():
    try:
        return "%.2f %.2f %.2f" % os.getloadavg()
    except OSError:
        return "unknown"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--out")
    args = parser.parse_args()
    kept = 10**5 if args.quick else 10**6
    count = 20000 if args.quick else 50000
    rounds = 3 if args.quick else 5
    load_before = loadavg()
    work = tempfile.mkdtemp(prefix="tarnwick-outcomes-bench-")
    try:
        empty, full = os.path.join(work, "empty"), os.path.join(work, "kept")
        harness.progress("preparing", kept, "kept outcomes")
        plain = os.path.join(work, "plain")
        run([PREPARE, empty, "0", "keep"])
        run([PREPARE, full, str(kept), "keep"])
        run([PREPARE, plain, str(kept), "plain"])  # the same acks, keeping nothing
        full_log = os.path.getsize(os.path.join(full, "queue.log"))
        plain_log = os.path.getsize(os.path.join(plain, "queue.log"))
        shutil.rmtree(plain)

        def put_take():
            copies = []
            for source in (full, empty):
                copy = os.path.join(work, "copy-" + os.path.basename(source))
                shutil.rmtree(copy, ignore_errors=True)
                shutil.copytree(source, copy)
                copies.append(copy)
            return measure("put_take", copies[0], count, copies[1])

        turn = []

        def fresh_ack():
            copy = os.path.join(work, "ack")
            shutil.rmtree(copy, ignore_errors=True)
            turn.append(len(turn) % 2)
            return measure("ack", copy, count, "result first" if turn[-1] else "plain first")

        values = harness.rounds([("put_take", put_take), ("ack", fresh_ack)], rounds,
                                turns=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    runs, acks = values["put_take"], values["ack"]
    put_ratio = harness.median(harness.ratios([r["kept_put"] for r in runs],
                                              [r["empty_put"] for r in runs]))
    take_ratio = harness.median(harness.ratios([r["kept_take"] for r in runs],
                                               [r["empty_take"] for r in runs]))
    ack_ratio = harness.median(harness.ratios([r["ack_100b_result"] for r in acks],
                                              [r["plain_ack"] for r in acks]))
    med = lambda runs, key: harness.median([r[key] for r in runs])  # noqa: E731
    per_outcome = (full_log - plain_log) / kept
    rss_per_outcome = (med(runs, "rss_kib") - med(runs, "rss_kib_other")) * 1024 / kept
    lines = ["# Outcomes on the local driver", "",
             "`python bench/outcomes_bench.py%s`; %d rounds, %d operations per case, "
             "rates per CPU second of the child (medians), verdicts medians of per-round "
             "ratios; put and take alternate runs of 1000 between the two queues, open in "
             "one child. Load average before: %s; after: %s (2 cores, shared)."
             % (" --quick" if args.quick else "", rounds, count, load_before, loadavg()), "",
             "## Ack with a 100-byte result against a plain ack (both keep the outcome)", ""]
    lines += harness.table(["case", "acks/s"], [
        ["plain ack", harness.number(med(acks, "plain_ack"))],
        ["ack with a 100-byte result", harness.number(med(acks, "ack_100b_result"))],
        ["ratio (target ≥ 0.80)", "%.2f×" % ack_ratio]], "lr")
    lines += ["", "## Put and take with 0 and %s kept outcomes" % format(kept, ","), ""]
    lines += harness.table(["case", "0 kept", "%s kept" % format(kept, ","),
                            "ratio (target ≥ 0.95)"], [
        ["put (100 bytes)", harness.number(med(runs, "empty_put")),
         harness.number(med(runs, "kept_put")), "%.2f×" % put_ratio],
        ["take (one)", harness.number(med(runs, "empty_take")),
         harness.number(med(runs, "kept_take")), "%.2f×" % take_ratio]], "lrrr")
    lines += ["", "## What one kept outcome costs", "",
              "- log: %.1f bytes more per ack than a plain ack writes (the OUTCOME frame, "
              "with its consumer `host:pid`, is that plus the 21 bytes of the ACK it "
              "replaces; a result adds its length, errors theirs)." % per_outcome,
              "- memory once replayed: about %.0f bytes each (what opening the queue added "
              "to the child's peak RSS, less what opening the empty one added): a fixed entry of 40 "
              "bytes and its index; results, errors and headers stay in the log." %
              rss_per_outcome, ""]
    path = harness.output("outcomes-quick.md" if args.quick else "outcomes.md", args.out)
    with open(path, "w") as f:
        f.write("\n".join(lines))
    print("\n".join(lines))
    print("wrote", harness.where(path))


if __name__ == "__main__":
    main()
