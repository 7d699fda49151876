"""PostgresQueue: the face on a PostgreSQL database, shared by any number of
processes on any number of machines."""

from __future__ import annotations

import hashlib
import queue as _stdlib_queue
import time
from typing import Any, Callable, Iterable, List, Optional, Tuple, Union

import psycopg

from .._types import (Body, DeadLetter, Message, MessageInfo, QueueStats, _bodies, _body, _ids,
                      _messages, _non_negative_int, _optional_count, _positive_seconds,
                      _seconds, _settle_acked)
from .._consuming import BlockingConsumer
from ..local import _lost
from ..waiting import StopEvent
from .connection import PIN_PLANS_HERE, Link, Listeners

Empty = _stdlib_queue.Empty

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
      due_at = now() + %(lease)s * interval '1 second'
  FROM picked
  WHERE m.queue = %(q)s AND m.id = picked.id {only_live}
  RETURNING m.id, m.body, m.deliveries, extract(epoch FROM m.enqueued_at)::float8 AS enq,
            extract(epoch FROM m.due_at)::float8 AS due, m.lease)
SELECT {buried},
       CASE WHEN NOT EXISTS (SELECT FROM taken) THEN
         (SELECT extract(epoch FROM min(due_at) - now())::float8 FROM tarnwick_messages
          WHERE queue = %(q)s AND due_at > now()) END,
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
_NACK = (f"UPDATE tarnwick_messages SET lease = NULL, "
         f"due_at = now() + %(delay)s * interval '1 second' WHERE {_HELD} "
         "RETURNING pg_notify(%(ch)s, '')")
