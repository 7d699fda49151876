#!/usr/bin/env python3
"""Jobs per second through Worker beside the same jobs through the bare face
(get + ack in a loop), with 1, 2 and 4 processes on no-op handlers, durable
and relaxed, as ratios measured in one run.

    PYTHONPATH=python:build/dev python bench/worker_bench.py [--quick]

Writes bench/results/scratch/worker.md (worker-quick.md with --quick);
`--out bench/results/worker.md` refreshes the committed result (bench/idle_worker.py
adds its section to that file).
"""

import argparse
import functools
import multiprocessing
import os
import platform
import shutil
import sys
import tempfile
import time

import harness
from tarnwick_queue import Empty, Queue, Worker

MODES = {"durable": 0.0, "relaxed": 1e6}  # sync_interval: every operation / never on a timer
PROCESSES = "1,2,4"
STOP = b"stop"
PREALLOCATE = False  # --preallocate: every queue on a preallocated log


def bare(queue, ready, go, done_at):
    """The loop a user writes by hand: get, (handle), ack."""
    ready.set()
    go.wait()
    while True:
        try:
            message = queue.get(timeout=5.0)
        except Empty:
            break
        message.ack()
        if message.body == STOP:
            break
    done_at.value = harness.now()


def worker(queue, ready, go, done_at):
    def handle(message):
        if message.body == STOP:
            w.stop()
    w = Worker(queue, handle)
    ready.set()
    go.wait()
    w.run()
    done_at.value = harness.now()


def consumer(kind, path, sync_interval, ready, go, done_at, cpu):
    with Queue(path, sync_interval=sync_interval) as queue:
        with harness.Stopwatch() as watch:  # CPU of every thread, the heartbeat's too
            (bare if kind == "bare" else worker)(queue, ready, go, done_at)
        cpu.value = watch.cpu_seconds


def one_run(ctx, kind, root, sync_interval, processes, jobs):
    path = tempfile.mkdtemp(dir=root)
    with Queue(path, sync_interval=sync_interval, preallocate=PREALLOCATE) as q:
        for start in range(0, jobs, 1000):
            q.put_many([b"job"] * min(1000, jobs - start))
        q.put_many([STOP] * processes)  # one for each consumer, after every job
        q.flush()
    go = ctx.Event()
    readies = [ctx.Event() for _ in range(processes)]
    ends = [ctx.Value("d", 0.0) for _ in range(processes)]
    cpus = [ctx.Value("d", 0.0) for _ in range(processes)]
    procs = [ctx.Process(target=consumer, args=(kind, path, sync_interval, r, go, e, c))
             for r, e, c in zip(readies, ends, cpus)]
    for p in procs:
        p.start()
    for r in readies:
        r.wait()
    started = harness.now()
    go.set()
    for p in procs:
        p.join()
        assert p.exitcode == 0, f"{kind} consumer failed"
    elapsed = max(e.value for e in ends) - started
    with Queue(path) as q:
        assert q.stats()["total"] == 0, "jobs left behind"
    shutil.rmtree(path)
    return harness.per_second(jobs, elapsed), sum(c.value for c in cpus) / (jobs + processes) * 1e6


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer jobs and repetitions")
    parser.add_argument("--reps", type=int, default=None)
    parser.add_argument("--durable-jobs", type=int, default=None,
                        help="jobs per durable run (default 1000; 300 with --quick)")
    parser.add_argument("--processes", default=PROCESSES,
                        help=f"consumer process counts, comma-separated (default {PROCESSES})")
    parser.add_argument("--preallocate", action="store_true",
                        help="every queue on a preallocated log (Queue(preallocate=True))")
    parser.add_argument("--out", help="markdown output "
                        "(default bench/results/scratch/worker[-quick].md)")
    args = parser.parse_args()
    global PREALLOCATE
    PREALLOCATE = args.preallocate
    reps = args.reps or (1 if args.quick else 3)
    jobs = {"durable": args.durable_jobs or (300 if args.quick else 1000),
            "relaxed": 5000 if args.quick else 30000}
    ctx = multiprocessing.get_context("fork" if sys.platform.startswith("linux") else "spawn")
    root = tempfile.mkdtemp(prefix="tarnwick-worker-bench-")
    load_before = os.getloadavg()
    began = time.time()
    rows = []
    try:
        for mode, sync_interval in MODES.items():
            for processes in [int(n) for n in args.processes.split(",")]:
                # Interleaved, taking turns to go first, so both see the
                # same machine and neither always runs after setup.
                got = harness.rounds(
                    [(kind, functools.partial(one_run, ctx, kind, root, sync_interval, processes,
                                              jobs[mode])) for kind in ("bare", "worker")],
                    reps, turns=True)
                best = {kind: max(rate for rate, _ in runs) for kind, runs in got.items()}
                cpu = {kind: min(us for _, us in runs) for kind, runs in got.items()}
                ratio = best["worker"] / best["bare"]
                rows.append((mode, processes, jobs[mode], best["bare"], best["worker"], ratio,
                             cpu["bare"], cpu["worker"]))
                print(f"{mode:8} {processes} proc: bare {best['bare']:10,.0f} jobs/s  "
                      f"worker {best['worker']:10,.0f} jobs/s  ratio {ratio:.2f}  CPU/job "
                      f"{cpu['bare']:.1f} / {cpu['worker']:.1f} µs", flush=True)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    write_results(args, rows, reps, began, load_before, os.getloadavg())


