"""PostgresDriver: the driver on a PostgreSQL database. Each call is one
statement (or one short transaction) on the handle's connection, which a
settle or take may follow with a small batched delete of expired outcomes
(prune()); a waiting thread listens on the queue's channel
(connection.Listener)."""

from __future__ import annotations

import hashlib
import time
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, TypeVar, Union

import psycopg
from psycopg.pq import TransactionStatus
from psycopg.types.json import Jsonb

from .. import _consumer
from ..driver import (
    FINISHED_STATES,
    DeadLetter,
    Driver,
    MessageInfo,
    QueueStats,
    Retention,
    RowFields,
    SchedulePut,
    Status,
    Taken,
    Watch,
)
from .connection import PIN_PLANS_HERE, Link, Listeners

# Every deadline below is computed by the server's clock (now() is the
# statement's start in autocommit), so clients with skewed clocks agree.

# One clock reading for the row(s); pg_notify in RETURNING costs no extra
# statement, and notifications go out only when the transaction commits.
# A keyed put is tarnwick_put_keyed() (schema_v3.py); a grouped one also
# makes sure its group's row exists.
_COLUMNS = "queue, body, enqueued_at, due_at, priority, grp, headers"
_VALUES = ("c.t, c.t + %(delay)s * interval '1 second', %(priority)s, %(grp)s::text, "
           "%(headers)s::jsonb")
_GROUP_ROW = """
WITH g AS (INSERT INTO tarnwick_groups (queue, grp) VALUES (%(q)s, %(grp)s)
           ON CONFLICT DO NOTHING)"""
_PUT_ONE = f"""
INSERT INTO tarnwick_messages ({_COLUMNS})
SELECT %(q)s, %(bodies)s, {_VALUES}
FROM (SELECT clock_timestamp() AS t) AS c
RETURNING id, pg_notify(%(ch)s, '')"""
_PUT_MANY = f"""
INSERT INTO tarnwick_messages ({_COLUMNS})
SELECT %(q)s, b.body, {_VALUES}
FROM (SELECT clock_timestamp() AS t) AS c,
     unnest(%(bodies)s::bytea[]) WITH ORDINALITY AS b(body, n)
ORDER BY b.n
RETURNING id, pg_notify(%(ch)s, '')"""
_PUT_KEYED = """
SELECT tarnwick_put_keyed(%(q)s, %(bodies)s, %(delay)s, %(priority)s, %(key)s,
                          %(unique_for)s, %(grp)s, %(headers)s::jsonb, %(ch)s)"""

# Leases ready messages: tarnwick_take() (schema_v3.py) walks them by
# priority and id, skipping those another consumer is taking and groups at
# their limit. When nothing was taken, it also says how many seconds remain
# until the earliest lease or delay ends, seen in the same transaction, so
# that a waiter cannot miss one that ends between two statements.
#
# Unless a ready row was skipped as locked: another consumer's take is under
# way, and the lease it gives that row is not in this snapshot. Should that
# consumer die, its lease would end with no notification and no due time the
# waiter knows of, so the answer is then "look again in RELOOK seconds", when
# that take has committed and its lease's end can be seen.
RELOOK = 0.1
# How often a statement aborted by a deadlock is run again before the error
# reaches the caller.
_DEADLOCK_RETRIES = 3
_T = TypeVar("_T")
_TAKE = ("SELECT * FROM tarnwick_take(%(q)s, %(n)s, %(lease)s, %(max)s, %(consumer)s, "
         "%(relook)s, %(keep)s)")

# What leaving the queue does besides deleting the row (ack, dead, cancel,
# in one statement with the delete, from the CTE `gone`): the key is kept
# for its unique_for, and a leased message frees its group's slot (waking
# the waiters, whose next message of the group it held back).
_LEAVE = """
kept AS (
  INSERT INTO tarnwick_kept_keys AS k (queue, key, id, until)
  SELECT %(q)s, gone.key, gone.id, now() + gone.unique_for * interval '1 second'
  FROM gone WHERE gone.key IS NOT NULL AND gone.unique_for > 0
  ON CONFLICT (queue, key) DO UPDATE SET id = excluded.id, until = excluded.until),
freed AS (
  UPDATE tarnwick_groups g SET leased = g.leased - f.n
  FROM (SELECT gone.grp, count(*) AS n FROM gone WHERE gone.grp IS NOT NULL AND gone.held
        GROUP BY gone.grp) AS f
  WHERE g.queue = %(q)s AND g.grp = f.grp
  RETURNING pg_notify(%(ch)s, ''))"""
