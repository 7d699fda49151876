"""PostgresDriver: the driver on a PostgreSQL database. Each call is one
statement (or one short transaction) on the handle's connection; a waiting
thread listens on the queue's channel (connection.Listener)."""

from __future__ import annotations

import hashlib
from typing import Any, List, Optional, Sequence, Tuple, Union

import psycopg

from .. import _consumer
from ..driver import DeadLetter, Driver, MessageInfo, QueueStats, RowFields, Taken, Watch
from .connection import PIN_PLANS_HERE, Link, Listeners

# Every deadline below is computed by the server's clock (now() is the
# statement's start in autocommit), so clients with skewed clocks agree.

# One clock reading for the row(s); pg_notify in RETURNING costs no extra
# statement, and notifications go out only when the transaction commits.
_PUT_ONE = """
INSERT INTO tarnwick_messages (queue, body, enqueued_at, due_at)
SELECT %(q)s, %(bodies)s, c.t, c.t + %(delay)s * interval '1 second'
FROM (SELECT clock_timestamp() AS t) AS c
RETURNING id, pg_notify(%(ch)s, '')"""

_PUT_MANY = """
INSERT INTO tarnwick_messages (queue, body, enqueued_at, due_at)
SELECT %(q)s, b.body, c.t, c.t + %(delay)s * interval '1 second'
FROM (SELECT clock_timestamp() AS t) AS c,
     unnest(%(bodies)s::bytea[]) WITH ORDINALITY AS b(body, n)
ORDER BY b.n
RETURNING id, pg_notify(%(ch)s, '')"""

# Leases ready messages in id order, skipping those another consumer is
# taking. When nothing was taken, it also says how many seconds remain until
# the earliest lease or delay ends, seen in the same snapshot, so that a
# waiter cannot miss one that ends between two statements.
#
# Unless a ready row was skipped as locked: another consumer's take is under
# way, and the lease it gives that row is not in this snapshot. Should that
# consumer die, its lease would end with no notification and no due time the
# waiter knows of, so the answer is then "look again in RELOOK seconds", when
# that take has committed and its lease's end can be seen.
RELOOK = 0.1
_PICK = """
WITH picked AS (
  SELECT id, deliveries FROM tarnwick_messages
  WHERE queue = %(q)s AND due_at <= now()
  ORDER BY id LIMIT %(n)s
  FOR UPDATE SKIP LOCKED),"""
_LEASE = """
taken AS (
  UPDATE tarnwick_messages m
  SET deliveries = m.deliveries + 1, lease = gen_random_uuid(),
      due_at = now() + %(lease)s * interval '1 second',
      started_at = now(), extensions = 0, consumer = %(consumer)s
  FROM picked
  WHERE m.queue = %(q)s AND m.id = picked.id {only_live}
  RETURNING m.id, m.body, m.deliveries, extract(epoch FROM m.enqueued_at)::float8 AS enq,
            extract(epoch FROM m.due_at)::float8 AS due, m.lease)
SELECT {buried},
       CASE WHEN NOT EXISTS (SELECT FROM taken) THEN
         CASE WHEN EXISTS (SELECT FROM tarnwick_messages WHERE queue = %(q)s AND due_at <= now())
           THEN %(relook)s
           ELSE (SELECT extract(epoch FROM min(due_at) - now())::float8 FROM tarnwick_messages
                 WHERE queue = %(q)s AND due_at > now()) END END,
       t.*
FROM (SELECT 1) AS one LEFT JOIN taken AS t ON true"""
_TAKE = _PICK + _LEASE.format(only_live="", buried="0")
# With max_deliveries: a message that has had its deliveries goes to the
# dead letters in the same statement instead.
_TAKE_BOUNDED = _PICK + """
gone AS (
  DELETE FROM tarnwick_messages m USING picked
  WHERE m.queue = %(q)s AND m.id = picked.id AND picked.deliveries >= %(max)s
  RETURNING m.id, m.body, m.deliveries, m.enqueued_at),
buried AS (
  INSERT INTO tarnwick_dead_letters
    (queue, original_id, body, deliveries, enqueued_at, died_at, reason)
  SELECT %(q)s, id, body, deliveries, enqueued_at, now(), 'max deliveries exceeded'
  FROM gone ORDER BY id
  RETURNING 1),""" + _LEASE.format(only_live="AND picked.deliveries < %(max)s",
                                   buried="(SELECT count(*) FROM buried)")

