"""A plain standard-library sqlite3 queue with lease semantics, as a benchmark baseline.

One table holds every live message:

    seq         INTEGER PRIMARY KEY AUTOINCREMENT  (never handed out twice)
    body        BLOB
    state       0 = ready, 1 = leased
    deadline    lease deadline in ms since the epoch (0 while ready)
    deliveries  how often the message was leased
    ts          enqueue time in ms since the epoch

An index on (state, deadline, seq) serves both lookups a dequeue needs: the
expired leases (state = 1, deadline <= now) and the oldest ready row
(state = 0, deadline = 0, ordered by seq).

dequeue runs in one IMMEDIATE transaction: expired leases become ready again,
then one UPDATE ... RETURNING leases the oldest ready row. ack deletes the
leased row. The database uses WAL; synchronous=FULL when durable, OFF when
relaxed. ":memory:" gives an in-memory database.
"""

import sqlite3
import time

_SCHEMA = """
CREATE TABLE IF NOT EXISTS q (
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    body BLOB NOT NULL,
    state INTEGER NOT NULL,
    deadline INTEGER NOT NULL,
    deliveries INTEGER NOT NULL,
    ts INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS q_ready ON q (state, deadline, seq);
"""

_INSERT = "INSERT INTO q (body, state, deadline, deliveries, ts) VALUES (?, 0, 0, 0, ?)"
_RECLAIM = "UPDATE q SET state = 0, deadline = 0 WHERE state = 1 AND deadline <= ?"
_LEASE_ONE = (
    "UPDATE q SET state = 1, deadline = ?, deliveries = deliveries + 1 "
    "WHERE seq = (SELECT seq FROM q WHERE state = 0 AND deadline = 0 ORDER BY seq LIMIT 1) "
    "RETURNING seq, body, deliveries, ts"
)
_LEASE_MANY = (
    "UPDATE q SET state = 1, deadline = ?, deliveries = deliveries + 1 "
    "WHERE seq IN (SELECT seq FROM q WHERE state = 0 AND deadline = 0 ORDER BY seq LIMIT ?) "
    "RETURNING seq, body, deliveries, ts"
)
_ACK = "DELETE FROM q WHERE seq = ? AND state = 1"


def _now_ms():
    return time.time_ns() // 1_000_000


class SqliteLeaseQueue:
    """enqueue / dequeue / ack with leases on one sqlite3 table."""

    def __init__(self, path, durable=True, lease_ms=30000):
        self.lease_ms = lease_ms
        self.db = sqlite3.connect(path, timeout=60.0, isolation_level=None,
                                  check_same_thread=False)
        if path != ":memory:":
            self.db.execute("PRAGMA journal_mode=WAL")
        self.db.execute("PRAGMA synchronous=%s" % ("FULL" if durable else "OFF"))
        self.db.execute("BEGIN IMMEDIATE")
        try:
            for stmt in _SCHEMA.strip().split(";"):
                if stmt.strip():
                    self.db.execute(stmt)
            self.db.execute("COMMIT")
        except BaseException:
            self.db.execute("ROLLBACK")
            raise

    # --- producing ---

    def enqueue(self, body):
        return self.db.execute(_INSERT, (body, _now_ms())).lastrowid

    def enqueue_batch(self, bodies):
        db = self.db
        ts = _now_ms()
        db.execute("BEGIN IMMEDIATE")
        try:
            cur = db.executemany(_INSERT, [(body, ts) for body in bodies])
            # The write lock is held, so the new ids are consecutive.
            last = db.execute("SELECT last_insert_rowid()").fetchone()[0]
            n = cur.rowcount
            db.execute("COMMIT")
        except BaseException:
            db.execute("ROLLBACK")
            raise
        return list(range(last - n + 1, last + 1))

    # --- consuming ---

    def dequeue(self, lease_ms=None):
        """(seq, body, deliveries, ts) of the oldest ready message, or None."""
        db = self.db
        now = _now_ms()
        db.execute("BEGIN IMMEDIATE")
        try:
            db.execute(_RECLAIM, (now,))
            row = db.execute(_LEASE_ONE, (now + (lease_ms or self.lease_ms),)).fetchone()
            db.execute("COMMIT")
        except BaseException:
            db.execute("ROLLBACK")
            raise
        return row

    def dequeue_batch(self, max_n, lease_ms=None):
        db = self.db
        now = _now_ms()
        db.execute("BEGIN IMMEDIATE")
        try:
            db.execute(_RECLAIM, (now,))
            rows = db.execute(_LEASE_MANY, (now + (lease_ms or self.lease_ms), max_n)).fetchall()
            db.execute("COMMIT")
        except BaseException:
            db.execute("ROLLBACK")
            raise
        rows.sort()
        return rows

    # --- acknowledging ---

    def ack(self, seq):
        return self.db.execute(_ACK, (seq,)).rowcount == 1

    def ack_batch(self, seqs):
        db = self.db
        db.execute("BEGIN IMMEDIATE")
        try:
            n = db.executemany(_ACK, [(seq,) for seq in seqs]).rowcount
            db.execute("COMMIT")
        except BaseException:
            db.execute("ROLLBACK")
            raise
        return n

    def close(self):
        self.db.close()