_GONE = ("id, body, deliveries, enqueued_at, started_at, key, unique_for, grp, priority, headers, "
         "errors, consumers, lease IS NOT NULL AS held")


def _noted(state: str, result: str = "NULL::bytea", errors: str = "gone.errors",
           dead_letter: str = "NULL::bigint", source: str = "gone") -> str:
    """The CTE that keeps the outcome of the messages in `gone` (those a
    statement deleted), with the handle's retention %(keep)s (0: none)."""
    return f"""
noted AS (
  INSERT INTO tarnwick_outcomes
    (queue, id, state, deliveries, enqueued_at, started_at, finished_at, result, errors,
     consumers, priority, key, grp, headers, dead_letter_id, keep_until)
  SELECT %(q)s, gone.id, '{state}', gone.deliveries, gone.enqueued_at, gone.started_at, now(),
         {result}, {errors}, gone.consumers, gone.priority, gone.key, gone.grp, gone.headers,
         {dead_letter}, now() + %(keep)s * interval '1 second'
  FROM {source} WHERE %(keep)s > 0)"""


_HELD = "queue = %(q)s AND id = %(id)s AND lease = %(lease)s AND due_at > now()"
_ACK = f"""
WITH gone AS (DELETE FROM tarnwick_messages WHERE {_HELD} RETURNING {_GONE}),
{_LEAVE},
{_noted("acked", result="%(result)s::bytea")}
SELECT count(*) FROM gone"""
# Every (id, lease) pair still current is deleted by one statement, so the
# check and the acks are one commit; a pair given twice matches its row once.
# Each lease is a fresh random UUID, so a row whose id and lease are both
# among those given is one of the pairs given; id = ANY lets the index find
# the rows. Binary parameters spare quoting each array element.
_ACK_MANY = f"""
WITH gone AS (
  DELETE FROM tarnwick_messages
  WHERE queue = %(q)s AND id = ANY(%(ids)b::bigint[]) AND lease = ANY(%(leases)b::uuid[])
    AND due_at > now()
  RETURNING {_GONE}, lease),
{_LEAVE},
{_noted("acked")}
SELECT id, lease FROM gone"""
# A returned message frees its group's slot; scheduled again when delayed
# (its lease is NULL from now on). Its last delivery's start stays, for
# status(); peek() shows it only while leased.
_NACK = f"""
WITH back AS (
  UPDATE tarnwick_messages SET lease = NULL, extensions = 0, consumer = NULL,
         errors = tarnwick_history(errors, %(error)s::text),
         due_at = now() + %(delay)s * interval '1 second'
  WHERE {_HELD} RETURNING grp),
freed AS (
  UPDATE tarnwick_groups g SET leased = g.leased - 1
  FROM back WHERE g.queue = %(q)s AND g.grp = back.grp)
SELECT count(*), pg_notify(%(ch)s, '') FROM back HAVING count(*) > 0"""
_EXTEND = (f"UPDATE tarnwick_messages SET due_at = now() + %(lease_s)s * interval '1 second', "
           f"extensions = extensions + 1 "
           f"WHERE {_HELD} RETURNING extract(epoch FROM due_at)::float8")
_BURY = f"""
WITH gone AS (DELETE FROM tarnwick_messages WHERE {_HELD} RETURNING {_GONE}),
{_LEAVE},
buried AS (
  INSERT INTO tarnwick_dead_letters
    (queue, original_id, body, deliveries, enqueued_at, died_at, reason)
  SELECT %(q)s, id, body, deliveries, enqueued_at, now(), %(reason)s FROM gone
  RETURNING id, original_id),
{_noted("dead", errors="tarnwick_history(gone.errors, nullif(%(reason)s, ''))",
        dead_letter="buried.id", source="gone JOIN buried ON buried.original_id = gone.id")}
SELECT count(*) FROM gone"""
# Ready (due, also after an expired lease) or scheduled (due later, not
# leased): a take that holds the row makes this wait, then find it leased.
_CANCEL = f"""
WITH gone AS (
  DELETE FROM tarnwick_messages
  WHERE queue = %(q)s AND id = %(id)s AND (due_at <= now() OR lease IS NULL)
  RETURNING {_GONE}),
{_LEAVE},
{_noted("cancelled")}
SELECT count(*) FROM gone"""

# leased: lease not NULL and not ended; scheduled: due later, not leased.
_STATE = """CASE WHEN due_at <= now() THEN 'ready' WHEN lease IS NULL THEN 'scheduled'
            ELSE 'leased' END"""
