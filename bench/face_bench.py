#!/usr/bin/env python3
"""The tarnwick_queue face beside the bare TarnwickCore, and how fast a
blocked get wakes up, in one run.

    python bench/face_bench.py [--quick]

Rates are medians of alternating rounds (face, core, face, ...), with the
relaxed setting (no sync on a timer during the run). Wake-up latency is from
a put in another process to get() returning in a blocked consumer process,
with 1 and 8 consumers. Idle CPU is what a consumer blocked in get() burns
per second. Writes bench/results/scratch/face.md (face-quick.md with --quick);
`--out bench/results/face.md` refreshes the committed result.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import textwrap
import time

import harness
from tarnwick import TarnwickCore
from tarnwick_queue import Queue

RELAXED_S = 1_000_000.0
BODY = b"x" * 100


def face_put(path, ops):
    with Queue(path, sync_interval=RELAXED_S) as q:
        put = q.put
        return harness.rate(lambda n: [put(BODY) for _ in range(n)], ops)


def core_enqueue(path, ops):
    q = TarnwickCore(path, sync_interval_ms=int(RELAXED_S * 1000))
    enqueue = q.enqueue
    return harness.rate(lambda n: [enqueue(BODY) for _ in range(n)], ops)


def face_get_ack(path, ops):
    with Queue(path, sync_interval=RELAXED_S) as q:
        q.put_many([BODY] * ops)
        get = q.get_nowait

        def run(n):
            for _ in range(n):
                get().ack()
        return harness.rate(run, ops)


def core_dequeue_ack(path, ops):
    q = TarnwickCore(path, sync_interval_ms=int(RELAXED_S * 1000))
    q.enqueue_batch([BODY] * ops)
    dequeue, ack = q.dequeue, q.ack

    def run(n):
        for _ in range(n):
            ack(dequeue()[0])
    return harness.rate(run, ops)


def paired(face, core, ops, rounds):
    """(median face rate, median core rate, their ratio, the spread of the
    rounds' ratios), face and core alternating, each on a fresh directory."""
    def on_fresh_dir(fn):
        def measure():
            with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_DIR")) as d:
                return fn(d, ops)
        return measure

    got = harness.rounds([("face", on_fresh_dir(face)), ("core", on_fresh_dir(core))], rounds)
    f, c = harness.median(got["face"]), harness.median(got["core"])
    return f, c, f / c, harness.spread(harness.ratios(got["face"], got["core"]))


CONSUMER = textwrap.dedent("""
    import resource, sys, time
    from tarnwick_queue import Empty, Queue
    path, count, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    q = Queue(path, sync_interval=1e6)
    waits = 0
    watch = q.watch()  # a directory queue's one watch object, for every get
    real_wait = watch.wait
    def counting_wait(*args):
        global waits
        waits += 1
        real_wait(*args)
    watch.wait = counting_wait
    latencies = []
    print("ready", flush=True)
    while True:
        try:
            m = q.get(timeout=3)
        except Empty:
            break
        now = time.time()
        if m.body == b"stop":
            m.ack()
            break
        latencies.append(now - float(m.body))
        m.ack()
    with open(out, "w") as f:
        f.write("%d\\n" % waits)
        f.write("\\n".join(repr(x) for x in latencies))
""")


def wakeups(consumers, messages, gap):
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_DIR")) as d:
        path = os.path.join(d, "q")
        Queue(path).close()
        procs = []
        for i in range(consumers):
            p = subprocess.Popen([sys.executable, "-c", CONSUMER, path, str(messages),
                                  os.path.join(d, f"c{i}")], stdout=subprocess.PIPE, text=True)
            assert p.stdout.readline().strip() == "ready"
            procs.append(p)
        time.sleep(0.3)  # every consumer is blocked in get()
        producer = Queue(path, sync_interval=1e6)
        for _ in range(messages):
            producer.put(repr(time.time()).encode())
            time.sleep(gap)
        producer.put_many([b"stop"] * consumers)
        for p in procs:
            p.wait(timeout=60)
        latencies, waits = [], 0
        for i in range(consumers):
            lines = open(os.path.join(d, f"c{i}")).read().split("\n")
            waits += int(lines[0])
            latencies += [float(x) for x in lines[1:] if x]
        latencies.sort()
        p50 = latencies[len(latencies) // 2] * 1000
        p99 = latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))] * 1000
        return p50, p99, waits / messages, len(latencies)


IDLE = textwrap.dedent("""
    import sys
    sys.path.insert(0, sys.argv[3])
    import harness
    from tarnwick_queue import Empty, Queue
    q = Queue(sys.argv[1])
    seconds = float(sys.argv[2])
    with harness.Stopwatch() as watch:
        try:
            q.get(timeout=seconds)
        except Empty:
            pass
    print(watch.cpu_seconds / watch.seconds * 1000)
""")


def idle_cpu(seconds):
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_DIR")) as d:
        out = subprocess.run([sys.executable, "-c", IDLE, d, str(seconds), harness.BENCH],
                             capture_output=True, text=True, check=True).stdout
        return float(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--out", help="markdown output "
                        "(default bench/results/scratch/face[-quick].md)")
    args = parser.parse_args()
    ops, rounds = (20_000, 3) if args.quick else (100_000, 5)
    messages, idle_s = (100, 3.0) if args.quick else (400, 10.0)

    rows = []
    f, c, r, s = paired(face_put, core_enqueue, ops, rounds)
    rows.append(("put vs enqueue, 100 B, relaxed", f"{f:,.0f}/s", f"{c:,.0f}/s", f"{r:.2f}x",
                 f"{s:.0%}", ">= 0.8x"))
    f, c, r, s = paired(face_get_ack, core_dequeue_ack, ops, rounds)
    rows.append(("get+ack vs dequeue+ack, 100 B, relaxed", f"{f:,.0f}/s", f"{c:,.0f}/s",
                 f"{r:.2f}x", f"{s:.0%}", ">= 0.7x"))
    lines = ["# tarnwick_queue face benchmark", "",
             f"Python {sys.version.split()[0]}, {os.cpu_count()} CPUs, "
             f"{'quick' if args.quick else 'full'} run; medians of {rounds} alternating rounds "
             f"of {ops:,} operations; spread: (largest - smallest) / median of the rounds' "
             "ratios.", ""]
    lines += harness.table(["scenario", "face", "core", "ratio", "spread", "target"], rows,
                           "lrrrrl")
    wake = []
    for consumers in (1, 8):
        p50, p99, per_message, got = wakeups(consumers, messages, 0.02)
        wake.append((f"{consumers} blocked consumer(s)", f"{p50:.2f} ms", f"{p99:.2f} ms",
                     f"{per_message:.2f}", got))
    lines += [""] + harness.table(["wake-up, put in another process to get() returning", "p50",
                                   "p99", "wake-ups per message", "messages"], wake, "lrrrr")
    cpu = idle_cpu(idle_s)
    lines += ["", f"Idle blocked consumer: {cpu:.3f} ms of CPU per second over {idle_s:.0f} s "
              "(target: at most 1 ms/s)."]
    text = "\n".join(lines) + "\n"
    print(text)
    with open(harness.output("face-quick.md" if args.quick else "face.md", args.out), "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
