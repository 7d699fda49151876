"""Where an adapter's queues live: a directory, each queue a tarnwick queue
in a subdirectory, or a PostgreSQL database, each queue a PostgresQueue of
that name. The adapters open every queue through a store and never build a
backend themselves, so a new home for queues is added here alone.

`store.open(name, ...)` gives the queue and the sync to call after each put
or ack (see _sync.py): grouped syncs of the log on a directory; nothing on
PostgreSQL, where every call has committed when it returns.
"""

from __future__ import annotations

import fcntl
import os
import shutil
import uuid
from typing import Any, Callable, Optional, Set, Tuple

from .. import Queue
from .._face import QueueBackend
from ._sync import NoSync, open_queue

__all__ = ["AnyQueue", "DirectoryStore", "PostgresStore", "QueueStore", "store_for"]

# A tarnwick_queue.Queue or a tarnwick_queue.postgres.PostgresQueue: the
# adapters use only the face the two share.
AnyQueue = QueueBackend


class QueueStore:
    def check_name(self, name: str) -> None:
        """Raises TypeError or ValueError when `name` cannot name a queue here."""
        raise NotImplementedError

    def open(self, name: str, *, lease: float, sync_interval: float,
             max_deliveries: Optional[int]) -> Tuple[AnyQueue, Any]:
        """The queue `name` (created when new) and the sync to call after
        each put or ack."""
        raise NotImplementedError

    def holds(self, name: str) -> bool:
        """Whether the queue `name` exists, as a passive declaration asks."""
        raise NotImplementedError

    def remove(self, name: str) -> None:
        """Deletes the queue `name` with its messages and dead letters."""
        raise NotImplementedError

    def claim(self, name: str) -> Claim:
        """Marks the queue `name` as owned by this process until the claim is
        closed (or the process ends): remove_unclaimed() in any process then
        deletes it. For queues that live only as long as their owner."""
        return Claim()

    def remove_unclaimed(self) -> None:
        """Deletes every claimed queue whose claims have all ended."""

    def gone(self, owners: Set[str]) -> Set[str]:
        """Those of `owners` (claims' `owner`s, of any process) whose claims
        have ended: their queues are to be deleted with their bindings."""
        return set()

    def keep_claims(self) -> None:
        """Called now and then by a channel: keeps this process's claims
        held (see PostgresStore)."""

    def close(self) -> None:
        """Lets go of what the store holds (its claims' connection)."""

    def open_table(self, name: str) -> AnyQueue:
        """The durable queue that holds the adapter's table `name` (an
        exchange's bindings), apart from every queue open() names."""
        raise NotImplementedError


class Claim:
    # What a binding of the claimed queue records, for gone(); None where
    # the store tells a gone queue by itself (a directory: holds() is False).
    owner: Optional[str] = None

    def close(self) -> None:
        pass