def write_results(args, rows, reps, began, load_before, load_after):
    out = harness.output("worker-quick.md" if args.quick else "worker.md", args.out)
    lines = [
        "# Worker loop overhead",
        "",
        f"Run: {time.strftime('%Y-%m-%d %H:%M:%S', time.localtime(began))}, "
        f"{time.time() - began:.0f} s. `python bench/worker_bench.py"
        f"{' --quick' if args.quick else ''}{' --preallocate' if args.preallocate else ''}`",
        "",
        f"- Machine: {platform.machine()}, {os.cpu_count()} cores, {platform.system()} "
        f"{platform.release()}; Python {platform.python_version()}",
        "- Load average (1/5/15 min): at start " + "/".join(f"{x:.2f}" for x in load_before)
        + ", at end " + "/".join(f"{x:.2f}" for x in load_after),
        "",
        "Jobs per second, from the start signal to the last consumer done, best of "
        f"{reps} (bare and Worker interleaved, taking turns to go first). "
        "\"bare\": each process loops "
        "`get()` + `ack()`; \"Worker\": each process runs `Worker(queue, handler).run()` "
        "with a no-op handler. Durable: every operation syncs; relaxed: no timed syncs. "
        "CPU per job: the consumers' CPU time (all their threads) over the jobs, least of "
        "the repetitions; it is less disturbed than wall-clock rates by other work on the "
        "machine, and its ratio is the share of the bare loop's rate a Worker keeps when "
        "CPU is what limits both.",
        "",
    ] + harness.table(
        ["mode", "processes", "jobs", "bare face, jobs/s", "Worker, jobs/s", "Worker ÷ bare",
         "CPU/job bare, µs", "CPU/job Worker, µs", "bare ÷ Worker CPU"],
        [(mode, processes, f"{jobs:,}", f"{bare_rate:,.0f}", f"{worker_rate:,.0f}",
          f"{ratio:.2f}×", f"{bare_cpu:.1f}", f"{worker_cpu:.1f}",
          harness.times(bare_cpu, worker_cpu))
         for mode, processes, jobs, bare_rate, worker_rate, ratio, bare_cpu, worker_cpu in rows],
        "lrrrrrrrr")
    lines += ["", "Target: a Worker keeps at least 0.70× of the bare loop's rate.", ""]
    with open(out, "w") as f:
        f.write("\n".join(lines))
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
