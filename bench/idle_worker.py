#!/usr/bin/env python3
"""What an idle worker costs: `tarnwick worker` on an empty queue, the
package at a git ref (before) beside the work tree's (after), in one run.

    PYTHONPATH=python:build/dev python bench/idle_worker.py [--before main] [--postgres [--dsn DSN]]

The worker runs as one process, as a Supervisor starts it (`--child`). For
each, after SETTLE seconds of start-up: the CPU time of all the worker's
threads over WINDOW seconds (from /proc/PID/task/*/schedstat, in ns), then
`strace -f -c` attached for WINDOW seconds: its system calls, flock among
them. Needs Linux and strace. Replaces the "Idle worker" section of
bench/results/worker.md. With --postgres the worker waits on a PostgresQueue
(on a server started for the run, or on --dsn's) instead, and the section
replaced is "Idle worker on PostgreSQL".
"""

import argparse
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import harness
import tarnwick_queue

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
RESULTS = os.path.join(HERE, "results", "worker.md")
HEADING = "## Idle worker"
SETTLE = 2.0
WINDOW = 10.0


def package_tree(ref, into):
    """python/tarnwick_queue at `ref` (None: the work tree), with the native
    module of the installed package."""
    target = os.path.join(into, "tarnwick_queue")
    if ref is None:
        shutil.copytree(os.path.join(ROOT, "python", "tarnwick_queue"), target)
    else:
        archive = subprocess.run(["git", "-C", ROOT, "archive", ref, "python/tarnwick_queue"],
                                 check=True, capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", into, "--strip-components=1"], input=archive,
                       check=True)
    installed = os.path.dirname(tarnwick_queue.__file__)
    for native in glob.glob(os.path.join(installed, "_native*.so")):
        shutil.copy(native, target)
    return into


def cpu_ns(pid):
    total = 0
    for path in glob.glob(f"/proc/{pid}/task/*/schedstat"):
        try:
            with open(path) as f:
                total += int(f.read().split()[0])
        except (OSError, IndexError, ValueError):
            pass  # a thread that ended meanwhile
    return total


def syscalls(pid):
    """{name: calls} of the process's threads over WINDOW seconds."""
    tracer = subprocess.Popen(["strace", "-f", "-c", "-p", str(pid)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    time.sleep(WINDOW)
    tracer.send_signal(signal.SIGINT)
    _, report = tracer.communicate()
    counts = {}
    for line in report.splitlines():
        fields = line.split()
        if len(fields) >= 5 and re.fullmatch(r"[\d.]+", fields[0]) and fields[-1] != "total":
            counts[fields[-1]] = int(fields[3])
    return counts


def measure(pythonpath, queue_dir, dsn=None):
    env = dict(os.environ, PYTHONPATH=pythonpath)
    where = ["--queue", queue_dir] if dsn is None else ["--queue", "idle-worker", "--dsn", dsn]
    worker = subprocess.Popen([sys.executable, "-m", "tarnwick_queue", "worker", "builtins:print",
                               "--child", *where], env=env)
    try:
        time.sleep(SETTLE)
        if worker.poll() is not None:
            raise SystemExit(f"the worker exited with {worker.returncode}")
        cpu = harness.counter_rate(lambda: cpu_ns(worker.pid), WINDOW)
        calls = syscalls(worker.pid)
        worker.send_signal(signal.SIGTERM)
        stopped = worker.wait(timeout=30)
    finally:
        if worker.poll() is None:
            worker.kill()
            worker.wait()
    return cpu, calls, stopped


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--before", default="main", help="git ref of the 'before' package")
    parser.add_argument("--postgres", action="store_true",
                        help="a worker on a PostgresQueue instead of a directory")
    parser.add_argument("--dsn", help="with --postgres: this server, not one started for the run")
    args = parser.parse_args()
    heading, dsn, server = HEADING, args.dsn, None
    if args.postgres:
        heading = HEADING + " on PostgreSQL"
        if dsn is None:
            sys.path.insert(0, os.path.join(ROOT, "tests", "face"))
            from pg_server import PgServer
            server = PgServer(durable=True).start()
            dsn = server.dsn
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for label, ref in ((f"before ({args.before})", args.before), ("after", None)):
            tree = package_tree(ref, tempfile.mkdtemp(dir=tmp))
            queue_dir = tempfile.mkdtemp(dir=tmp)
            cpu, calls, status = measure(tree, queue_dir, dsn if args.postgres else None)
            rows.append((label, calls.get("flock", 0), sum(calls.values()), cpu / 1e6,
                         ", ".join(f"{n} {c}" for n, c in sorted(calls.items(),
                                                                  key=lambda x: -x[1])[:4]),
                         status))
    if server is not None:
        server.stop()
    command = ("`python bench/idle_worker.py --postgres`: `tarnwick worker builtins:print --child "
               "--queue NAME --dsn DSN`" if args.postgres else "`python bench/idle_worker.py`: "
               "`tarnwick worker builtins:print --child --queue DIR`")
    lines = [heading, "",
             f"Run: {time.strftime('%Y-%m-%d %H:%M:%S')}. {command} "
             "(one worker process) on an empty queue; after "
             f"{SETTLE:.0f} s of start-up, the CPU time of all its threads over {WINDOW:.0f} s, "
             f"then `strace -f -c` attached for {WINDOW:.0f} s; then SIGTERM.", "",
             f"| package | flock calls in {WINDOW:.0f} s | system calls in {WINDOW:.0f} s "
             "| CPU per idle second, ms | most frequent calls | exit status after SIGTERM |",
             "|---|---:|---:|---:|---|---:|"]
    for label, flock, total, cpu_ms, top, status in rows:
        lines.append(f"| {label} | {flock} | {total} | {cpu_ms:.3f} | {top or '-'} | {status} |")
    lines += ["", "Target: no flock call and under 0.1 ms of CPU per idle second; the worker "
              "still stops on SIGTERM (exit status 0)."]
    section = "\n".join(lines) + "\n"
    print(section)
    with open(RESULTS) as f:
        text = f.read()
    # The section runs to the next heading of its level.
    start = text.find(heading + "\n")
    end = -1 if start < 0 else text.find("\n## ", start + len(heading))
    rest = "" if end < 0 else text[end:]
    text = (text if start < 0 else text[:start]).rstrip("\n") + "\n\n" + section + rest
    with open(RESULTS, "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
