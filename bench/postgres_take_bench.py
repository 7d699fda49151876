#!/usr/bin/env python3
"""The PostgreSQL take among many ready messages, spread over priorities and
groups: what one take (and its ack) costs, in one run on one server.

    PYTHONPATH=python python bench/postgres_take_bench.py [--messages 100000]

Each case fills a queue with `--messages` ready messages, holds `--held`
leases unsettled (busy consumers: their groups are at their limit of 1),
then times take(1) and ack() in turn. Cases: no priority and no group (the
plain queue), 100 priorities, 1000 groups each of one priority, and 1000
groups whose messages have random priorities (the walk soon gives way to a
merge of group firsts: one lookup per group, whatever the priorities). Starts a throwaway server unless
TARNWICK_PG_DSN names one; writes bench/results/scratch/postgres_take.md
(`--out` to choose).
"""

import argparse
import os
import sys
import time

import harness

sys.path.insert(0, os.path.join(harness.REPO, "tests", "queue"))

import psycopg

from tarnwick_queue.postgres import PostgresQueue

PRIORITIES = 100
GROUPS = 1000
CASES = ("plain", "priorities", "groups of one priority each", "groups of random priorities")


# Filled in one statement rather than 10^5 puts: the rows are what put()
# writes (the group rows too), the bench times the take.
_FILL = """
WITH m AS (
  INSERT INTO tarnwick_messages (queue, body, enqueued_at, due_at, priority, grp)
  SELECT %(q)s, 'x', now(), now(),
         CASE %(case)s WHEN 'plain' THEN 0
                       WHEN 'groups of one priority each' THEN (i %% %(groups)s) %% %(p)s - 50
                       ELSE floor(random() * %(p)s)::int - 50 END,
         CASE WHEN %(case)s LIKE 'groups%%' THEN 'g' || (i %% %(groups)s) END
  FROM generate_series(0, %(n)s - 1) AS i ORDER BY i
  RETURNING grp)
INSERT INTO tarnwick_groups (queue, grp)
SELECT DISTINCT %(q)s, grp FROM m WHERE grp IS NOT NULL ON CONFLICT DO NOTHING"""


def run_case(dsn, case, args):
    name = f"bench-{case}-{os.getpid()}"
    with PostgresQueue(dsn, name) as queue:
        params = {"q": name, "case": case, "groups": GROUPS, "p": PRIORITIES,
                  "n": args.messages}
        if case == "plain":  # through put_many: also runs on the tables of before
            for start in range(0, args.messages, 1000):
                queue.driver.put_many([b"x"] * min(1000, args.messages - start), 0.0)
        else:
            queue.driver.link.run("fill", "", lambda c: c.execute(_FILL, params))
        queue.driver.link.run("analyze", "", lambda c: c.execute("ANALYZE tarnwick_messages"))
        held, _ = queue.driver.take(args.held, 600.0)
        takes, acks = [], []
        for _ in range(args.takes):
            began = time.perf_counter()
            rows, _ = queue.driver.take(1, 600.0)
            took = time.perf_counter()
            assert rows, "nothing taken"
            queue.driver.ack(rows[0][5])
            acks.append(time.perf_counter() - took)
            takes.append(took - began)
        queue.purge()
    return harness.median(takes) * 1e6, max(takes) * 1e6, harness.median(acks) * 1e6


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--messages", type=int, default=100_000)
    parser.add_argument("--held", type=int, default=8, help="leases kept unsettled")
    parser.add_argument("--takes", type=int, default=2000)
    parser.add_argument("--cases", default=",".join(CASES), help="comma-separated")
    parser.add_argument("--out")
    args = parser.parse_args()
    server = None
    dsn = os.environ.get("TARNWICK_PG_DSN")
    if not dsn:
        from pg_server import PgServer
        server = PgServer(durable=True).start()
        dsn = server.dsn
    rows = []
    try:
        with psycopg.connect(dsn) as conn:
            version = conn.execute("SHOW server_version").fetchone()[0]
        for case in args.cases.split(","):
            harness.progress("==", case)
            median, worst, ack = run_case(dsn, case, args)
            rows.append((case, f"{median:.0f}", f"{worst:.0f}", f"{ack:.0f}"))
    finally:
        if server:
            server.close()
    lines = [f"# PostgreSQL take among {args.messages} ready messages",
             "", f"PostgreSQL {version}; {args.held} leases held unsettled; "
             f"{args.takes} take(1) + ack() in turn per case; microseconds, one client "
             "on loopback.", ""]
    lines += harness.table(["case", "take median", "take max", "ack median"], rows, "lrrr")
    text = "\n".join(lines) + "\n"
    with open(harness.output("postgres_take.md", args.out), "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    main()