class DirectoryStore(QueueStore):
    """Queues in subdirectories of `path`; `directory_of` turns a queue name
    into its subdirectory's name (kombu's names may hold any character)."""

    def __init__(self, path: str | os.PathLike[str], *,
                 directory_of: Callable[[str], str] = str) -> None:
        self.path = os.path.abspath(os.fspath(path))
        self._directory_of = directory_of
        os.makedirs(self.path, exist_ok=True)

    def location(self, name: str) -> str:
        directory = self._directory_of(name)
        if not directory or "/" in directory or "\0" in directory or directory in (".", ".."):
            raise ValueError(f"{name!r} cannot name a queue directory")
        return os.path.join(self.path, directory)

    def check_name(self, name: str) -> None:
        self.location(name)

    def open(self, name: str, *, lease: float, sync_interval: float,
             max_deliveries: Optional[int]) -> Tuple[AnyQueue, Any]:
        return open_queue(self.location(name), lease=lease, sync_interval=sync_interval,
                          max_deliveries=max_deliveries)

    def holds(self, name: str) -> bool:
        return os.path.isdir(self.location(name))

    # Tables live under "#tables": a name starting with "#" is no queue's
    # directory (directory_of quotes it) and remove_unclaimed passes it by.
    def open_table(self, name: str) -> AnyQueue:
        directory = os.path.join(self.path, "#tables")
        os.makedirs(directory, exist_ok=True)
        return Queue(os.path.join(directory, os.path.basename(self.location(name))))

    # A claim is a file ".owner-*" in the queue's directory that its process
    # holds a shared flock on: the kernel drops the lock when the process
    # ends, however it ends. It is locked under a name that remove_unclaimed
    # ignores and then renamed into place, so no one sees it unlocked.
    def claim(self, name: str) -> Claim:
        directory = self.location(name)
        token = f"{os.getpid()}-{uuid.uuid4().hex}"
        staged = os.path.join(directory, f".claiming-{token}")
        fd = os.open(staged, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        try:
            fcntl.flock(fd, fcntl.LOCK_SH)
            os.rename(staged, os.path.join(directory, f".owner-{token}"))
        except BaseException:
            os.close(fd)
            raise
        return _FileClaim(fd)

    def remove_unclaimed(self) -> None:
        for entry in os.scandir(self.path):
            if entry.is_dir(follow_symlinks=False) and not entry.name.startswith("#"):
                self._remove_if_unclaimed(entry.path)

    def _remove_if_unclaimed(self, directory: str) -> None:
        try:
            claims = [n for n in os.listdir(directory) if n.startswith(".owner-")]
        except OSError:
            return
        if not claims:
            return  # never claimed: an ordinary queue
        held = []
        try:
            for name in claims:
                try:
                    fd = os.open(os.path.join(directory, name), os.O_RDONLY | os.O_CLOEXEC)
                except FileNotFoundError:
                    continue
                held.append(fd)
                try:
                    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                except BlockingIOError:
                    return  # its owner is alive
            # Every claim has ended, and their locks are ours while it goes.
            self._remove_directory(directory)
        finally:
            for fd in held:
                os.close(fd)

    def remove(self, name: str) -> None:
        # First renamed out of the way in one step, so the name never shows a
        # half-deleted queue: whoever opens it afterwards gets a new, empty
        # one. A process that still has the old one open gets an OSError
        # (ENOENT) from its next call on it, never another queue's messages.
        # "#" never appears in a queue's directory name (directory_of
        # quotes it), so the tomb's name cannot be a queue's.
        self._remove_directory(self.location(name))

    def _remove_directory(self, directory: str) -> None:
        tomb = os.path.join(self.path, f"#removed-{os.getpid()}-{uuid.uuid4().hex}")
        try:
            os.rename(directory, tomb)
        except FileNotFoundError:
            return
        shutil.rmtree(tomb, ignore_errors=True)

    def __repr__(self) -> str:
        return f"DirectoryStore({self.path!r})"


class _FileClaim(Claim):
    def __init__(self, fd: int) -> None:
        self._fd: Optional[int] = fd

    def close(self) -> None:
        fd, self._fd = self._fd, None
        if fd is not None:
            os.close(fd)


class PostgresStore(QueueStore):
    """Queues in the database `dsn` names. No connection is made until a
    queue is opened; each queue keeps its own.

    A queue in the database is nothing but its rows, so a claimed queue
    whose owner ended cannot be told by looking for it. A claim here is a
    session's advisory lock (postgres/claims.py), and its owner is written
    into the bindings of the claimed queue: whoever meets a binding whose
    owner's claim has ended drops it and deletes the queue (the channel
    does, as it routes)."""

    def __init__(self, dsn: str) -> None:
        if not isinstance(dsn, str):
            raise TypeError(f"dsn must be a str (a libpq connection string), not "
                            f"{type(dsn).__name__}")
        if not dsn.strip():
            raise ValueError("dsn is empty")
        # psycopg is needed only by those who use it.
        from ..postgres.claims import Claims
        from ..postgres.queue import PostgresQueue, check_name
        self._queue_class = PostgresQueue
        self._check_name = check_name
        self._claims = Claims(dsn)
        self.dsn = dsn

    def check_name(self, name: str) -> None:
        self._check_name(name)

    def open(self, name: str, *, lease: float, sync_interval: float,
             max_deliveries: Optional[int]) -> Tuple[AnyQueue, Any]:
        # sync_interval belongs to the log: the server commits every call.
        queue = self._queue_class(self.dsn, name, lease=lease, max_deliveries=max_deliveries)
        return queue, NoSync()

    def holds(self, name: str) -> bool:
        # A queue in the database is nothing but its rows: an empty queue and
        # one never declared look the same, so every valid name is a queue.
        self.check_name(name)
        return True

    # A server queue's name may be any text, so a table's is told apart by
    # a prefix that kombu's and Celery's queue names do not use.
    def open_table(self, name: str) -> AnyQueue:
        return self._queue_class(self.dsn, f"#table {name}")

    def remove(self, name: str) -> None:
        queue = self._queue_class(self.dsn, name)
        try:
            queue.purge()
            queue.dead_letters.purge()
        finally:
            queue.close()

    def claim(self, name: str) -> Claim:
        self.check_name(name)
        return _SessionClaim(self._claims, self._claims.take())

    def gone(self, owners: Set[str]) -> Set[str]:
        keys = {int(o[len(_SESSION):]) for o in owners
                if o.startswith(_SESSION) and o[len(_SESSION):].isdigit()}
        return {f"{_SESSION}{key}" for key in self._claims.ended(keys)}

    def keep_claims(self) -> None:
        self._claims.keep()

    def close(self) -> None:
        self._claims.close()

    def __repr__(self) -> str:
        return "PostgresStore(<dsn>)"  # a DSN may carry a password


# A PostgreSQL claim's owner: this prefix and its advisory lock's key.
_SESSION = "pg-session:"


class _SessionClaim(Claim):
    def __init__(self, claims: Any, key: int) -> None:
        self._claims: Any = claims
        self._key = key
        self.owner = f"{_SESSION}{key}"

    def close(self) -> None:
        claims, self._claims = self._claims, None
        if claims is not None:
            claims.release(self._key)


def store_for(path: Optional[str | os.PathLike[str]], dsn: Optional[str], *,
              directory_of: Callable[[str], str] = str) -> QueueStore:
    """The store of a directory or of a DSN: exactly one of them is given."""
    if path is not None and dsn is not None:
        raise TypeError("give a directory (path) or a PostgreSQL dsn, not both")
    if dsn is not None:
        return PostgresStore(dsn)
    if path is None:
        raise TypeError("a directory (path) or a PostgreSQL dsn is needed")
    return DirectoryStore(path, directory_of=directory_of)