_EXTEND = (f"UPDATE tarnwick_messages SET due_at = now() + %(lease_s)s * interval '1 second' "
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
       octet_length(body), CASE WHEN %(bodies)s THEN body END
FROM tarnwick_messages WHERE queue = %(q)s ORDER BY id LIMIT %(n)s"""

_STATS = """
SELECT count(*) FILTER (WHERE due_at <= now()),
       count(*) FILTER (WHERE due_at > now()),
       count(*) FILTER (WHERE due_at > now() AND deliveries = 0),
       count(*), coalesce(sum(octet_length(body)), 0),
       (SELECT count(*) FROM tarnwick_dead_letters WHERE queue = %(q)s)
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

_MAX_DELIVERIES = 2**31 - 2  # deliveries are an integer column
# Longer delays and leases are cut to this (some 31,700 years), which keeps
# every deadline within the range of timestamptz.
_FAR = 1e12


def channel_of(name: str) -> str:
    """The LISTEN channel of a queue: any queue name maps to a plain identifier."""
    return "tarnwick_" + hashlib.sha1(name.encode()).hexdigest()[:24]


def check_name(name: str) -> None:
    """Raises TypeError or ValueError for what cannot name a queue."""
    if not isinstance(name, str):
        raise TypeError(f"name must be str, not {type(name).__name__}")
    if not name or len(name) > 200 or "\x00" in name:
        raise ValueError("name must be 1 to 200 characters, without NUL")


class PostgresQueue(BlockingConsumer):
    """A queue named `name` in a PostgreSQL database, shared by every client
    that opens the same name there. `dsn_or_connection` is a connection
    string, or a psycopg connection in autocommit mode (which the queue uses
    until it breaks; close() leaves it open).

    `lease` is the default lease in seconds; `max_deliveries` sends a message
    that would be delivered once more than that to the dead letters instead.
    A call whose connection breaks raises ConnectionLost; the next call
    connects again."""

    def __init__(self, dsn_or_connection: Union[str, "psycopg.Connection"],
                 name: str = "default", *, lease: float = 30.0,
                 max_deliveries: Optional[int] = None) -> None:
        check_name(name)
        self._lease = min(_positive_seconds(lease, "lease"), _FAR)
        self._max_deliveries = _optional_count(max_deliveries, "max_deliveries")
        if self._max_deliveries is not None and self._max_deliveries > _MAX_DELIVERIES:
            raise ValueError(f"max_deliveries must be at most {_MAX_DELIVERIES}")
        self.name = name
        self._channel = channel_of(name)
        self._due_at: Optional[float] = None  # seen by the last take that found nothing
        self._link = Link(dsn_or_connection)
        self._listeners = Listeners(self._link.conninfo, self._channel)
        try:
            self._link.run("opening the queue", "nothing was done", lambda conn: None)
        except BaseException:
            self.close()
            raise
        self.dead_letters = PostgresDeadLetters(self)

    def _run(self, what: str, after_loss: str, sql: str, params: Any, binary: bool = False):
        return self._link.run(what, after_loss,
                              lambda conn: conn.execute(sql, params, binary=binary))

    # --- producing ---

    def put(self, body: Body, *, delay: float = 0.0,
            connection: Optional["psycopg.Connection"] = None) -> int:
        """Appends one message; it is delivered no earlier than `delay`
        seconds from now. Returns its id. With `connection`, the insert runs
        in that connection's current transaction: the message exists only if
        that transaction commits."""
        return self._put([_body(body)], delay, connection)[0]

    def put_many(self, bodies: Iterable[Body], *, delay: float = 0.0,
                 connection: Optional["psycopg.Connection"] = None) -> List[int]:
        """Appends the messages in one transaction; all or none."""
        return self._put(_bodies(bodies), delay, connection)

    def _put(self, bodies: List[bytes], delay: float,
             connection: Optional["psycopg.Connection"]) -> List[int]:
        delay = min(_seconds(delay, "delay"), _FAR)
        if self.closed:
            raise ValueError("operation on a closed queue")
        if not bodies:
            return []
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

    # --- consuming: get(), get_many() and iteration come from BlockingConsumer ---

    def _lease_arg(self, lease: Optional[float]) -> float:
        return self._lease if lease is None else min(_positive_seconds(lease, "lease"), _FAR)

    def _arm(self) -> Callable[[float, Optional[StopEvent]], None]:
        listener = self._listeners.get()
        listener.arm()
        return listener.wait

    def _take_now(self, count: int, lease_s: float,
                  want_due: bool = True) -> Tuple[List[Message], Optional[float]]:
        """The messages leased, and when none, the seconds until the earliest
        lease or delay ends (None: nothing pending)."""
        sql = _TAKE if self._max_deliveries is None else _TAKE_BOUNDED
        params = {"q": self.name, "n": count, "lease": lease_s, "max": self._max_deliveries}
        messages: List[Message] = []
        def take(conn: "psycopg.Connection") -> list:
            if self._link.pinned(conn):
                return conn.execute(sql, params, binary=True).fetchall()
            with conn.transaction():
                conn.execute(PIN_PLANS_HERE)
                return conn.execute(sql, params, binary=True).fetchall()

        while True:
            rows = self._link.run("get", "a message leased by the call is delivered again when "
                                  "its lease ends", take)
            buried, until_due = rows[0][0], rows[0][1]
            for _, _, id, body, deliveries, enqueued_at, due_at, lease in rows:
                if id is not None:
                    messages.append(Message(self, id, body, deliveries, enqueued_at, due_at,
                                            lease))
            # Messages sent to the dead letters made room for more.
            if not buried or len(messages) >= count:
                messages.sort(key=lambda m: m.id)
                if messages:
                    return messages, None
                self._due_at = None if until_due is None else time.time() + until_due
                return messages, until_due
            params["n"] = count - len(messages)

    # --- waiting in an event loop (AsyncQueue) ---

    def _arm_watch(self) -> Optional[int]:
        """The calling thread's LISTEN socket, drained: it turns readable
        when a notification arrives after this call (or the connection
        breaks). None while the server cannot be reached."""
        listener = self._listeners.get()
        listener.arm()
        return listener.fileno()

    def _next_due(self) -> Optional[float]:
        """When the earliest lease or delay ends (epoch seconds), as the last
        take that found nothing saw it."""
        return self._due_at

    # --- settling, called by Message ---

    def _held(self, message: Message, **more: Any) -> dict:
        if message._settled:
            raise _lost(message)
        return {"q": self.name, "id": message.id, "lease": message._lease, **more}

    def _ack(self, message: Message) -> None:
        cur = self._run("ack", "the message may or may not have been acked", _ACK,
                        self._held(message))
        if cur.rowcount != 1:
            raise _lost(message)

    def ack_many(self, messages: Iterable[Message]) -> None:
        """Acks the messages received through this queue in one statement
        (one commit). Those whose lease is no longer current, already settled
        ones and messages of another queue object are not acked: once the
        others are, LeaseLost names them in its `lost` list. The same
        message given twice is acked once."""
        batch = _messages(messages)
        mine = [m for m in batch if m._queue is self and not m._settled]
        refused: List[int] = []
        if mine:
            rows = self._run("ack_many", "the messages may or may not have been acked",
                             _ACK_MANY, {"q": self.name, "ids": [m.id for m in mine],
                                         "leases": [m._lease for m in mine]},
                             binary=True).fetchall()
            deleted = set(rows)
            refused = [i for i, m in enumerate(mine) if (m.id, m._lease) not in deleted]
        _settle_acked(batch, mine, refused)

    def _nack(self, message: Message, delay: float) -> None:
        cur = self._run("nack", "the message may or may not have been returned; if not, it "
                        "is delivered again when its lease ends", _NACK,
                        self._held(message, delay=min(delay, _FAR), ch=self._channel))
        if cur.rowcount != 1:
            raise _lost(message)

    def _dead(self, message: Message, reason: str) -> None:
        cur = self._run("dead", "the message may or may not have been moved to the dead "
                        "letters; if not, it is delivered again when its lease ends", _BURY,
                        self._held(message, reason=reason))
        if cur.rowcount != 1:
            raise _lost(message)

    def _extend(self, message: Message, seconds: Optional[float]) -> float:
        lease_s = self._lease_arg(seconds)
        row = self._run("extend", "the lease may or may not have been renewed", _EXTEND,
                        self._held(message, lease_s=lease_s)).fetchone()
        if row is None:
            raise _lost(message)
        return row[0]

    # --- looking ---

    def peek(self, limit: int = 10, *, bodies: bool = False) -> List[MessageInfo]:
        """Up to `limit` messages, smallest id first, without leasing them or
        writing anything."""
        _non_negative_int(limit, "limit")
        rows = self._run("peek", "nothing was changed", _PEEK,
                         {"q": self.name, "n": limit, "bodies": bool(bodies)},
                         binary=True).fetchall()
        return [MessageInfo(*row) for row in rows]

    def stats(self) -> QueueStats:
        """The counts of the queue: ready, in_flight (leased or scheduled),
        scheduled, total, live_bytes (the bodies' size) and dead_letters."""
        row = self._run("stats", "nothing was changed", _STATS, {"q": self.name}).fetchone()
        ready, in_flight, scheduled, total, live_bytes, dead = (int(v) for v in row)
        return {"ready": ready, "in_flight": in_flight, "scheduled": scheduled, "total": total,
                "live_bytes": live_bytes, "dead_letters": dead, "persistent": True}

    def qsize(self) -> int:
        """Messages ready to be leased now."""
        return self.stats()["ready"]

    def flush(self) -> None:
        """Every call is committed before it returns: nothing to force."""
        self._link.run("flush", "nothing was changed", lambda conn: None)

    def purge(self) -> None:
        """Removes every message of the queue (the dead letters stay)."""
        self._run("purge", "the messages may or may not have been removed",
                  "DELETE FROM tarnwick_messages WHERE queue = %s", (self.name,))

    # --- life cycle ---

    @property
    def closed(self) -> bool:
        return self._link.closed

    def close(self) -> None:
        """Closes the queue's connections (not one passed in); later calls
        raise ValueError."""
        self._listeners.close()
        self._link.close()

    def __repr__(self) -> str:
        return f"PostgresQueue({self.name!r})" + (" (closed)" if self.closed else "")


class PostgresDeadLetters:
    """The messages a queue parked: sent there with Message.dead(), or for
    exceeding max_deliveries. They live in the table tarnwick_dead_letters,
    one statement moving each message there from tarnwick_messages."""

    def __init__(self, owner: PostgresQueue) -> None:
        self._owner = owner

    def __len__(self) -> int:
        return self._owner._run("dead_letters", "nothing was changed",
                                "SELECT count(*) FROM tarnwick_dead_letters WHERE queue = %s",
                                (self._owner.name,)).fetchone()[0]

    def list(self, limit: Optional[int] = None) -> List[DeadLetter]:
        """The dead letters, oldest first (at most `limit`)."""
        if limit is not None and (isinstance(limit, bool) or not isinstance(limit, int)):
            raise TypeError(f"limit must be an int or None, not {type(limit).__name__}")
        if limit is not None and limit < 0:
            raise ValueError(f"limit must be >= 0, not {limit}")
        rows = self._owner._run("dead_letters", "nothing was changed", _DEAD_LIST,
                                (self._owner.name, limit), binary=True).fetchall()
        return [DeadLetter(*row) for row in rows]

    def requeue(self, ids: Optional[Iterable[int]] = None) -> int:
        """Puts the named dead letters (all when None) back as new messages;
        returns how many."""
        chosen = _ids(ids)
        if chosen is not None and not chosen:
            return 0
        owner = self._owner

        def requeue(conn: "psycopg.Connection") -> int:
            with conn.transaction():
                (count,) = conn.execute(_DEAD_REQUEUE, {
                    "q": owner.name, "ids": None if chosen is None else list(chosen)}).fetchone()
                if count:
                    conn.execute("SELECT pg_notify(%s, '')", (owner._channel,))
            return count

        return owner._link.run("requeue", "the dead letters may or may not have been "
                               "requeued", requeue)

    def purge(self) -> int:
        """Deletes every dead letter; returns how many."""
        return self._owner._run("purge", "the dead letters may or may not have been deleted",
                                "DELETE FROM tarnwick_dead_letters WHERE queue = %s",
                                (self._owner.name,)).rowcount

