#!/usr/bin/env python3
"""PostgreSQL outcomes: do kept outcomes slow the take and the put, what
does keeping a result cost an ack, and what does an outcome weigh.

    .venv/bin/python bench/postgres_outcomes_bench.py [--outcomes 1000000] [--no-fsync]

(the package installed in .venv: scripts/common.sh install_module).

One durable server (fsync on: each call is a commit; `--no-fsync` for the
work alone), two databases: one with no kept outcome, one with `--outcomes`
of them (filled in one statement, a 100-byte result on every other one,
kept for a day). Cases compared are interleaved call by call (see
interleaved()): put() and take(1) (each take's ack untimed) in both
databases, on queues of `--ready` ready messages whose handles keep no
outcome of their own, so both tables stay as filled. Then, in the database of many, acks by handles
that keep their outcome: with no result, with a 100-byte result, and by a
handle keeping none (what keeping one costs at all); and status(id) and
outcomes(limit=100) among them. Starts a throwaway server unless
TARNWICK_PG_DSN names one; writes bench/results/scratch/postgres_outcomes.md
(`--out` to choose).
"""

import argparse
import os
import sys

import harness

sys.path.insert(0, os.path.join(harness.REPO, "tests", "queue"))

import psycopg
from psycopg.conninfo import make_conninfo

from tarnwick_queue.postgres import PostgresQueue
from tarnwick_queue.postgres.driver import PRUNE_BATCH

DAY = 86400.0
RESULT = b"r" * 100

_FILL = """
INSERT INTO tarnwick_outcomes (queue, id, state, deliveries, enqueued_at, started_at,
  finished_at, result, errors, consumers, priority, keep_until)
SELECT %(q)s, -(%(id0)s + i), CASE WHEN i %% 50 = 0 THEN 'dead' ELSE 'acked' END, 1,
       now() - interval '1 hour', now() - interval '1 hour',
       now() - interval '1 hour' + i * interval '1 ms',
       CASE WHEN i %% 2 = 0 THEN %(result)s::bytea END,
       '{}', ARRAY['bench-host:1234'], 0, now() + %(keep)s * interval '1 second'
FROM generate_series(1, %(n)s) AS i"""


def database(admin, base_dsn, name):
    admin.execute(f"DROP DATABASE IF EXISTS {name}")
    admin.execute(f"CREATE DATABASE {name}")
    return make_conninfo(base_dsn, dbname=name)


def sql(queue, statement, params=None):
    def run(conn):
        cursor = conn.execute(statement, params)
        return cursor.fetchall() if cursor.description else None
    return queue.driver.link.run("bench", "", run)


# One call of a case, timed: returns its seconds.


def one_put(queue):
    def call():
        began = harness.now()
        queue.driver.put(b"x", 0.0)
        return harness.now() - began
    return call


def one_take(queue):
    def call():
        began = harness.now()
        rows, _ = queue.driver.take(1, 600.0)
        spent = harness.now() - began
        assert rows, "nothing taken"
        queue.driver.ack(rows[0][5])
        return spent
    return call


def one_ack(queue, result):
    def call():
        rows, _ = queue.driver.take(1, 600.0)
        assert rows, "nothing taken"
        began = harness.now()
        assert queue.driver.ack(rows[0][5], result)
        return harness.now() - began
    return call


def one_call(fn):
    def call():
        began = harness.now()
        fn()
        return harness.now() - began
    return call


def interleaved(cases, rounds, ops):
    """{name: one value per round}: in each round, `ops` steps of one call
    of every case, the order turning from step to step, so that cases
    compared are timed within milliseconds of each other; a round's value
    is each case's median call in microseconds (a median: the odd stalled
    commit of a shared disk does not decide it)."""
    values = {name: [] for name, _ in cases}
    for _ in range(rounds):
        spent = {name: [] for name, _ in cases}
        for step in range(ops):
            shift = step % len(cases)
            for name, call in cases[shift:] + cases[:shift]:
                spent[name].append(call())
        for name in values:
            values[name].append(harness.median(spent[name]) * 1e6)
    return values