_PEEK = f"""
SELECT id, {_STATE},
       deliveries, extract(epoch FROM enqueued_at)::float8,
       CASE WHEN due_at > now() THEN extract(epoch FROM due_at)::float8 END,
       octet_length(body), CASE WHEN %(bodies)s THEN body END,
       CASE WHEN due_at > now() AND lease IS NOT NULL
            THEN extract(epoch FROM started_at)::float8 END,
       CASE WHEN due_at > now() AND lease IS NOT NULL THEN extensions ELSE 0 END,
       CASE WHEN due_at > now() AND lease IS NOT NULL THEN consumer END,
       priority, key, grp, coalesce(headers, '{{}}'::jsonb)
FROM tarnwick_messages WHERE queue = %(q)s ORDER BY id LIMIT %(n)s"""

# status(): the live row, else the kept outcome (a message is never both:
# the statement that deletes the row inserts the outcome). Each is a lookup
# by primary key. An outcome past its keep_until is gone, pruned or not.
# Public, as outcomes_sql(), for the tests of their plans.
STATUS_SQL = f"""
SELECT id, {_STATE}, deliveries, extract(epoch FROM enqueued_at)::float8,
       extract(epoch FROM started_at)::float8, NULL::float8, NULL::bytea, errors, consumers,
       priority, key, grp, coalesce(headers, '{{}}'::jsonb), NULL::bigint
FROM tarnwick_messages WHERE queue = %(q)s AND id = %(id)s
UNION ALL
SELECT id, state, deliveries, extract(epoch FROM enqueued_at)::float8,
       extract(epoch FROM started_at)::float8, extract(epoch FROM finished_at)::float8, result,
       errors, consumers, priority, key, grp, coalesce(headers, '{{}}'::jsonb), dead_letter_id
FROM tarnwick_outcomes WHERE queue = %(q)s AND id = %(id)s AND keep_until > now()
LIMIT 1"""


def _recent(state: str, since: bool) -> str:
    """The newest kept outcomes of `state`, read backwards along
    tarnwick_outcomes_recent and stopped after %(n)s (or at %(since)s)."""
    bound = "AND finished_at >= to_timestamp(%(since)s) " if since else ""
    return f"""(
SELECT id, state, deliveries, extract(epoch FROM enqueued_at)::float8,
       extract(epoch FROM started_at)::float8, extract(epoch FROM finished_at)::float8, result,
       errors, consumers, priority, key, grp, coalesce(headers, '{{}}'::jsonb), dead_letter_id
FROM tarnwick_outcomes
WHERE queue = %(q)s AND state = '{state}' {bound}AND keep_until > now()
ORDER BY finished_at DESC, id DESC LIMIT %(n)s)"""


def outcomes_sql(state: Optional[str], since: bool) -> str:
    """The statement of outcomes(state, %(n)s, %(since)s when `since`)."""
    if state is not None:
        return _recent(state, since)
    # Of every state: the newest few of each, merged (the sixth column is
    # finished_at).
    return ("SELECT * FROM (" + " UNION ALL ".join(_recent(s, since) for s in FINISHED_STATES)
            + ") AS o ORDER BY 6 DESC, 1 DESC LIMIT %(n)s")


# Drops up to %(n)s expired outcomes, of any queue: the oldest expiries first,
# found through tarnwick_outcomes_expiry, deleted by their row addresses.
# Another client's prune holds the rows it chose; this one passes them over.
PRUNE_SQL = """
DELETE FROM tarnwick_outcomes WHERE ctid = ANY(ARRAY(
  SELECT ctid FROM tarnwick_outcomes WHERE keep_until < now()
  ORDER BY keep_until LIMIT %(n)s FOR UPDATE SKIP LOCKED))"""
# A handle prunes one batch at most this often (seconds), piggybacked on a
# settle or a take, or as soon as again while the last batch was full
# (outcomes expiring faster than one batch per interval), at most every
# PRUNE_BEHIND seconds then.
PRUNE_EVERY = 5.0
PRUNE_BEHIND = 0.05
PRUNE_BATCH = 500

_KEEP = Retention()

# acked_last_minute counts at most this many kept outcomes: a bounded walk
# of tarnwick_outcomes_recent, however fast the queue goes.
RECENT_ACKS_CAP = 100_000


class PostgresQueueStats(QueueStats):
    """A PostgreSQL queue's stats(): besides the common counts,
    acked_last_minute, the acks of the last 60 seconds of the server's
    clock whose outcomes are kept (none are while keep_acked is 0), counted
    up to RECENT_ACKS_CAP. The server counts no totals (a counter row every
    ack updates would make all of a queue's acks wait for each other), so
    this is what a page shows as throughput."""

    acked_last_minute: int