_HELD = "queue = %(q)s AND id = %(id)s AND lease = %(lease)s AND due_at > now()"
_ACK = "DELETE FROM tarnwick_messages WHERE " + _HELD
# Every (id, lease) pair still current is deleted by one statement, so the
# check and the acks are one commit; a pair given twice matches its row once.
# Each lease is a fresh random UUID, so a row whose id and lease are both
# among those given is one of the pairs given; id = ANY lets the index find
# the rows. Binary parameters spare quoting each array element.
_ACK_MANY = """
DELETE FROM tarnwick_messages
WHERE queue = %(q)s AND id = ANY(%(ids)b::bigint[]) AND lease = ANY(%(leases)b::uuid[])
  AND due_at > now()
RETURNING id, lease"""
_NACK = (f"UPDATE tarnwick_messages SET lease = NULL, started_at = NULL, extensions = 0, "
         f"consumer = NULL, "
         f"due_at = now() + %(delay)s * interval '1 second' WHERE {_HELD} "
         "RETURNING pg_notify(%(ch)s, '')")
_EXTEND = (f"UPDATE tarnwick_messages SET due_at = now() + %(lease_s)s * interval '1 second', "
           f"extensions = extensions + 1 "
           f"WHERE {_HELD} RETURNING extract(epoch FROM due_at)::float8")
_BURY = f"""
WITH gone AS (DELETE FROM tarnwick_messages WHERE {_HELD}
              RETURNING id, body, deliveries, enqueued_at)
INSERT INTO tarnwick_dead_letters
  (queue, original_id, body, deliveries, enqueued_at, died_at, reason)
SELECT %(q)s, id, body, deliveries, enqueued_at, now(), %(reason)s FROM gone"""

_PEEK = """
SELECT id,
       CASE WHEN due_at <= now() THEN 'ready' WHEN deliveries = 0 THEN 'scheduled'
            ELSE 'leased' END,
       deliveries, extract(epoch FROM enqueued_at)::float8,
       CASE WHEN due_at > now() THEN extract(epoch FROM due_at)::float8 END,
       octet_length(body), CASE WHEN %(bodies)s THEN body END,
       CASE WHEN due_at > now() AND lease IS NOT NULL
            THEN extract(epoch FROM started_at)::float8 END,
       CASE WHEN due_at > now() AND lease IS NOT NULL THEN extensions ELSE 0 END,
       CASE WHEN due_at > now() AND lease IS NOT NULL THEN consumer END
FROM tarnwick_messages WHERE queue = %(q)s ORDER BY id LIMIT %(n)s"""

_STATS = """
WITH oldest AS (
  SELECT id, extract(epoch FROM started_at)::float8 AS started FROM tarnwick_messages
  WHERE queue = %(q)s AND due_at > now() AND lease IS NOT NULL AND started_at IS NOT NULL
  ORDER BY started_at, id LIMIT 1)
SELECT count(*) FILTER (WHERE due_at <= now()),
       count(*) FILTER (WHERE due_at > now()),
       count(*) FILTER (WHERE due_at > now() AND deliveries = 0),
       count(*), coalesce(sum(octet_length(body)), 0),
       (SELECT count(*) FROM tarnwick_dead_letters WHERE queue = %(q)s),
       (SELECT id FROM oldest), (SELECT started FROM oldest)
FROM tarnwick_messages WHERE queue = %(q)s"""

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



def channel_of(name: str) -> str:
    """The LISTEN channel of a queue: any queue name maps to a plain identifier."""
    return "tarnwick_" + hashlib.sha1(name.encode()).hexdigest()[:24]