def summary(values):
    return f"{harness.median(values):.0f}", f"{harness.spread(values) * 100:.0f}%"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--outcomes", type=int, default=1_000_000)
    parser.add_argument("--ready", type=int, default=10_000)
    parser.add_argument("--ops", type=int, default=200)
    parser.add_argument("--expired", type=int, default=50_000,
                        help="expired outcomes added, then pruned batch by batch")
    parser.add_argument("--rounds", type=int, default=11)
    parser.add_argument("--no-fsync", action="store_true",
                        help="a server with fsync off: the work of each call without the disk")
    parser.add_argument("--out")
    args = parser.parse_args()
    server = None
    dsn = os.environ.get("TARNWICK_PG_DSN")
    if not dsn:
        from pg_server import PgServer
        server = PgServer(durable=not args.no_fsync).start()
        dsn = server.dsn
    load_before = os.getloadavg()
    try:
        with psycopg.connect(dsn, autocommit=True) as admin:
            version = admin.execute("SHOW server_version").fetchone()[0]
            dsns = {0: database(admin, dsn, "tw_bench_none"),
                    args.outcomes: database(admin, dsn, "tw_bench_many")}
        queues = {}
        for kept, db in dsns.items():
            queue = PostgresQueue(db, "bench", keep_acked=0, keep_dead=0)
            queues[kept] = queue
            for _ in range(0, args.ready + args.ops * args.rounds * 2, 1000):
                queue.driver.put_many([b"x"] * 1000, 0.0)
            if kept:
                harness.progress("== filling", kept, "outcomes")
                sql(queue, _FILL, {"q": "bench", "n": kept, "id0": 0, "keep": DAY,
                                   "result": RESULT})
            sql(queue, "VACUUM ANALYZE tarnwick_messages")
            sql(queue, "VACUUM ANALYZE tarnwick_outcomes")
        many = queues[args.outcomes]
        size = sql(many, "SELECT pg_total_relation_size('tarnwick_outcomes'), "
                         "pg_relation_size('tarnwick_outcomes'), count(*) FROM tarnwick_outcomes")
        harness.progress("== take and put, 0 and", args.outcomes, "kept outcomes")
        cases = []
        for kept, queue in queues.items():
            cases.append((("put", kept), one_put(queue)))
            cases.append((("take", kept), one_take(queue)))
        times = interleaved(cases, args.rounds, args.ops)
        harness.progress("== acks among", args.outcomes, "kept outcomes")
        keeping = PostgresQueue(dsns[args.outcomes], "bench", keep_acked=DAY)
        acks = interleaved([("plain", one_ack(keeping, None)),
                            ("result", one_ack(keeping, RESULT)),
                            ("none kept", one_ack(many, None))], args.rounds, args.ops)
        some_id = -(args.outcomes // 2)
        assert keeping.driver.status(some_id) is not None
        looks = interleaved(
            [("status", one_call(lambda: keeping.driver.status(some_id))),
             ("outcomes", one_call(lambda: keeping.driver.outcomes(None, 100, None))),
             ("dead", one_call(lambda: keeping.driver.outcomes("dead", 100, None)))],
            args.rounds, 50)
        harness.progress("== pruning", args.expired, "expired outcomes among the kept")
        sql(many, _FILL, {"q": "bench", "n": args.expired, "id0": args.outcomes,
                          "keep": -1.0, "result": RESULT})
        sql(many, "VACUUM ANALYZE tarnwick_outcomes")
        batches = []
        while True:
            began = harness.now()
            pruned = keeping.driver.prune()
            batches.append((harness.now() - began) * 1e6)
            if not pruned:
                break
        keeping.close()
        for queue in queues.values():
            queue.close()
    finally:
        if server:
            server.close()
    load_after = os.getloadavg()

    rows = []
    for op in ("take", "put"):
        none, full = times[(op, 0)], times[(op, args.outcomes)]
        rows.append((op, *summary(none), *summary(full),
                     f"{harness.median(harness.ratios(full, none)):.2f}"))
    ack_rows = [(name, *summary(acks[key]),
                 f"{harness.median(harness.ratios(acks['plain'], acks[key])):.2f}")
                for key, name in (("plain", "ack, outcome kept, no result"),
                                  ("result", "ack, outcome kept with a 100-byte result"),
                                  ("none kept", "ack, no outcome kept (keep_acked=0)"))]
    look_rows = [(name, *summary(looks[key])) for key, name in (
        ("status", "status(id)"), ("outcomes", "outcomes(limit=100)"),
        ("dead", "outcomes('dead', limit=100)"))]
    look_rows.append((f"prune(): one batch of {PRUNE_BATCH} ({len(batches)} batches)",
                      f"{harness.median(batches):.0f}",
                      f"max {max(batches):.0f}"))
    total, heap, count = size[0]
    load = "load average {:.2f}/{:.2f}/{:.2f}".format
    lines = [f"# PostgreSQL outcomes: take, put and ack with {args.outcomes} kept outcomes", "",
             f"PostgreSQL {version}, {'fsync off' if args.no_fsync else 'durable (fsync on)'}; "
             f"one client on loopback; "
             f"{args.rounds} rounds of {args.ops} steps, each step one call of every case "
             f"compared, the order turning; microseconds per call: the median over rounds of "
             f"each round's median call, and the spread of the rounds; "
             f"{args.ready} ready messages and more. "
             f"Before: {load(*load_before)}; after: {load(*load_after)} (2 cores, shared).",
             "", "## Take and put, 0 vs many kept outcomes", ""]
    lines += harness.table(["call", "0 kept", "spread", f"{args.outcomes} kept", "spread",
                            "time ratio many/0"], rows, "lrrrrr")
    lines += ["", f"## Acks among {args.outcomes} kept outcomes", ""]
    lines += harness.table(["call", "µs", "spread", "speed vs plain ack"], ack_rows, "lrrr")
    lines += ["", "## Looking and pruning", ""]
    lines += harness.table(["call", "µs", "spread"], look_rows, "lrr")
    lines += ["", f"## Size: {count} outcomes (half with a 100-byte result, one consumer each) "
              f"take {total / count:.0f} bytes each with their indexes "
              f"({heap / count:.0f} in the table)."]
    text = "\n".join(lines) + "\n"
    with open(harness.output("postgres_outcomes.md", args.out), "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    main()