_STATS = """
WITH oldest AS (
  SELECT id, extract(epoch FROM started_at)::float8 AS started FROM tarnwick_messages
  WHERE queue = %(q)s AND due_at > now() AND lease IS NOT NULL AND started_at IS NOT NULL
  ORDER BY started_at, id LIMIT 1)
SELECT count(*) FILTER (WHERE due_at <= now()),
       count(*) FILTER (WHERE due_at > now() AND lease IS NOT NULL),
       count(*) FILTER (WHERE due_at > now() AND lease IS NULL),
       count(*), coalesce(sum(octet_length(body)), 0),
       (SELECT count(*) FROM tarnwick_dead_letters WHERE queue = %(q)s),
       (SELECT id FROM oldest), (SELECT started FROM oldest),
       coalesce((SELECT paused FROM tarnwick_queues WHERE queue = %(q)s), false),
       extract(epoch FROM min(due_at) FILTER (WHERE due_at <= now()))::float8,
       (SELECT count(*) FROM (SELECT FROM tarnwick_outcomes
          WHERE queue = %(q)s AND state = 'acked' AND finished_at > now() - interval '60 s'
          LIMIT %(cap)s) AS recent)
FROM tarnwick_messages WHERE queue = %(q)s"""

# The queue's settings row, made when a handle opens the queue; a given
# group limit is stored, else the stored one (1 for a new queue) is kept.
_OPEN = """
INSERT INTO tarnwick_queues AS s (queue, group_limit)
VALUES (%(q)s, coalesce(%(limit)s::integer, 1))
ON CONFLICT (queue) DO UPDATE SET group_limit = coalesce(%(limit)s::integer, s.group_limit)
WHERE %(limit)s::integer IS NOT NULL AND s.group_limit <> %(limit)s::integer"""
_SET_PAUSED = """
INSERT INTO tarnwick_queues AS s (queue, paused) VALUES (%(q)s, %(paused)s)
ON CONFLICT (queue) DO UPDATE SET paused = excluded.paused
RETURNING CASE WHEN NOT s.paused THEN pg_notify(%(ch)s, '') END"""
_SETTINGS = "SELECT paused, group_limit FROM tarnwick_queues WHERE queue = %(q)s"

# Purging takes the queue's group rows first (waiting for the takes that
# hold them), so that no take leases a grouped message between the delete
# and the reset of the counts.
_PURGE = [
    "SELECT FROM tarnwick_groups WHERE queue = %(q)s FOR UPDATE",
    "DELETE FROM tarnwick_messages WHERE queue = %(q)s",
    "UPDATE tarnwick_groups SET leased = 0 WHERE queue = %(q)s AND leased <> 0",
]

# A schedule's change and the messages it puts are one statement, so one
# commit: tarnwick_schedule_change() (schema_v5.py), NULL when the schedule
# did not hold the state expected.
_SCHEDULES = "SELECT name, state FROM tarnwick_schedules WHERE queue = %(q)s"
_SCHEDULE_CHANGE = """
SELECT tarnwick_schedule_change(%(q)s, %(name)s, %(expected)s::bytea, %(new)s::bytea,
                                %(bodies)s::bytea[], %(priorities)s::integer[],
                                %(keys)s::text[], %(unique_fors)s::float8[],
                                %(headers)s::jsonb[], %(ch)s)"""

_DEAD_LIST = """
SELECT id, original_id, body, deliveries, extract(epoch FROM enqueued_at)::float8,
       extract(epoch FROM died_at)::float8, reason
FROM tarnwick_dead_letters WHERE queue = %s ORDER BY id LIMIT %s"""

_DEAD_REQUEUE = """
WITH gone AS (
  DELETE FROM tarnwick_dead_letters
  WHERE queue = %(q)s AND (%(ids)s::bigint[] IS NULL OR id = ANY(%(ids)s::bigint[]))
  RETURNING id, body),
clock AS (SELECT clock_timestamp() AS t),
ins AS (
  INSERT INTO tarnwick_messages (queue, body, enqueued_at, due_at)
  SELECT %(q)s, gone.body, clock.t, clock.t FROM gone, clock ORDER BY gone.id
  RETURNING 1)
SELECT count(*) FROM ins"""

MAX_DELIVERIES = 2**31 - 2  # deliveries are an integer column
# Longer delays and leases are cut to this (some 31,700 years), which keeps
# every deadline within the range of timestamptz.
_FAR = 1e12



