"""The connections a PostgresQueue uses: one for its statements, replaced
after it breaks, and one per waiting thread that LISTENs for wake-ups."""

from __future__ import annotations

import select
import threading
import time
from typing import Callable, List, Optional, TypeVar, Union

import psycopg
from psycopg import pq
from psycopg.conninfo import conninfo_to_dict, make_conninfo

from .._fork import reset_after_fork
from ..waiting import LONGEST_WAIT, StopEvent, wait_readable
from .schema import ensure_schema

T = TypeVar("T")

# A waiting get sleeps until a notification, a stop, the next due time or its
# time-out: it does not look at the queue in between, so a change made
# without a notification (rows written by hand) is seen at the next look.
#
# A look that crosses another consumer's take is told to look again soon
# by the take itself (see RELOOK in driver.py).

# Without a LISTEN connection (the server is out of reach) it tries to make
# one this often.
RECONNECT_PAUSE = 2.0
# A LISTEN connection that breaks is seen at once: its socket turns readable
# (end of file, or an error). One whose peer dies silently (a host gone, a
# network cut) is found by TCP keepalives: probed after this many seconds
# idle, every KEEPALIVE_INTERVAL, given up after KEEPALIVE_COUNT unanswered
# probes, about a minute in all. Only where the DSN sets none of its own;
# a connection over a Unix socket has none.
LISTEN_KEEPALIVES = {"keepalives": "1", "keepalives_idle": "30", "keepalives_interval": "10",
                     "keepalives_count": "3"}
# Connections inherited by a forked child: never used there, and never freed,
# since freeing one would end the parent's session on the server.
_inherited: List[object] = []


def abandon_after_fork(conn: object) -> None:
    """In a forked child: keeps the parent's connection `conn` referenced
    and unused for good (freeing it would end the parent's session)."""
    _inherited.append(conn)


# Taking the oldest ready messages must walk the (queue, id) index in order
# and stop after a few rows. Where the statistics say a queue is small (not
# yet analyzed after a burst of puts, or one of many queues in the table),
# the planner prefers a bitmap scan of all the queue's rows and a sort: a
# hundred times slower on a deep queue. Set for the session on connections
# the queue makes; a take on a connection the caller gave sets it for its own
# transaction only (see pinned()).
PIN_PLANS = "SET enable_bitmapscan = off"
PIN_PLANS_HERE = "SET LOCAL enable_bitmapscan = off"


class ConnectionLost(ConnectionError):
    """The connection to PostgreSQL broke during the call (or could not be
    made). The call's outcome is unknown, as the message says; the next call
    connects again."""


def _connection_failed(conn: psycopg.Connection, exc: psycopg.Error) -> bool:
    """Whether `exc` means the connection broke, not that the statement
    failed. psycopg marks a connection broken once libpq has seen the break;
    a socket that fails while psycopg waits on it ("connection socket
    closed") raises before that. An error the server sent has an SQLSTATE;
    one raised on the client without one is the connection's, as are the
    server's connection errors (class 08) and the ones it sends as it ends
    the session (57P01 a fast shutdown, 57P02 a crash of another backend,
    57P03 not accepting connections yet), which may come before libpq has
    seen the socket close."""
    if conn.closed or conn.broken:
        return True
    state = exc.sqlstate
    if state is not None:
        return state.startswith("08") or state.startswith("57P0")
    return isinstance(exc, psycopg.OperationalError)


class Link:
    """The statement connection: made from a DSN, or the caller's own
    connection (which must be in autocommit mode) until that one breaks."""

    def __init__(self, target: Union[str, psycopg.Connection]) -> None:
        self._lock = threading.Lock()
        self._schema_checked = False
        self._conn: Optional[psycopg.Connection] = None
        self._borrowed: Optional[psycopg.Connection] = None
        if isinstance(target, str):
            self.conninfo = target
        elif isinstance(target, psycopg.Connection):
            if target.closed:
                raise ValueError("the connection given is closed")
            if not target.autocommit:
                raise ValueError("PostgresQueue needs a connection in autocommit mode (each of "
                                 "its calls is its own transaction); to enqueue inside a "
                                 "transaction of yours, pass it to put(..., connection=conn)")
            password = target.pgconn.password
            self.conninfo = make_conninfo(
                target.info.dsn, **({"password": password.decode()} if password else {}))
            self._conn = self._borrowed = target
        else:
            raise TypeError("PostgresQueue takes a DSN (str) or a psycopg.Connection, not "
                            f"{type(target).__name__}")
        self.closed = False
        reset_after_fork(self._after_fork)

    def _after_fork(self) -> None:
        # In a forked child: the inherited connection's socket is the
        # parent's session, so it is left alone (kept referenced, never
        # closed) and the child connects anew. The lock is replaced, not
        # taken: a parent's thread may have held it.
        if self._conn is not None:
            abandon_after_fork(self._conn)
        self._conn = self._borrowed = None
        self._lock = threading.Lock()

    def run(self, what: str, after_loss: str, fn: Callable[[psycopg.Connection], T]) -> T:
        """fn(connection) under this link's lock. A broken connection is
        dropped and reported as ConnectionLost, `after_loss` telling what
        became of the call."""
        with self._lock:
            conn = self._connection(what)
            try:
                if not self._schema_checked:
                    try:
                        ensure_schema(conn)
                    except psycopg.Error:
                        after_loss = "nothing was done"
                        raise
                    self._schema_checked = True
                result = fn(conn)
                if conn.broken:
                    # fn's last statement failed with the connection, after
                    # what it reports was done (an optional statement).
                    self._drop()
                return result
            except psycopg.Error as exc:
                if not _connection_failed(conn, exc):
                    raise
                self._drop()
                raise ConnectionLost(f"{what}: the connection to PostgreSQL was lost ({exc}); "
                                     f"{after_loss}; the next call connects again") from exc

    def _connection(self, what: str) -> psycopg.Connection:
        if self.closed:
            raise ValueError("operation on a closed queue")
        if self._conn is None:
            try:
                conn = psycopg.connect(self.conninfo, autocommit=True)
                try:
                    conn.execute(PIN_PLANS)
                except BaseException:
                    conn.close()
                    raise
                self._conn = conn
            except psycopg.Error as exc:
                raise ConnectionLost(f"{what}: cannot connect to PostgreSQL ({exc}); nothing "
                                     "was done") from exc
        return self._conn

    def pinned(self, conn: psycopg.Connection) -> bool:
        """Whether `conn` has the plan setting for its session: a connection
        the caller gave has not."""
        return conn is not self._borrowed

    def _drop(self) -> None:
        conn, self._conn = self._conn, None
        if conn is not None and conn is not self._borrowed:
            conn.close()
        self._borrowed = None

    def close(self) -> None:
        with self._lock:
            if self.closed:
                return
            self.closed = True
            self._drop()


