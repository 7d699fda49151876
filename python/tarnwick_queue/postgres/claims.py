"""Claims that last as long as a process's session with the server: what a
queue that lives only as long as its owner needs on PostgreSQL (the kombu
transport's auto_delete queues), where no file lock tells that a process
has ended.

A claim is a session-level advisory lock on a connection of its Claims
object. The server drops it when the session ends, however the process
ends: a killed process's socket is closed by its kernel, and the server
ends the session at once. Any role may ask which claims are still held
(pg_locks). A session can also end while its process lives, when the
server restarts or the connection breaks: keep(), called now and then by
the owner, connects again and takes its claims anew. So a claim is taken
to have ended only once it has been seen unheld in looks ENDED_GRACE
seconds apart, longer than an owner takes to come back.
"""

from __future__ import annotations

import secrets
import threading
import time
from typing import Dict, Iterable, Optional, Set

import psycopg

from .._fork import reset_after_fork
from .connection import ConnectionLost, abandon_after_fork

# A claim seen unheld is taken to have ended when it is still unheld this
# many seconds later.
ENDED_GRACE = 15.0
# How often keep() looks at the claims' connection at most (seconds).
KEEP_EVERY = 2.0
# How long the answer of a look at the held claims is reused (seconds).
LOOK_EVERY = 1.0

_HELD = """
SELECT (l.classid::bigint << 32) | l.objid::bigint FROM pg_locks l
WHERE l.locktype = 'advisory' AND l.objsubid = 1 AND l.granted
  AND l.database = (SELECT oid FROM pg_database WHERE datname = current_database())
  AND ((l.classid::bigint << 32) | l.objid::bigint) = ANY(%(keys)s)"""


class Claims:
    """This process's claims in the database `dsn`, and its looks at others'.
    A claim is a random positive 62-bit key; no connection is made until
    one is taken or looked at. Thread-safe; a forked child starts with none
    (the parent's session and its claims stay the parent's)."""

    def __init__(self, dsn: str) -> None:
        self._dsn = dsn
        self._start()
        reset_after_fork(self._after_fork)

    def _start(self) -> None:
        self._lock = threading.Lock()
        self._conn: Optional[psycopg.Connection] = None
        self._mine: Set[int] = set()
        self._kept_at = time.monotonic()
        self._looked_at = -LOOK_EVERY
        self._held: Set[int] = set()      # of the keys last looked at
        self._looked: Set[int] = set()
        self._unheld_since: Dict[int, float] = {}

    def _after_fork(self) -> None:
        if self._conn is not None:
            abandon_after_fork(self._conn)
        self._start()

    def take(self) -> int:
        """A new claim, held until release() or the end of this process."""
        key = secrets.randbits(62) | 1
        with self._lock:
            try:
                self._connection().execute("SELECT pg_advisory_lock(%s)", (key,))
            except psycopg.Error as exc:
                self._drop()
                raise ConnectionLost(f"taking a claim: {exc}; nothing was claimed") from exc
            self._mine.add(key)
        return key

    def release(self, key: int) -> None:
        with self._lock:
            if key not in self._mine:
                return
            self._mine.discard(key)
            if self._conn is not None:
                try:
                    self._conn.execute("SELECT pg_advisory_unlock(%s)", (key,))
                except psycopg.Error:
                    self._drop()  # its session, and so the lock, is gone with it

    def keep(self) -> None:
        """At most every KEEP_EVERY seconds: makes sure this process's claims
        are held, connecting again and taking them anew if the connection
        broke. A failure to reach the server is left to the next keep()."""
        now = time.monotonic()
        with self._lock:
            if not self._mine or now - self._kept_at < KEEP_EVERY:
                return
            self._kept_at = now
            try:
                if self._conn is not None:
                    self._conn.execute("SELECT 1")
                    return
            except psycopg.Error:
                self._drop()
            try:
                conn = self._connection()
                for key in self._mine:
                    conn.execute("SELECT pg_advisory_lock(%s)", (key,))
            except psycopg.Error:
                self._drop()

    def ended(self, keys: Iterable[int]) -> Set[int]:
        """Those of `keys` held by no session now, and not either when first
        looked at, at least ENDED_GRACE seconds ago; never one of this
        process's own. Looks are reused for LOOK_EVERY seconds; a look that
        fails (the server out of reach) finds none ended."""
        wanted = set(keys) - self._mine
        if not wanted:
            return set()
        now = time.monotonic()
        with self._lock:
            if not wanted <= self._looked or now - self._looked_at >= LOOK_EVERY:
                try:
                    rows = self._connection().execute(_HELD, {"keys": list(wanted)}).fetchall()
                except psycopg.Error:
                    self._drop()
                    return set()
                self._held = {int(row[0]) for row in rows}
                self._looked, self._looked_at = wanted, now
            for key in wanted & self._held:
                self._unheld_since.pop(key, None)
            ended = set()
            for key in wanted - self._held:
                since = self._unheld_since.setdefault(key, now)
                if now - since >= ENDED_GRACE:
                    ended.add(key)
            return ended

    def close(self) -> None:
        with self._lock:
            self._mine.clear()
            self._drop()

    def _connection(self) -> psycopg.Connection:
        if self._conn is None:
            self._conn = psycopg.connect(self._dsn, autocommit=True)
        return self._conn

    def _drop(self) -> None:
        conn, self._conn = self._conn, None
        if conn is not None:
            try:
                conn.close()
            except psycopg.Error:
                pass


__all__ = ["ENDED_GRACE", "Claims"]
