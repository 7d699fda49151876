#!/usr/bin/env python3
"""Process-lock contention: N processes each open one queue directory and run
K durable enqueue -> dequeue -> ack cycles on it (K = 20, or more for few
processes so that every row does at least 2,000 cycles), optionally beside
CPU-bound neighbour processes.

    python bench/lock_contention.py --build build/module
    python bench/lock_contention.py --build OLD_BUILD --build build/module --repeats 3

Each --build is a directory holding a built `tarnwick` module (it is put on
PYTHONPATH of every worker; "DIR::NAME=VALUE,..." also sets environment
variables for it; TARNWICK_BENCH_PREALLOCATE=1 among them makes each row's
queue a preallocated one first, with the tarnwick_queue that DIR imports). The runs of all builds and rows are interleaved, so that
all of them see the same load on a shared machine; a row shows its median run.

Per row: cycles per second of all workers together (from the start signal to
the last worker's end), calls that raised TimeoutError, and the workers' CPU
time (user + system, each worker's own process CPU clock) per wall second
and per cycle. A row is cut after --row-seconds; cycles done by then count.
Finally an idle waiter: one process waits 2 s on a lock held by another, and
its CPU time over the wait is reported.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import harness

WORKER = r"""
import json, sys
import harness, tarnwick
path, cycles, row_seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
print("ready", flush=True)
sys.stdin.read(1)  # the start signal
deadline = harness.now() + row_seconds
done = timeouts = 0
with harness.Stopwatch() as watch:
    q = None
    while q is None and harness.now() < deadline:
        try:
            q = tarnwick.TarnwickCore(path, sync_interval_ms=0)
        except TimeoutError:
            timeouts += 1
    body = b"x" * 100
    stage = 0
    while q is not None and done < cycles and harness.now() < deadline:
        try:
            if stage == 0:
                q.enqueue(body)
                stage = 1
            if stage == 1:
                handle = q.dequeue()[0]
                stage = 2
            q.ack(handle)
            stage = 0
            done += 1
        except TimeoutError:
            timeouts += 1
end = harness.now()
print(json.dumps({"done": done, "timeouts": timeouts, "end": end, "cpu": watch.cpu_seconds}),
      flush=True)
"""

# Opens the queue, then on "go" times one call that waits on a lock held by
# the parent, and reports the CPU it used.
IDLE_WAITER = r"""
import json, sys
import harness, tarnwick
q = tarnwick.TarnwickCore(sys.argv[1], sync_interval_ms=0)
print("ready", flush=True)
sys.stdin.read(1)
with harness.Stopwatch() as watch:
    q.available()
