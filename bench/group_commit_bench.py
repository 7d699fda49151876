"""Durable throughput across processes, with and without group commit, in one run.

Cases (each for --seconds, default 3; all durable, sync_interval_ms=0):
  put xN     N producer processes, each TarnwickCore(dir).enqueue(100 B) in a loop
  get+ack xN N consumer processes, each dequeue + ack in a loop, on a filled queue
  sqlite     the sqlite3 lease queue (bench/sqlite_lease.py, WAL, synchronous=FULL):
             1 process put, 1 process put+get+ack

  put+get+ack x1  one process: put, then get and ack it, in a loop

"off" opens every queue with TARNWICK_GROUP_COMMIT=0 in the environment, which
makes each durable call sync under the process lock (the behaviour before group
commit); "on" is the default. With --preallocated both have group commit, and
"on" runs on a preallocated log (format 5, made by Queue(preallocate=True)
before the processes start), "off" on the appended one. Rounds alternate the
two so that a drifting disk moves both alike. Results go to
bench/results/group_commit.md with --out.
"""

from __future__ import annotations

import argparse
import multiprocessing as mp
import os
import shutil
import sys
import tempfile
from typing import Any, Callable, Optional

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness
from sqlite_lease import SqliteLeaseQueue

BODY = b"x" * 100


# --against: the "off" runs take the module from this directory instead, with
# group commit on, so that two builds are compared in one run.
AGAINST: Optional[str] = None
# --preallocated: the "on" runs are on a preallocated log, both with group commit.
PREALLOCATED = False


def _tarnwick(directory: str, group_commit: bool) -> Any:
    if group_commit or AGAINST is not None or PREALLOCATED:
        os.environ.pop("TARNWICK_GROUP_COMMIT", None)
    else:
        os.environ["TARNWICK_GROUP_COMMIT"] = "0"
    if AGAINST is not None and not group_commit:
        sys.path.insert(0, AGAINST)
    from tarnwick import TarnwickCore
    return TarnwickCore(directory)


def _put_loop(q: Any, stop_at: float) -> int:
    n = 0
    while harness.now() < stop_at:
        q.enqueue(BODY)
        n += 1
    return n


def _get_ack_loop(q: Any, stop_at: float) -> int:
    n = 0
    while harness.now() < stop_at:
        got = q.dequeue()
        if got is None:
            break
        q.ack(got[0])
        n += 1
    return n


def _put_get_ack_loop(q: Any, stop_at: float) -> int:
    n = 0
    while harness.now() < stop_at:
        q.enqueue(BODY)
        got = q.dequeue()
        q.ack(got[0])
        n += 1
    return n


def _child(kind: str, directory: str, group_commit: bool, start: Any, begin: Any,
           seconds: float, counts: Any) -> None:
    if kind.startswith("sqlite"):
        q: Any = SqliteLeaseQueue(os.path.join(directory, "q.db"), durable=True)
    else:
        q = _tarnwick(directory, group_commit)
    start.wait()  # every child has opened its queue
    stop_at = begin.value + seconds
    while harness.now() < begin.value:
        pass
    loop: Callable[[Any, float], int] = {
        "put": _put_loop, "get+ack": _get_ack_loop, "put+get+ack": _put_get_ack_loop,
        "sqlite put": _put_loop, "sqlite put+get+ack": _put_get_ack_loop,
    }[kind]
    counts.put(loop(q, stop_at))


def _fill(directory: str, count: int) -> None:
    from tarnwick import TarnwickCore
    q = TarnwickCore(directory, sync_interval_ms=3_600_000)
    for _ in range(0, count, 1000):
        q.enqueue_batch([BODY] * 1000)
    del q


def _preallocate(directory: str) -> None:
    from tarnwick_queue import Queue
    Queue(directory, preallocate=True).close()


def run_case(kind: str, processes: int, group_commit: bool, seconds: float) -> float:
    ctx = mp.get_context("fork")
    directory = tempfile.mkdtemp(prefix="gcbench-", dir=os.environ.get("TARNWICK_BENCH_DIR"))
    try:
        if kind == "get+ack":
            # More than any mode takes in the time, so that no consumer runs dry.
            # In a child, so that this process never imports a build.
            filler = ctx.Process(target=_fill, args=(directory, int(seconds * 15_000) * processes))
            filler.start()
            filler.join()
        if PREALLOCATED and group_commit and not kind.startswith("sqlite"):
            converter = ctx.Process(target=_preallocate, args=(directory,))
            converter.start()
            converter.join()
        start = ctx.Barrier(processes + 1)
        begin = ctx.Value("d", 0.0)
        counts = ctx.Queue()
        children = [ctx.Process(target=_child, args=(kind, directory, group_commit, start, begin,
                                                     seconds, counts))
                    for _ in range(processes)]
        for c in children:
            c.start()
        begin.value = harness.now() + 0.2
        start.wait()
        total = sum(counts.get() for _ in children)
        for c in children:
            c.join()
            if c.exitcode != 0:
                raise RuntimeError(f"{kind} x{processes}: a child failed")
        return total / seconds
    finally:
        shutil.rmtree(directory, ignore_errors=True)