class PostgresDriver(Driver):
    """The driver for the queue `name` in the database that
    `dsn_or_connection` reaches (a connection string, or a psycopg connection
    in autocommit mode, which it uses until it breaks and never closes).
    Takes what PostgresQueue checked: `lease` in seconds, `max_deliveries`
    (None: no limit) up to MAX_DELIVERIES. Connects on creation (raising
    ConnectionLost when it cannot) and sets the schema up if needed.

    `link` runs each call on the connection and reconnects after a loss."""

    def __init__(self, dsn_or_connection: Union[str, psycopg.Connection[Any]], name: str, *,
                 lease: float, max_deliveries: Optional[int],
                 consumer_id: Optional[str] = None) -> None:
        self.name = name
        self._consumer_id = consumer_id
        self._lease = min(lease, _FAR)
        self._max_deliveries = max_deliveries
        self._channel = channel_of(name)
        self.link = Link(dsn_or_connection)
        self._listeners = Listeners(self.link.conninfo, self._channel)
        try:
            self.link.run("opening the queue", "nothing was done", lambda conn: None)
        except BaseException:
            self.close()
            raise

    def _run(self, what: str, after_loss: str, sql: str, params: Any,
             binary: bool = False) -> psycopg.Cursor[Any]:
        return self.link.run(what, after_loss,
                             lambda conn: conn.execute(sql, params, binary=binary))

    # --- producing ---

    def put(self, body: bytes, delay: float,
            connection: Optional[psycopg.Connection[Any]] = None) -> int:
        """With `connection`, the insert runs in that connection's current
        transaction: the message exists only if that transaction commits."""
        return self.put_many([body], delay, connection)[0]

    def put_many(self, bodies: List[bytes], delay: float,
                 connection: Optional[psycopg.Connection[Any]] = None) -> List[int]:
        delay = min(delay, _FAR)
        if self.closed:
            raise ValueError("operation on a closed queue")
        if not bodies:
            return []
        bodies_arg: Union[bytes, List[bytes]]
        sql, bodies_arg = (_PUT_ONE, bodies[0]) if len(bodies) == 1 else (_PUT_MANY, bodies)
        params = {"q": self.name, "delay": delay, "bodies": bodies_arg, "ch": self._channel}
        if connection is not None:
            if not isinstance(connection, psycopg.Connection):
                raise TypeError("connection must be a psycopg.Connection, not "
                                f"{type(connection).__name__}")
            rows = connection.execute(sql, params).fetchall()
        else:
            rows = self._run("put", "the message may or may not have been stored", sql,
                             params).fetchall()
        return sorted(row[0] for row in rows)

    # --- consuming ---

    def take(self, count: int, lease: Optional[float]) -> Taken:
        sql = _TAKE if self._max_deliveries is None else _TAKE_BOUNDED
        params = {"q": self.name, "n": count,
                  "lease": self._lease if lease is None else min(lease, _FAR),
                  "max": self._max_deliveries, "relook": RELOOK,
                  # Asked each time: a forked child is another process.
                  "consumer": self._consumer_id or _consumer.default()}
        link = self.link

        def take(conn: psycopg.Connection[Any]) -> List[Any]:
            if link.pinned(conn):
                return conn.execute(sql, params, binary=True).fetchall()
            with conn.transaction():
                conn.execute(PIN_PLANS_HERE)
                return conn.execute(sql, params, binary=True).fetchall()

        taken: List[RowFields] = []
        while True:
            rows = link.run("get", "a message leased by the call is delivered again when its "
                            "lease ends", take)
            buried, until_due = rows[0][0], rows[0][1]
            # A row's token is its id with the lease's random UUID.
            taken.extend((id, body, deliveries, enqueued_at, due_at, (id, lease))
                         for _, _, id, body, deliveries, enqueued_at, due_at, lease in rows
                         if id is not None)
            # Messages sent to the dead letters made room for more.
            if not buried or len(taken) >= count:
                taken.sort(key=lambda row: row[0])
                return taken, None if taken else until_due
            params["n"] = count - len(taken)

    def watch(self) -> Watch:
        return self._listeners.get()

    # --- settling ---

    def _held(self, token: Tuple[int, Any], **more: Any) -> Any:
        return {"q": self.name, "id": token[0], "lease": token[1], **more}

    def ack(self, token: Tuple[int, Any]) -> bool:
        return self._run("ack", "the message may or may not have been acked", _ACK,
                         self._held(token)).rowcount == 1

    def ack_many(self, tokens: Sequence[Tuple[int, Any]]) -> List[int]:
        rows = self._run("ack_many", "the messages may or may not have been acked", _ACK_MANY,
                         {"q": self.name, "ids": [t[0] for t in tokens],
                          "leases": [t[1] for t in tokens]}, binary=True).fetchall()
        deleted = set(rows)
        return [i for i, t in enumerate(tokens) if t not in deleted]

    def nack(self, token: Tuple[int, Any], delay: float) -> bool:
        return self._run("nack", "the message may or may not have been returned; if not, it is "
                         "delivered again when its lease ends", _NACK,
                         self._held(token, delay=min(delay, _FAR),
                                    ch=self._channel)).rowcount == 1

    def bury(self, token: Tuple[int, Any], reason: str) -> bool:
        return self._run("dead", "the message may or may not have been moved to the dead "
                         "letters; if not, it is delivered again when its lease ends", _BURY,
                         self._held(token, reason=reason)).rowcount == 1

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

    def stats(self) -> QueueStats:
        row = self._run("stats", "nothing was changed", _STATS, {"q": self.name}).fetchone()
        assert row is not None
        ready, in_flight, scheduled, total, live_bytes, dead = (int(v) for v in row[:6])
        return {"ready": ready, "in_flight": in_flight, "scheduled": scheduled, "total": total,
                "live_bytes": live_bytes, "dead_letters": dead, "persistent": True,
                "oldest_running_id": row[6], "oldest_running_started_at": row[7]}

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
        self._run("purge", "the messages may or may not have been removed",
                  "DELETE FROM tarnwick_messages WHERE queue = %s", (self.name,))

    def flush(self) -> None:
        # Every call is committed before it returns: this only checks the link.
        self.link.run("flush", "nothing was changed", lambda conn: None)

    @property
    def closed(self) -> bool:
        return self.link.closed

    def close(self) -> None:
        self._listeners.close()
        self.link.close()