print(json.dumps({"wait": watch.seconds, "cpu": watch.cpu_seconds}), flush=True)
"""

NEIGHBOUR = "while True: pass"


def env_for(build):
    env = dict(os.environ)
    build, _, extra = build.partition("::")
    for kv in filter(None, extra.split(",")):
        k, _, v = kv.partition("=")
        env[k] = v
    # The build first, then the harness the workers time themselves with.
    env["PYTHONPATH"] = os.pathsep.join([os.path.abspath(build), harness.BENCH])
    return env


def spawn(source, args, env):
    return subprocess.Popen([sys.executable, "-c", source, *map(str, args)], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True, env=env)


def run_row(build, n, cycles, neighbours, row_seconds, base):
    path = tempfile.mkdtemp(prefix="lockq-", dir=base)
    env = env_for(build)
    if env.get("TARNWICK_BENCH_PREALLOCATE") == "1":
        subprocess.run([sys.executable, "-c", "import sys; from tarnwick_queue import Queue; "
                        "Queue(sys.argv[1], preallocate=True).close()", path], env=env, check=True)
    hogs = [subprocess.Popen([sys.executable, "-c", NEIGHBOUR]) for _ in range(neighbours)]
    workers = []
    try:
        for _ in range(n):
            workers.append(spawn(WORKER, [path, cycles, row_seconds], env))
        for w in workers:
            if w.stdout.readline().strip() != "ready":
                raise RuntimeError("a worker did not start")
        t0 = harness.now()
        for w in workers:
            w.stdin.write("g")
            w.stdin.flush()
        results = []
        for w in workers:
            try:
                out, _ = w.communicate(timeout=max(1.0, t0 + row_seconds + 40 - harness.now()))
                results.append(json.loads(out.strip().splitlines()[-1]))
            except (subprocess.TimeoutExpired, ValueError, IndexError):
                w.kill()
                w.wait()
                results.append({"done": 0, "timeouts": 0, "end": harness.now(), "cpu": 0.0,
                                "killed": True})
    finally:
        for h in hogs:
            h.kill()
            h.wait()
        for w in workers:
            if w.poll() is None:
                w.kill()
                w.wait()
    wall = max(r["end"] for r in results) - t0
    done = sum(r["done"] for r in results)
    cpu = sum(r["cpu"] for r in results)
    return {"n": n, "neighbours": neighbours, "cycles": done, "wanted": n * cycles,
            "timeouts": sum(r["timeouts"] for r in results),
            "killed": sum(1 for r in results if r.get("killed")), "wall": wall,
            "rate": harness.per_second(done, wall), "cpu": cpu,
            "cpu_per_s": harness.per_second(cpu, wall),
            "cpu_ms_per_cycle": 1000 * cpu / done if done else float("nan")}


def median_row(runs):
    """The run of median rate (the upper one of an even count), with the
    time-outs and kills of all runs added up."""
    runs = sorted(runs, key=lambda r: r["rate"])
    row = dict(runs[len(runs) // 2])
    row["timeouts"] = sum(r["timeouts"] for r in runs)
    row["killed"] = sum(r["killed"] for r in runs)
    row["rates"] = [r["rate"] for r in runs]
    return row


def idle_waiter(build, base, hold_s=2.0):
    import fcntl
    path = tempfile.mkdtemp(prefix="lockidle-", dir=base)
    w = spawn(IDLE_WAITER, [path], env_for(build))
    try:
        if w.stdout.readline().strip() != "ready":
            raise RuntimeError("the waiter did not start")
        fd = os.open(os.path.join(path, ".proc_lock"), os.O_RDWR)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            w.stdin.write("g")
            w.stdin.flush()
            time.sleep(hold_s)
            fcntl.flock(fd, fcntl.LOCK_UN)
        finally:
            os.close(fd)
        out, _ = w.communicate(timeout=60)
        return json.loads(out.strip().splitlines()[-1])
    finally:
        if w.poll() is None:
            w.kill()
            w.wait()


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", action="append", required=True,
                    help="directory with a built tarnwick module (repeatable)")
    ap.add_argument("--label", action="append", help="name of each --build in the table")
    ap.add_argument("--n", default="1,8,32,100", help="process counts")
    ap.add_argument("--cycles", type=int, default=20, help="least cycles per process")
    ap.add_argument("--total", type=int, default=2000,
                    help="least cycles per row: few processes run more cycles each")
    ap.add_argument("--neighbours", default="0,2", help="CPU-bound neighbour counts")
    ap.add_argument("--row-seconds", type=float, default=30.0, help="cut a row after this")
    ap.add_argument("--repeats", type=int, default=1,
                    help="runs per row (interleaved across builds); the median rate is shown")
    ap.add_argument("--dir", help="where the queues go (default: a temp dir)")
    ap.add_argument("--json", help="also write the rows here")
    args = ap.parse_args()
    labels = args.label or [os.path.basename(os.path.normpath(b)) for b in args.build]
    base = tempfile.mkdtemp(prefix="lockbench-", dir=args.dir)
    counts = [int(x) for x in args.n.split(",")]
    cells = [(nb, n) for nb in (int(x) for x in args.neighbours.split(",")) for n in counts]

    def one_run(build, label, neighbours, n):
        def measure():
            cycles = max(args.cycles, -(-args.total // n))
            r = run_row(build, n, cycles, neighbours, args.row_seconds, base)
            r["build"] = label
            harness.progress("%-8s N=%-3d neighbours=%d  %8.1f cycles/s  %d/%d cycles  "
                             "%d TimeoutError  %d killed  wall %.1f s  CPU %.2f s/s  "
                             "%.2f ms/cycle" % (
                                 label, n, neighbours, r["rate"], r["cycles"], r["wanted"],
                                 r["timeouts"], r["killed"], r["wall"], r["cpu_per_s"],
                                 r["cpu_ms_per_cycle"]))
            return r
        return measure

    # Each round runs every row of every build: the disk's speed here drifts
    # from minute to minute, so every row gets runs from early and late in
    # the benchmark.
    runs = harness.rounds([((nb, n, label), one_run(build, label, nb, n)) for nb, n in cells
                           for build, label in zip(args.build, labels)], args.repeats)
    rows = [median_row(runs[(nb, n, label)]) for nb, n in cells for label in labels]
    idle = {}
    for build, label in zip(args.build, labels):
        idle[label] = idle_waiter(build, base)
    print()
    print("\n".join(harness.table(
        ["build", "neighbours", "N", "cycles/s", "all runs", "cycles done",
         "TimeoutError (all runs)", "wall s", "worker CPU s/s", "CPU ms/cycle"],
        [[r["build"], r["neighbours"], r["n"], "%.1f" % r["rate"],
          " ".join("%.0f" % x for x in r["rates"]), "%d/%d" % (r["cycles"], r["wanted"]),
          r["timeouts"], "%.1f" % r["wall"], "%.2f" % r["cpu_per_s"],
          "%.2f" % r["cpu_ms_per_cycle"]] for r in rows])))
    print()
    for label in labels:
        alone = [r for r in rows if r["build"] == label and r["n"] == 1]
        busy = [r for r in rows if r["build"] == label and r["n"] == max(x["n"] for x in rows)]
        for a in alone:
            for b in busy:
                if b["neighbours"] >= a["neighbours"] and b["neighbours"] > 0:
                    print("%s: N=%d with %d neighbours / N=1 with %d neighbours: %.2fx" % (
                        label, b["n"], b["neighbours"], a["neighbours"],
                        harness.ratio(b["rate"], a["rate"]) or 0.0))
        w = idle[label]
        print("%s: idle waiter: waited %.2f s, CPU %.3f s (%.1f%% of a core)" % (
            label, w["wait"], w["cpu"], 100 * w["cpu"] / w["wait"]))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"rows": rows, "idle": idle}, f, indent=1)
    shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