def main(argv: Optional[list[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--out", default=None)
    parser.add_argument("--cases", default="put:1,put:8,put:32,get+ack:1,get+ack:8",
                        help="comma-separated KIND:PROCESSES (each needs its x1 too)")
    parser.add_argument("--no-sqlite", action="store_true")
    parser.add_argument("--against", default=None,
                        help="a directory holding another build: its runs are the \"off\" "
                        "ones, with group commit on")
    parser.add_argument("--preallocated", action="store_true",
                        help="\"on\" runs on a preallocated log, \"off\" on an appended one, "
                        "both with group commit on")
    args = parser.parse_args(argv)
    global AGAINST, PREALLOCATED
    AGAINST = args.against
    PREALLOCATED = args.preallocated

    cases = [(c.split(":")[0], int(c.split(":")[1])) for c in args.cases.split(",")]
    load_before = os.getloadavg()
    results: dict[tuple[str, int, str], list[float]] = {}
    for r in range(args.rounds):
        for kind, n in cases:
            for mode in (("off", "on") if r % 2 == 0 else ("on", "off")):
                rate = run_case(kind, n, mode == "on", args.seconds)
                results.setdefault((kind, n, mode), []).append(rate)
                harness.progress(f"round {r + 1}: {kind} x{n} {mode}: {rate:,.0f}/s")
        for kind in () if args.no_sqlite else ("sqlite put", "sqlite put+get+ack"):
            rate = run_case(kind, 1, True, args.seconds)
            results.setdefault((kind, 1, "-"), []).append(rate)
            harness.progress(f"round {r + 1}: {kind}: {rate:,.0f}/s")
    load_after = os.getloadavg()

    med = {key: harness.median(v) for key, v in results.items()}
    rows = []
    for kind, n in cases:
        off, on = med[(kind, n, "off")], med[(kind, n, "on")]
        base = med[(kind, 1, "on")]
        rows.append([f"{kind} x{n}", f"{off:,.0f}", f"{on:,.0f}", harness.times(on, off),
                     harness.times(on, base)])
    lines = [
        "# Group commit: durable throughput across processes",
        "",
        f"`bench/group_commit_bench.py --seconds {args.seconds:g} --rounds {args.rounds}`; "
        "operations per second (each put, or each get+ack, is one durable call), median of "
        "the rounds. " + (
            f"\"off\" is the build in {args.against}, \"on\" the installed one, both with "
            "group commit on." if args.against else
            "\"off\" runs on an appended log, \"on\" on a preallocated one (format 5), both "
            "with group commit on." if args.preallocated else
            "\"off\" sets TARNWICK_GROUP_COMMIT=0 (every durable call syncs under the "
            "process lock, as before); \"on\" is the default."),
        "",
        f"Load average before: {load_before[0]:.2f} {load_before[1]:.2f} {load_before[2]:.2f}; "
        f"after: {load_after[0]:.2f} {load_after[1]:.2f} {load_after[2]:.2f} "
        f"({os.cpu_count()} CPUs).",
        "",
    ]
    lines += harness.table(["case", "off /s", "on /s", "on vs off", "on vs x1 on"], rows)
    if not args.no_sqlite:
        sq_put, sq_cycle = med[("sqlite put", 1, "-")], med[("sqlite put+get+ack", 1, "-")]
        lines += [
            "",
            f"sqlite3 lease queue (WAL, synchronous=FULL), one process: put {sq_put:,.0f}/s, "
            f"put+get+ack {sq_cycle:,.0f}/s. tarnwick put x1 against it: "
            f"{harness.times(med[('put', 1, 'off')], sq_put)} off, "
            f"{harness.times(med[('put', 1, 'on')], sq_put)} on.",
        ]
        if ("put+get+ack", 1, "on") in med:
            lines[-1] += (" tarnwick put+get+ack x1 against it: "
                          f"{harness.times(med[('put+get+ack', 1, 'off')], sq_cycle)} off, "
                          f"{harness.times(med[('put+get+ack', 1, 'on')], sq_cycle)} on.")
    lines += ["", "Every round:", ""]
    lines += harness.table(["case", "mode", "rates /s"],
                           [[f"{k} x{n}", m, ", ".join(f"{v:,.0f}" for v in vs)]
                            for (k, n, m), vs in results.items()])
    text = "\n".join(lines) + "\n"
    print(text)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text)


if __name__ == "__main__":
    main()