def _status(row: Sequence[Any]) -> Status:
    (id, state, deliveries, enqueued_at, started_at, finished_at, result, errors, consumers,
     priority, key, group, headers, dead_letter_id) = row
    return Status(id, state, deliveries, enqueued_at, started_at, finished_at, result,
                  tuple(errors), tuple(consumers), priority, key, group, headers,
                  dead_letter_id)


def channel_of(name: str) -> str:
    """The LISTEN channel of a queue: any queue name maps to a plain identifier."""
    return "tarnwick_" + hashlib.sha1(name.encode()).hexdigest()[:24]


class PostgresDriver(Driver):
    """The driver for the queue `name` in the database that
    `dsn_or_connection` reaches (a connection string, or a psycopg connection
    in autocommit mode, which it uses until it breaks and never closes).
    Takes what PostgresQueue checked: `lease` in seconds, `max_deliveries`
    (None: no limit) up to MAX_DELIVERIES, `group_limit` (None: keep the
    stored one, 1 for a new queue; an int >= 1 is stored), `retention` the
    seconds this handle keeps the outcomes it writes. Connects on creation
    (raising ConnectionLost when it cannot), sets the schema up if needed
    and makes the queue's settings row.

    `link` runs each call on the connection and reconnects after a loss.
    `prune_every`: the seconds between two prunes of expired outcomes by
    this handle (see prune())."""

    def __init__(self, dsn_or_connection: Union[str, psycopg.Connection[Any]], name: str, *,
                 lease: float, max_deliveries: Optional[int],
                 consumer_id: Optional[str] = None,
                 group_limit: Optional[int] = None,
                 retention: Retention = _KEEP) -> None:
        self.name = name
        self._consumer_id = consumer_id
        self._retention = Retention(*(min(float(s), _FAR) for s in retention))
        self.prune_every = PRUNE_EVERY
        self._pruned_at: Optional[float] = None
        self._behind = False
        self._lease = min(lease, _FAR)
        self._max_deliveries = max_deliveries
        self._channel = channel_of(name)
        self.link = Link(dsn_or_connection)
        self._listeners = Listeners(self.link.conninfo, self._channel)
        try:
            self._run("opening the queue", "the group limit may or may not have been stored",
                      _OPEN, {"q": name, "limit": group_limit})
        except BaseException:
            self.close()
            raise

    def _run(self, what: str, after_loss: str, sql: str, params: Any,
             binary: bool = False, prune: bool = False) -> psycopg.Cursor[Any]:
        # Each statement is its own transaction (autocommit): one that the
        # server aborts to break a deadlock (two settles of several groups'
        # messages locking the group rows in opposite orders) did nothing,
        # so running it again is exact.
        def run(conn: psycopg.Connection[Any]) -> psycopg.Cursor[Any]:
            cursor = conn.execute(sql, params, binary=binary)
            if prune:
                self._prune_if_due(conn)
            return cursor

        return self._past_deadlocks(what, after_loss, run)

    def _past_deadlocks(self, what: str, after_loss: str,
                        fn: Callable[[psycopg.Connection[Any]], _T]) -> _T:
        """link.run(), again when the server broke a deadlock by aborting
        the transaction (which then did nothing)."""
        for _ in range(_DEADLOCK_RETRIES):
            try:
                return self.link.run(what, after_loss, fn)
            except psycopg.errors.DeadlockDetected:
                continue
        return self.link.run(what, after_loss, fn)

    # --- pruning ---

    def _prune_if_due(self, conn: psycopg.Connection[Any]) -> None:
        """One batch of prune(), on `conn`, once `prune_every` seconds passed
        since this handle's last (PRUNE_BEHIND while the last batch was
        full): run after the settle or take it rides on, whose outcome is
        then known, so a prune that fails (its connection broken: the link
        drops it) costs that call nothing."""
        now = time.monotonic()
        every = min(self.prune_every, PRUNE_BEHIND) if self._behind else self.prune_every
        if self._pruned_at is not None and now - self._pruned_at < every:
            return
        self._pruned_at = now
        try:
            self._behind = conn.execute(PRUNE_SQL, {"n": PRUNE_BATCH}).rowcount >= PRUNE_BATCH
        except psycopg.Error:
            self._behind = False

    def prune(self) -> int:
        """Deletes one batch (at most PRUNE_BATCH) of the outcomes whose
        retention ended, of every queue in the database; returns how many.
        Settles and takes do this by themselves every `prune_every` seconds;
        any number of clients may prune at once, each deleting other rows."""
        return self._run("prune", "expired outcomes may or may not have been deleted", PRUNE_SQL,
                         {"n": PRUNE_BATCH}).rowcount

    # --- producing ---

    def put(self, body: bytes, delay: float, *, priority: int = 0,
            key: Optional[str] = None, unique_for: float = 0.0,
            group: Optional[str] = None, headers: Optional[Dict[str, str]] = None,
            connection: Optional[psycopg.Connection[Any]] = None) -> int:
        """With `connection`, the insert runs in that connection's current
        transaction: the message exists only if that transaction commits."""
        if key is None:
            return self.put_many([body], delay, priority=priority, group=group,
                                 headers=headers, connection=connection)[0]
        params = self._put_params(body, delay, priority, group, headers)
        params.update(key=key, unique_for=min(unique_for, _FAR))
        row = self._execute("put", _PUT_KEYED, params, connection).fetchone()
        assert row is not None  # the function returns an id
        return int(row[0])

    def put_many(self, bodies: List[bytes], delay: float, *, priority: int = 0,
                 group: Optional[str] = None, headers: Optional[Dict[str, str]] = None,
                 connection: Optional[psycopg.Connection[Any]] = None) -> List[int]:
        if self.closed:
            raise ValueError("operation on a closed queue")
        if not bodies:
            return []
        one = len(bodies) == 1
        sql = _PUT_ONE if one else _PUT_MANY
        if group is not None:
            sql = _GROUP_ROW + sql
        params = self._put_params(bodies[0] if one else bodies, delay, priority, group, headers)
        rows = self._execute("put", sql, params, connection).fetchall()
        return sorted(row[0] for row in rows)

    def _put_params(self, bodies: Any, delay: float, priority: int, group: Optional[str],
                    headers: Optional[Dict[str, str]]) -> Dict[str, Any]:
        return {"q": self.name, "delay": min(delay, _FAR), "bodies": bodies,
                "priority": priority, "grp": group,
                "headers": Jsonb(headers) if headers else None, "ch": self._channel}

    def _execute(self, what: str, sql: str, params: Dict[str, Any],
                 connection: Optional[psycopg.Connection[Any]]) -> psycopg.Cursor[Any]:
        if connection is None:
            return self._run(what, "the message may or may not have been stored", sql, params)
        if self.closed:
            raise ValueError("operation on a closed queue")
        if not isinstance(connection, psycopg.Connection):
            raise TypeError("connection must be a psycopg.Connection, not "
                            f"{type(connection).__name__}")
        return connection.execute(sql, params)

    def cancel(self, id: int) -> bool:
        row = self._run("cancel", "the message may or may not have been removed", _CANCEL,
                        {"q": self.name, "id": id, "ch": self._channel,
                         "keep": self._retention.cancelled}, prune=True).fetchone()
        assert row is not None
        return bool(row[0])

    # --- consuming ---

    def _take_params(self, count: int, lease: Optional[float]) -> Dict[str, Any]:
        return {"q": self.name, "n": count,
                "lease": self._lease if lease is None else min(lease, _FAR),
                "max": self._max_deliveries, "relook": RELOOK,
                "keep": self._retention.dead,
                # Asked each time: a forked child is another process.
                "consumer": self._consumer_id or _consumer.default()}

    def _taken(self, rows: List[Any]) -> Taken:
        # A row's token is its id with the lease's random UUID.
        taken: List[RowFields] = [
            (id, body, deliveries, enqueued_at, due_at, (id, lease), priority, key, group,
             headers)
            for _, id, body, deliveries, enqueued_at, due_at, lease, priority, key, group,
            headers in rows if id is not None]
        if taken:
            return taken, None
        return taken, rows[0][0] if rows else None

    def take(self, count: int, lease: Optional[float]) -> Taken:
        params = self._take_params(count, lease)
        link = self.link

        def take(conn: psycopg.Connection[Any]) -> List[Any]:
            if link.pinned(conn):
                rows = conn.execute(_TAKE, params, binary=True).fetchall()
            else:
                with conn.transaction():
                    conn.execute(PIN_PLANS_HERE)
                    rows = conn.execute(_TAKE, params, binary=True).fetchall()
            self._prune_if_due(conn)
            return rows

        rows = link.run("get", "a message leased by the call is delivered again when its "
                        "lease ends", take)
        return self._taken(rows)

    def ack_then_take(self, token: Tuple[int, Any], count: int,
                      lease: Optional[float]) -> Tuple[bool, Taken]:
        if not psycopg.Pipeline.is_supported():
            return super().ack_then_take(token, count, lease)  # four round trips otherwise
        acking = self._held(token, result=None, keep=self._retention.acked)
        taking = self._take_params(count, lease)
        link = self.link

        # One transaction sent in one round trip (its BEGIN and COMMIT
        # queued with the statements, not waited for one by one): one commit
        # for both, and the take sees the group slot the ack freed.
        def both(conn: psycopg.Connection[Any]) -> Tuple[bool, List[Any]]:
            try:
                with conn.pipeline():
                    conn.execute("BEGIN")
                    if not link.pinned(conn):
                        conn.execute(PIN_PLANS_HERE)
                    acked = conn.execute(_ACK, acking)
                    taken = conn.execute(_TAKE, taking, binary=True)
                    conn.execute("COMMIT")
            except psycopg.Error:
                # A failed statement left the transaction aborted, the rest
                # of it skipped: it did nothing.
                if not conn.broken and conn.info.transaction_status != TransactionStatus.IDLE:
                    conn.execute("ROLLBACK")
                raise
            row = acked.fetchone()
            rows = taken.fetchall()
            self._prune_if_due(conn)
            return row is not None and row[0] == 1, rows

        after_loss = ("the message may or may not have been acked; a message leased by the "
                      "call is delivered again when its lease ends")
        acked, rows = self._past_deadlocks("ack", after_loss, both)
        return acked, self._taken(rows)

    def watch(self) -> Watch:
        return self._listeners.get()

    # --- settling ---

    def _held(self, token: Tuple[int, Any], **more: Any) -> Any:
        return {"q": self.name, "id": token[0], "lease": token[1], "ch": self._channel, **more}

    def ack(self, token: Tuple[int, Any], result: Optional[bytes] = None) -> bool:
        row = self._run("ack", "the message may or may not have been acked", _ACK,
                        self._held(token, result=result, keep=self._retention.acked),
                        prune=True).fetchone()
        return row is not None and row[0] == 1

    def ack_many(self, tokens: Sequence[Tuple[int, Any]]) -> List[int]:
        rows = self._run("ack_many", "the messages may or may not have been acked", _ACK_MANY,
                         {"q": self.name, "ids": [t[0] for t in tokens],
                          "leases": [t[1] for t in tokens], "ch": self._channel,
                          "keep": self._retention.acked},
                         binary=True, prune=True).fetchall()
        deleted = set(rows)
        return [i for i, t in enumerate(tokens) if t not in deleted]

    def nack(self, token: Tuple[int, Any], delay: float, error: Optional[str] = None) -> bool:
        return len(self._run("nack", "the message may or may not have been returned; if not, "
                             "it is delivered again when its lease ends", _NACK,
                             self._held(token, delay=min(delay, _FAR),
                                        error=error)).fetchall()) == 1

    def bury(self, token: Tuple[int, Any], reason: str) -> bool:
        row = self._run("dead", "the message may or may not have been moved to the dead "
                        "letters; if not, it is delivered again when its lease ends", _BURY,
                        self._held(token, reason=reason, keep=self._retention.dead),
                        prune=True).fetchone()
        return row is not None and row[0] == 1

    def extend(self, token: Tuple[int, Any],
               lease: Optional[float]) -> Optional[Tuple[Any, float]]:
        lease_s = self._lease if lease is None else min(lease, _FAR)
        row = self._run("extend", "the lease may or may not have been renewed", _EXTEND,
                        self._held(token, lease_s=lease_s)).fetchone()
        return None if row is None else (token, row[0])

    # --- looking ---

    def peek(self, limit: int, bodies: bool) -> List[MessageInfo]:
        rows = self._run("peek", "nothing was changed", _PEEK,
                         {"q": self.name, "n": limit, "bodies": bodies}, binary=True).fetchall()
        return [MessageInfo(*row) for row in rows]

    def status(self, id: int) -> Optional[Status]:
        row = self._run("status", "nothing was changed", STATUS_SQL, {"q": self.name, "id": id},
                        binary=True).fetchone()
        return None if row is None else _status(row)

    def outcomes(self, state: Optional[str], limit: int,
                 since: Optional[float]) -> List[Status]:
        rows = self._run("outcomes", "nothing was changed",
                         outcomes_sql(state, since is not None),
                         {"q": self.name, "n": limit, "since": since}, binary=True).fetchall()
        return [_status(row) for row in rows]

    def stats(self) -> PostgresQueueStats:
        row = self._run("stats", "nothing was changed", _STATS,
                        {"q": self.name, "cap": RECENT_ACKS_CAP}).fetchone()
        assert row is not None
        ready, in_flight, scheduled, total, live_bytes, dead = (int(v) for v in row[:6])
        return {"ready": ready, "in_flight": in_flight, "scheduled": scheduled, "total": total,
                "live_bytes": live_bytes, "dead_letters": dead, "persistent": True,
                "paused": bool(row[8]),
                "oldest_running_id": row[6], "oldest_running_started_at": row[7],
                "oldest_ready_at": row[9], "acked_last_minute": int(row[10])}

    # --- the queue's settings ---

    def _settings(self) -> Tuple[bool, int]:
        row = self._run("settings", "nothing was changed", _SETTINGS,
                        {"q": self.name}).fetchone()
        return (False, 1) if row is None else (bool(row[0]), int(row[1]))

    def _set_paused(self, paused: bool) -> None:
        self._run("resume" if not paused else "pause",
                  "the queue may or may not have been " + ("paused" if paused else "resumed"),
                  _SET_PAUSED, {"q": self.name, "paused": paused, "ch": self._channel})

    def pause(self) -> None:
        self._set_paused(True)

    def resume(self) -> None:
        self._set_paused(False)

    def is_paused(self) -> bool:
        return self._settings()[0]

    def group_limit(self) -> int:
        return self._settings()[1]

    def set_group_limit(self, limit: int) -> None:
        # A raised limit may let held-back messages go: the waiters look again.
        self._run("set_group_limit", "the group limit may or may not have been stored",
                  _OPEN + " RETURNING pg_notify(%(ch)s, '')",
                  {"q": self.name, "limit": limit, "ch": self._channel})

    # --- schedules ---

    def schedules(self) -> Dict[str, bytes]:
        rows = self._run("schedules", "nothing was changed", _SCHEDULES,
                         {"q": self.name}, binary=True).fetchall()
        return {name: bytes(state) for name, state in rows}

    def schedule_change(self, name: str, expected: Optional[bytes], new: Optional[bytes],
                        puts: Sequence[SchedulePut] = ()) -> Optional[List[int]]:
        # A statement aborted by a deadlock (puts of keys another
        # transaction holds) did nothing, and _run runs it again.
        row = self._run("schedule_change",
                        "the schedule may or may not have been changed (with its messages "
                        "put); read it again to know", _SCHEDULE_CHANGE,
                        {"q": self.name, "name": name, "expected": expected, "new": new,
                         "bodies": [bytes(p.body) for p in puts],
                         "priorities": [p.priority for p in puts],
                         "keys": [p.key for p in puts],
                         "unique_fors": [float(min(p.unique_for, _FAR)) for p in puts],
                         "headers": [Jsonb(p.headers) if p.headers else None for p in puts],
                         "ch": self._channel}).fetchone()
        assert row is not None  # the function returns one value
        return None if row[0] is None else [int(id) for id in row[0]]

    # --- dead letters ---

    def dead_count(self) -> int:
        row = self._run("dead_letters", "nothing was changed",
                        "SELECT count(*) FROM tarnwick_dead_letters WHERE queue = %s",
                        (self.name,)).fetchone()
        assert row is not None
        return int(row[0])

    def dead_list(self, limit: Optional[int]) -> List[DeadLetter]:
        rows = self._run("dead_letters", "nothing was changed", _DEAD_LIST,
                         (self.name, limit), binary=True).fetchall()
        return [DeadLetter(*row) for row in rows]

    def dead_requeue(self, ids: Optional[List[int]]) -> int:
        if ids is not None and not ids:
            return 0

        def requeue(conn: psycopg.Connection[Any]) -> int:
            with conn.transaction():
                row = conn.execute(_DEAD_REQUEUE, {"q": self.name, "ids": ids}).fetchone()
                assert row is not None
                count = int(row[0])
                if count:
                    conn.execute("SELECT pg_notify(%s, '')", (self._channel,))
            return count

        return self.link.run("requeue", "the dead letters may or may not have been requeued",
                             requeue)

    def dead_purge(self) -> int:
        return self._run("purge", "the dead letters may or may not have been deleted",
                         "DELETE FROM tarnwick_dead_letters WHERE queue = %s",
                         (self.name,)).rowcount

    # --- the store ---

    def purge(self) -> None:
        def purge(conn: psycopg.Connection[Any]) -> None:
            with conn.transaction():
                for statement in _PURGE:
                    conn.execute(statement, {"q": self.name})

        self.link.run("purge", "the messages may or may not have been removed", purge)

    def flush(self) -> None:
        # Every call is committed before it returns: this only checks the link.
        self.link.run("flush", "nothing was changed", lambda conn: None)

    @property
    def closed(self) -> bool:
        return self.link.closed

    def close(self) -> None:
        self._listeners.close()
        self.link.close()