# A drain reads at most this many times; a socket readable after them (a
# stream of notifications) ends the next wait at once, which drains again.
DRAIN_ROUNDS = 8


def _readable(fd: int) -> bool:
    poller = select.poll()
    poller.register(fd, select.POLLIN)
    return bool(poller.poll(0))


class Listener:
    """One thread's LISTEN connection on a queue's channel. arm() drains what
    arrived so far; wait() sleeps until a notification arrives after the
    arming, the time-out passes, or the connection breaks."""

    def __init__(self, conninfo: str, channel: str) -> None:
        self._conninfo = listen_conninfo(conninfo)
        self._channel = channel
        self._pg: Optional[pq.abc.PGconn] = None

    def _connect(self) -> bool:
        pg = pq.PGconn.connect(self._conninfo.encode())
        if pg.status != pq.ConnStatus.OK:
            pg.finish()
            return False
        result = pg.exec_(f"LISTEN {self._channel}".encode())
        if result.status != pq.ExecStatus.COMMAND_OK:
            pg.finish()
            return False
        self._pg = pg
        return True

    def _drain(self) -> None:
        pg = self._pg
        if pg is None:
            return
        try:
            # The socket still readable after a read is read again: a
            # session the server ended (a restart) shows its end of file
            # only on the read after its last message.
            for _ in range(DRAIN_ROUNDS):
                pg.consume_input()
                while pg.notifies() is not None:
                    pass
                if not _readable(pg.socket):
                    break
        except psycopg.OperationalError:
            self.close()
            return
        if pg.status != pq.ConnStatus.OK:
            self.close()

    def arm(self) -> None:
        # A connection the drain finds broken (the server restarted) is
        # made anew at once, so the wait after a restart listens again.
        if self._pg is not None:
            self._drain()
        if self._pg is None:
            self._connect()

    def fileno(self) -> Optional[int]:
        """The listening socket, or None while there is no connection."""
        return None if self._pg is None else self._pg.socket

    def wait(self, timeout: float, stop: Optional[StopEvent] = None) -> None:
        """Also ends once `stop` (if given) is set. The caller's `timeout`
        already ends at the next due time (a lease or delay ending)."""
        timeout = min(timeout, LONGEST_WAIT)
        fds = [] if stop is None else [stop.fileno()]
        if self._pg is None:
            # No connection to listen on (the server may be down): the next
            # look reconnects, or reports the failure.
            timeout = min(timeout, RECONNECT_PAUSE)
            if fds:
                wait_readable(fds, timeout)
            else:
                time.sleep(timeout)
            return
        poller = select.poll()
        # POLLIN also reports a socket the server closed; POLLERR and POLLHUP
        # (always reported) one that failed. Either way the drain below
        # finds the connection broken, and the next arm() makes a new one.
        poller.register(self._pg.socket, select.POLLIN)
        for fd in fds:
            poller.register(fd, select.POLLIN)
        if poller.poll(max(0, int(timeout * 1000 + 0.999))):
            self._drain()

    def close(self) -> None:
        pg, self._pg = self._pg, None
        if pg is not None:
            pg.finish()


class Listeners:
    """A Listener per thread, as each waiting thread needs wake-ups of its own."""

    def __init__(self, conninfo: str, channel: str) -> None:
        self._conninfo = conninfo
        self._channel = channel
        self._lock = threading.Lock()
        self._all: List[Listener] = []
        self._local = threading.local()
        reset_after_fork(self._after_fork)

    def _after_fork(self) -> None:
        # In a forked child: as Link's, the parent's sessions stay untouched.
        _inherited.extend(self._all)
        self._all = []
        self._local = threading.local()
        self._lock = threading.Lock()

    def get(self) -> Listener:
        listener = getattr(self._local, "listener", None)
        if listener is None:
            listener = Listener(self._conninfo, self._channel)
            self._local.listener = listener
            with self._lock:
                self._all.append(listener)
        return listener

    def close(self) -> None:
        with self._lock:
            listeners, self._all = self._all, []
        for listener in listeners:
            listener.close()


def listen_conninfo(conninfo: str) -> str:
    """`conninfo` with LISTEN_KEEPALIVES for the parameters it leaves unset."""
    try:
        given = conninfo_to_dict(conninfo)
    except psycopg.ProgrammingError:
        return conninfo  # connecting reports it
    missing = {k: v for k, v in LISTEN_KEEPALIVES.items() if k not in given}
    return make_conninfo(conninfo, **missing) if missing else conninfo
