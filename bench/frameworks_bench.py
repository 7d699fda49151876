"""dramatiq on TarnwickBroker against dramatiq on Redis, in one run.

For each framework and durability level, enqueues N no-op tasks, then
starts 2 worker processes (dramatiq's Worker, or Celery's worker with the
threads pool; 8 threads each) and times how long they take to drain the
queue. Redis is Debian's redis-server on loopback, started
here with an append-only file: `appendfsync always` is compared with
tarnwick's durable setting (every operation synced), `everysec` with
relaxed (`sync_interval=1.0`).

    python bench/frameworks_bench.py [--tasks 10000] [--only dramatiq|celery] [--out bench/results/frameworks.md]
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import harness

LEVELS = [("durable", 0.0, "always"), ("relaxed", 1.0, "everysec")]
WORKERS = 2
THREADS = 8


def make_broker(kind: str, where: str, sync_interval: float):
    if kind == "tarnwick":
        from tarnwick_queue.contrib.dramatiq import TarnwickBroker
        broker = TarnwickBroker(where, sync_interval=sync_interval)
    else:
        from dramatiq.brokers.redis import RedisBroker
        broker = RedisBroker(url=where, socket_timeout=300)
    import dramatiq
    dramatiq.set_broker(broker)

    @dramatiq.actor(queue_name="bench", max_retries=0)
    def noop(i):
        pass

    return broker, noop


def worker_main(kind, where, sync_interval, ready, go, stop):
    from dramatiq import Worker
    broker, _ = make_broker(kind, where, sync_interval)
    broker.emit_after("process_boot")
    worker = Worker(broker, worker_threads=THREADS, worker_timeout=100)
    ready.release()
    go.wait()
    worker.start()
    stop.wait(600)
    worker.stop()
    broker.close()


def drained(kind, broker) -> bool:
    if kind == "tarnwick":
        stats = broker.queues["bench"].stats()
        assert stats["dead_letters"] == 0, "tasks were dead-lettered"
        return stats["ready"] == 0 and stats["in_flight"] == 0
    client = broker.client
    return (client.llen("dramatiq:bench") == 0
            and client.hlen("dramatiq:bench.msgs") == 0)


def run_one(kind, where, sync_interval, tasks) -> float:
    broker, noop = make_broker(kind, where, sync_interval)
    broker.flush_all()
    for i in range(tasks):
        noop.send(i)
    ctx = multiprocessing.get_context("fork")
    ready, go, stop = ctx.Semaphore(0), ctx.Event(), ctx.Event()
    procs = [ctx.Process(target=worker_main, args=(kind, where, sync_interval, ready, go, stop))
             for _ in range(WORKERS)]
    for proc in procs:
        proc.start()
    for _ in procs:
        ready.acquire()
    with harness.Stopwatch() as watch:
        go.set()
        while not drained(kind, broker):
            time.sleep(0.002)
    stop.set()
    for proc in procs:
        proc.join(60)
    broker.close()
    return watch.seconds


def celery_drained(kind, where) -> bool:
    if kind == "tarnwick":
        from tarnwick_queue import Queue
        with Queue(os.path.join(where, "celery")) as queue:
            stats = queue.stats()
        assert stats["dead_letters"] == 0, "tasks were dead-lettered"
        return stats["ready"] == 0 and stats["in_flight"] == 0
    import redis
    client = redis.Redis.from_url(where)
    return client.llen("celery") == 0 and client.hlen("unacked") == 0


def run_celery(kind, where, sync_interval, tasks) -> float:
    """Enqueues `tasks`, starts WORKERS celery workers (thread pools of
    THREADS), and times the drain from the moment every worker is ready."""
    url = f"tarnwick://{where}" if kind == "tarnwick" else where
    env = dict(os.environ, BENCH_BROKER_URL=url, BENCH_SYNC=str(sync_interval))
    env["PYTHONPATH"] = os.pathsep.join([harness.BENCH] + sys.path)
    code = ("import sys, frameworks_celery_app as m; "
            f"[m.noop.delay(i) for i in range({tasks})]")
    subprocess.run([sys.executable, "-c", code], env=env, check=True)
    logs, procs = [], []
    scratch = tempfile.mkdtemp(prefix="tarnwick-celery-logs-")
    for n in range(WORKERS):
        log = os.path.join(scratch, f"worker{n}.log")
        logs.append(log)
        procs.append(subprocess.Popen(
            [sys.executable, "-m", "celery", "-A", "frameworks_celery_app", "worker",
             "--pool=threads", f"--concurrency={THREADS}", "--without-gossip",
             "--without-mingle", "--without-heartbeat", "--loglevel=INFO", "-n", f"w{n}@%h",
             f"--logfile={log}"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    try:
        deadline = time.monotonic() + 120
        while not all(os.path.exists(log) and " ready." in open(log).read() for log in logs):
            assert time.monotonic() < deadline, "celery workers did not start"
            time.sleep(0.005)
        with harness.Stopwatch() as watch:
            while not celery_drained(kind, where):
                time.sleep(0.01)
        return watch.seconds
    finally:
        for proc in procs:
            proc.terminate()
        for proc in procs:
            proc.wait(60)
        shutil.rmtree(scratch, ignore_errors=True)


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_redis(directory: str, appendfsync: str):
    port = free_port()
    proc = subprocess.Popen(
        ["redis-server", "--port", str(port), "--bind", "127.0.0.1", "--dir", directory,
         "--appendonly", "yes", "--appendfsync", appendfsync, "--save", "",
         "--protected-mode", "yes"], stdout=subprocess.DEVNULL)
    url = f"redis://127.0.0.1:{port}/0"
    import redis
    for _ in range(200):
        try:
            redis.Redis.from_url(url).ping()
            return proc, url
        except redis.ConnectionError:
            time.sleep(0.05)
    proc.kill()
    raise RuntimeError("redis-server did not start")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--tasks", type=int, default=10_000)
    parser.add_argument("--out", default=None)
    parser.add_argument("--only", choices=["dramatiq", "celery"], default=None)
    args = parser.parse_args()
    if shutil.which("redis-server") is None:
        sys.exit("redis-server not found: apt-get install redis-server")
    rows = []
    frameworks = [("dramatiq", run_one), ("celery", run_celery)]
    if args.only:
        frameworks = [f for f in frameworks if f[0] == args.only]
    for framework, run in frameworks:
        for level, sync_interval, appendfsync in LEVELS:
            scratch = tempfile.mkdtemp(prefix="tarnwick-fw-bench-", dir=os.environ.get("BENCH_DIR"))
            try:
                ours = run("tarnwick", os.path.join(scratch, "broker"), sync_interval, args.tasks)
                server, url = start_redis(scratch, appendfsync)
                try:
                    theirs = run("redis", url, sync_interval, args.tasks)
                finally:
                    server.terminate()
                    server.wait()
            finally:
                shutil.rmtree(scratch, ignore_errors=True)
            ours = harness.per_second(args.tasks, ours)
            theirs = harness.per_second(args.tasks, theirs)
            rows.append((framework, level, appendfsync, ours, theirs))
            print(f"{framework} {level}: tarnwick {ours:,.0f} tasks/s, "
                  f"redis (appendfsync {appendfsync}) {theirs:,.0f} tasks/s, "
                  f"tarnwick/redis {harness.ratio(ours, theirs):.2f}x", flush=True)
    lines = [
        "# dramatiq and Celery: tarnwick against Redis",
        "",
        f"{args.tasks:,} no-op tasks enqueued first, then drained by {WORKERS} worker processes "
        f"of {THREADS} threads each (dramatiq's Worker; Celery workers with the threads pool, "
        "acks late, timed from when both logged ready); tasks per second of the drain, one run "
        f"({os.cpu_count()} cores, Python {sys.version.split()[0]}, redis-server on loopback "
        "with an append-only file).",
        "",
    ] + harness.table(
        ["framework", "durability", "tarnwick", "redis-server (AOF)", "tarnwick / redis"],
        [(framework, f"{level} vs appendfsync {appendfsync}", f"{ours:,.0f}", f"{theirs:,.0f}",
          f"{harness.ratio(ours, theirs):.2f}x")
         for framework, level, appendfsync, ours, theirs in rows], "llrrr")
    if args.out:
        with open(args.out, "w") as out:
            out.write("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
