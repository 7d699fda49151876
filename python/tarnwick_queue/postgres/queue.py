"""PostgresQueue: the face on a PostgreSQL database, shared by any number of
processes on any number of machines."""

from __future__ import annotations

import queue as _stdlib_queue
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Optional, Union

import psycopg

from .. import _checks, _consumer
from .._face import BaseQueue, Body, DeadLetters, PutOptions
from ..driver import Retention
from .driver import MAX_DELIVERIES, PostgresDriver, PostgresQueueStats, channel_of

if TYPE_CHECKING:
    from typing_extensions import Unpack

Empty = _stdlib_queue.Empty

_KEEP = Retention()

__all__ = ["Empty", "PostgresDeadLetters", "PostgresQueue", "channel_of", "check_name"]


def check_name(name: str) -> None:
    """Raises TypeError or ValueError for what cannot name a queue."""
    _checks.queue_name(name)


class PostgresQueue(BaseQueue):
    """A queue named `name` in a PostgreSQL database, shared by every client
    that opens the same name there. `dsn_or_connection` is a connection
    string, or a psycopg connection in autocommit mode (which the queue uses
    until it breaks; close() leaves it open).

    `lease` is the default lease in seconds; `max_deliveries` sends a message
    that would be delivered once more than that to the dead letters instead.
    A call whose connection breaks raises ConnectionLost; the next call
    connects again. `consumer_id` names who takes through this queue in its
    leases (peek() shows it): a short str of at most 64 bytes in UTF-8;
    None: `host:pid` of the taking process. `group_limit`: how many messages
    of one group may be leased at once, stored with the queue for every
    client; None keeps the stored one (1 for a new queue).

    `keep_acked`, `keep_dead` and `keep_cancelled`: the seconds this handle
    keeps the outcome of a message it acked, moved to the dead letters or
    cancelled, for status() and outcomes() (0: none kept). Expired outcomes
    are deleted in small batches by any client's settles and takes."""

    def __init__(self, dsn_or_connection: Union[str, psycopg.Connection[Any]],
                 name: str = "default", *, lease: float = 30.0,
                 max_deliveries: Optional[int] = None,
                 consumer_id: Optional[str] = None,
                 group_limit: Optional[int] = None,
                 keep_acked: float = _KEEP.acked,
                 keep_dead: float = _KEEP.dead,
                 keep_cancelled: float = _KEEP.cancelled) -> None:
        check_name(name)
        lease = _checks.positive_seconds(lease, "lease")
        max_deliveries = _checks.max_deliveries(max_deliveries, MAX_DELIVERIES,
                                                f"at most {MAX_DELIVERIES}")
        group_limit = _checks.group_limit(group_limit)
        retention = _checks.retention_of(keep_acked, keep_dead, keep_cancelled)
        self._pg = PostgresDriver(dsn_or_connection, name, lease=lease,
                                  max_deliveries=max_deliveries,
                                  consumer_id=_consumer.check(consumer_id),
                                  group_limit=group_limit, retention=retention)
        super().__init__(self._pg, PostgresDeadLetters(self._pg))
        self.name = name

    def put(self, body: Body, *, delay: float = 0.0,
            connection: Optional[psycopg.Connection[Any]] = None,
            **options: Unpack[PutOptions]) -> int:
        """Appends one message; it is delivered no earlier than `delay`
        seconds from now. Returns its id. `options` are the face's (priority,
        key, unique_for, group, headers). With `connection`, the insert runs
        in that connection's current transaction: the message exists only if
        that transaction commits."""
        if connection is None:
            return super().put(body, delay=delay, **options)
        return self._pg.put(_checks.body(body), _checks.seconds(delay, "delay"),
                            connection=connection, **_checks.put_options(options))

    def put_many(self, bodies: Iterable[Body], *, delay: float = 0.0, priority: int = 0,
                 group: Optional[str] = None, headers: Optional[Dict[str, str]] = None,
                 connection: Optional[psycopg.Connection[Any]] = None) -> List[int]:
        """Appends the messages in one transaction, all or none (with
        `connection`, in that connection's current one)."""
        if connection is None:
            return super().put_many(bodies, delay=delay, priority=priority, group=group,
                                    headers=headers)
        return self._pg.put_many(_checks.bodies(bodies), _checks.seconds(delay, "delay"),
                                 priority=_checks.priority(priority),
                                 group=_checks.name_option(group, "group"),
                                 headers=_checks.headers(headers), connection=connection)

    def stats(self) -> PostgresQueueStats:
        """The counts of the queue: ready, in_flight (leased), scheduled (due
        later), total, live_bytes (the bodies' size), dead_letters, paused,
        and acked_last_minute (see PostgresQueueStats)."""
        return self._pg.stats()

    def flush(self) -> None:
        """Every call is committed before it returns: nothing to force."""
        self._pg.flush()

    def purge(self) -> None:
        """Removes every message of the queue (the dead letters and the kept
        outcomes stay; ids are not handed out again)."""
        self._pg.purge()

    def close(self) -> None:
        """Closes the queue's connections (not one passed in); later calls
        raise ValueError."""
        self._pg.close()

    def __repr__(self) -> str:
        return f"PostgresQueue({self.name!r})" + (" (closed)" if self.closed else "")


class PostgresDeadLetters(DeadLetters):
    """The messages a queue parked: sent there with Message.dead(), or for
    exceeding max_deliveries. They live in the table tarnwick_dead_letters,
    one statement moving each message there from tarnwick_messages."""
