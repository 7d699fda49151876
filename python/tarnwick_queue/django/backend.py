"""TarnwickBackend: Django's tasks kept in tarnwick queues, one queue per
queue name, in a directory (OPTIONS["PATH"]) or a PostgreSQL database
(OPTIONS["DSN"]). A task is one message: its task path, arguments and
run_after travel in the message's headers, so that its status (live or
finished) tells everything a TaskResult shows; its return value is the
ack's result, each failed attempt's exception the delivery's error.
"""

from __future__ import annotations

import json
import math
import os
import re
import secrets
import threading
import time
from dataclasses import dataclass
from datetime import datetime
from datetime import timezone as dt_timezone
from typing import Any, Dict, List, Optional, Sequence, Tuple

from django.conf import settings
from django.core import checks
from django.core.exceptions import ImproperlyConfigured
from django.utils import timezone
from django.utils.module_loading import import_string

from .. import BaseQueue, Status
from ._compat import (
    BaseTaskBackend,
    Json,
    Task,
    TaskError,
    TaskResult,
    TaskResultDoesNotExist,
    TaskResultStatus,
    normalize_json,
    task_enqueued,
)

#: The message header that carries a task: its path, arguments and run_after.
HEADER = "django-task"

#: The options' defaults (docs/django.md says what each does).
DEFAULT_LEASE = 60.0
DEFAULT_MAX_ATTEMPTS = 3
DEFAULT_BACKOFF = (1.0, 2.0, 300.0)
DEFAULT_KEEP_RESULTS = 86400.0

OPTION_NAMES = ("PATH", "DSN", "DATABASE", "LEASE", "MAX_ATTEMPTS", "BACKOFF", "KEEP_RESULTS",
                "PREALLOCATE")

# What a queue name may be under PATH: one directory name, nothing a path
# could climb out of.
_DIRECTORY_NAME = re.compile(r"[A-Za-z0-9_][A-Za-z0-9_.-]{0,199}\Z")
_RESULT_ID = re.compile(r"(?P<queue>.+):(?P<id>0|[1-9][0-9]{0,18}):(?P<nonce>[0-9a-f]{12})\Z")

_STATES = {
    "ready": TaskResultStatus.READY,
    "scheduled": TaskResultStatus.READY,
    "leased": TaskResultStatus.RUNNING,
    "acked": TaskResultStatus.SUCCESSFUL,
    "dead": TaskResultStatus.FAILED,
    "cancelled": TaskResultStatus.FAILED,
}


class WorkerLost(Exception):
    """The error of an attempt that left no exception: its worker died (or
    lost the task's lease) before the task finished."""


@dataclass(frozen=True)
class Options:
    """A backend's OPTIONS, checked."""

    path: Optional[str]
    dsn: Optional[str]
    database: Optional[str]  # a DATABASES alias whose transaction a put joins
    lease: float
    max_attempts: int
    backoff: Tuple[float, float, float]
    keep_results: float
    preallocate: bool = False  # with PATH: each queue on a preallocated log

    def retry_delay(self, attempt: int) -> float:
        """The pause before the attempt after a failed `attempt`-th."""
        first, factor, cap = self.backoff
        try:
            return float(min(cap, first * factor ** max(0, attempt - 1)))
        except OverflowError:
            return cap


def _seconds(value: Any, name: str, *, positive: bool = False) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ImproperlyConfigured(f"the tarnwick task backend's {name} must be a number of "
                                   f"seconds, not {type(value).__name__}")
    if not math.isfinite(value) or value < 0 or (positive and value == 0):
        least = "above 0" if positive else ">= 0"
        raise ImproperlyConfigured(f"the tarnwick task backend's {name} must be finite and "
                                   f"{least}, not {value!r}")
    return float(value)


def parse_options(options: Dict[str, Any]) -> Options:
    """OPTIONS checked, with the defaults filled in; ImproperlyConfigured
    names what is wrong."""
    if not isinstance(options, dict):
        raise ImproperlyConfigured("the tarnwick task backend's OPTIONS must be a dict")
    unknown = sorted(str(k) for k in options if k not in OPTION_NAMES)
    if unknown:
        raise ImproperlyConfigured(f"the tarnwick task backend has no option {unknown[0]!r}; "
                                   f"it takes {', '.join(OPTION_NAMES)}")
    path, dsn = options.get("PATH"), options.get("DSN")
    if (path is None) == (dsn is None):
        raise ImproperlyConfigured("the tarnwick task backend needs exactly one of OPTIONS "
                                   "PATH (a directory) and DSN (a PostgreSQL connection "
                                   "string)")
    if path is not None:
        if not isinstance(path, (str, os.PathLike)):
            raise ImproperlyConfigured("the tarnwick task backend's PATH must be a str or a "
                                       f"path, not {type(path).__name__}")
        path = os.fspath(path)
        if not isinstance(path, str) or not path:
            raise ImproperlyConfigured("the tarnwick task backend's PATH must be a directory")
    if dsn is not None and (not isinstance(dsn, str) or not dsn):
        raise ImproperlyConfigured("the tarnwick task backend's DSN must be a non-empty str")
    database = options.get("DATABASE")
    if database is not None and (not isinstance(database, str) or dsn is None):
        raise ImproperlyConfigured("the tarnwick task backend's DATABASE names the Django "
                                   "database (a DATABASES alias) whose transactions enqueue "
                                   "joins, with DSN on the same PostgreSQL database")
    attempts = options.get("MAX_ATTEMPTS", DEFAULT_MAX_ATTEMPTS)
    if isinstance(attempts, bool) or not isinstance(attempts, int) or attempts < 1:
        raise ImproperlyConfigured("the tarnwick task backend's MAX_ATTEMPTS must be an int "
                                   f">= 1, not {attempts!r}")
    backoff = options.get("BACKOFF", DEFAULT_BACKOFF)
    try:
        first, factor, cap = backoff
    except (TypeError, ValueError):
        raise ImproperlyConfigured("the tarnwick task backend's BACKOFF must be (first, "
                                   "factor, cap) in seconds") from None
    first = _seconds(first, "BACKOFF's first pause")
    cap = _seconds(cap, "BACKOFF's cap")
    factor = _seconds(factor, "BACKOFF's factor")
    if factor < 1 or cap < first:
        raise ImproperlyConfigured("the tarnwick task backend's BACKOFF needs a factor >= 1 "
                                   "and a cap no smaller than the first pause")
    preallocate = options.get("PREALLOCATE", False)
    if not isinstance(preallocate, bool) or (preallocate and path is None):
        raise ImproperlyConfigured("the tarnwick task backend's PREALLOCATE is True or False, "
                                   "and True only with PATH")
    return Options(path=path, dsn=dsn, database=database, preallocate=preallocate,
                   lease=_seconds(options.get("LEASE", DEFAULT_LEASE), "LEASE", positive=True),
                   max_attempts=attempts, backoff=(first, factor, cap),
                   keep_results=_seconds(options.get("KEEP_RESULTS", DEFAULT_KEEP_RESULTS),
                                         "KEEP_RESULTS"))


def open_queue(options: Options, name: str, consumer_id: Optional[str] = None) -> BaseQueue:
    """A new handle on the queue `name` where `options` keep the queues,
    opened with the options' lease, attempts and retention."""
    kept = options.keep_results
    if options.dsn is not None:
        from ..postgres import PostgresQueue
        return PostgresQueue(options.dsn, name, lease=options.lease,
                             max_deliveries=options.max_attempts, consumer_id=consumer_id,
                             keep_acked=kept, keep_dead=kept, keep_cancelled=kept)
    from .. import Queue
    assert options.path is not None
    return Queue(os.path.join(options.path, name), lease=options.lease,
                 max_deliveries=options.max_attempts, consumer_id=consumer_id,
                 keep_acked=kept, keep_dead=kept, keep_cancelled=kept,
                 preallocate=options.preallocate)


# The queues the backends of this process put to and look at, shared by
# every thread (Django makes a backend per thread) and opened again in a
# forked child.
_shared: Dict[Tuple[int, Options, str], BaseQueue] = {}
_shared_lock = threading.Lock()


def _shared_queue(options: Options, name: str) -> BaseQueue:
    key = (os.getpid(), options, name)
    with _shared_lock:
        queue = _shared.get(key)
        if queue is None or queue.closed:
            queue = _shared[key] = open_queue(options, name)
        return queue


def close_shared_queues() -> None:
    """Closes the queues this process's backends opened (the next use opens
    them again)."""
    with _shared_lock:
        queues = list(_shared.values())
        _shared.clear()
    for queue in queues:
        queue.close()


def to_datetime(seconds: Optional[float]) -> Optional[datetime]:
    """Epoch seconds as Django's timezone.now() gives times."""
    if seconds is None:
        return None
    aware = datetime.fromtimestamp(seconds, dt_timezone.utc)
    return aware if settings.USE_TZ else timezone.make_naive(aware)


def encode_error(exc: BaseException, traceback: str, most: int) -> str:
    """An attempt's exception as the delivery's error: its class path and
    traceback, the traceback's end kept when it is too long."""
    kind = type(exc)
    record = {"exception_class_path": f"{kind.__module__}.{kind.__qualname__}",
              "traceback": traceback}
    text = json.dumps(record)
    while len(text.encode("utf-8")) > most and record["traceback"]:
        over = len(text.encode("utf-8")) - most
        record["traceback"] = "...\n" + record["traceback"][max(over, 64) + 4:]
        text = json.dumps(record)
    return text


def decode_error(text: str) -> TaskError:
    try:
        record = json.loads(text)
        return TaskError(exception_class_path=str(record["exception_class_path"]),
                         traceback=str(record["traceback"]))
    except (ValueError, TypeError, KeyError):
        # Not written by a task's attempt: the queue's own note (a task
        # whose worker died on its last attempt).
        return TaskError(exception_class_path="tarnwick_queue.django.WorkerLost",
                         traceback=text)


class TarnwickBackend(BaseTaskBackend):
    """Django's tasks on tarnwick queues: durable, retried, recovered from
    workers that die. See docs/django.md."""

    supports_defer = True
    supports_async_task = True
    supports_get_result = True
    supports_priority = True

    def __init__(self, alias: str, params: Dict[str, Any]) -> None:
        super().__init__(alias, params)
        self.config = parse_options(dict(self.options))
        if not self.queues:
            raise ImproperlyConfigured("the tarnwick task backend needs at least one queue "
                                       "in QUEUES")

    # --- the queues ---

    def queue(self, queue_name: str) -> BaseQueue:
        """This process's handle on the tarnwick queue of `queue_name`."""
        return _shared_queue(self.config, queue_name)

    def open_worker_queue(self, queue_name: str, worker_id: Optional[str]) -> BaseQueue:
        """A handle of its own on the queue of `queue_name`, whose takes name
        `worker_id` (None: host:pid)."""
        return open_queue(self.config, queue_name, consumer_id=worker_id)

    # --- enqueueing ---

    def enqueue(self, task: Task, args: Sequence[Json], kwargs: Dict[str, Json]) -> TaskResult:
        self.validate_task(task)
        args = normalize_json(list(args))
        kwargs = normalize_json(dict(kwargs))
        nonce = secrets.token_hex(6)
        run_after = task.run_after
        payload = {"task": task.module_path, "args": args, "kwargs": kwargs, "nonce": nonce,
                   "run_after": None if run_after is None else run_after.isoformat()}
        delay = 0.0
        if run_after is not None:
            due = run_after.timestamp() if run_after.tzinfo is not None else (
                timezone.make_aware(run_after).timestamp())
            delay = max(0.0, due - time.time())
        queue = self.queue(task.queue_name)
        headers = {HEADER: json.dumps(payload)}  # normalize_json refused what JSON cannot hold
        body = task.module_path.encode()
        if self.config.database is None:
            message_id = queue.put(body, delay=delay, priority=task.priority, headers=headers)
        else:
            # The put joins the caller's transaction on that database: the
            # task exists once (and only if) the transaction commits.
            from ..postgres import PostgresQueue
            assert isinstance(queue, PostgresQueue)
            message_id = queue.put(body, delay=delay, priority=task.priority, headers=headers,
                                   connection=_database_connection(self.config.database))
        # The time the store gave it, as get_result() tells it (not yet
        # visible to another connection when the put joined a transaction).
        stored = queue.status(message_id) if self.config.database is None else None
        enqueued_at = timezone.now() if stored is None else to_datetime(stored.enqueued_at)
        result = TaskResult(task=task, id=f"{task.queue_name}:{message_id}:{nonce}",
                            status=TaskResultStatus.READY, enqueued_at=enqueued_at,
                            started_at=None, finished_at=None, last_attempted_at=None,
                            args=args, kwargs=kwargs, backend=self.alias, errors=[],
                            worker_ids=[])
        task_enqueued.send(type(self), task_result=result)
        return result

    # --- results ---

    def get_result(self, result_id: str) -> TaskResult:
        match = _RESULT_ID.match(result_id) if isinstance(result_id, str) else None
        if match is None or match["queue"] not in self.queues:
            raise TaskResultDoesNotExist(result_id)
        queue_name = match["queue"]
        status = self.queue(queue_name).status(int(match["id"]))
        if status is None:
            raise TaskResultDoesNotExist(result_id)
        try:
            payload = json.loads(status.headers[HEADER])
        except (KeyError, ValueError):
            raise TaskResultDoesNotExist(result_id) from None  # not a task's message
        if payload.get("nonce") != match["nonce"]:
            raise TaskResultDoesNotExist(result_id)  # another message with the same id
        return self.result_of(queue_name, status, payload)

    def result_of(self, queue_name: str, status: Status, payload: Dict[str, Any],
                  *, running: bool = False) -> TaskResult:
        """The TaskResult of the task whose message's status is `status`
        (`running`: the caller runs its current attempt)."""
        found = import_string(payload["task"])
        if not isinstance(found, Task):
            raise TypeError(f"{payload['task']!r} is not a task")
        run_after = payload.get("run_after")
        task = found.using(priority=status.priority, queue_name=queue_name, backend=self.alias,
                           run_after=None if run_after is None else
                           datetime.fromisoformat(run_after))
        state = TaskResultStatus.RUNNING if running else _STATES[status.state]
        started = to_datetime(status.started_at)
        result = TaskResult(task=task, id=f"{queue_name}:{status.id}:{payload['nonce']}",
                            status=state, enqueued_at=to_datetime(status.enqueued_at),
                            started_at=started, last_attempted_at=started,
                            finished_at=to_datetime(status.finished_at),
                            args=payload["args"], kwargs=payload["kwargs"], backend=self.alias,
                            errors=[decode_error(e) for e in status.errors],
                            worker_ids=worker_ids(status))
        if state == TaskResultStatus.SUCCESSFUL and status.result is not None:
            object.__setattr__(result, "_return_value", json.loads(status.result))
        return result

    # --- checks ---

    def check(self, **kwargs: Any) -> List[checks.CheckMessage]:
        errors: List[checks.CheckMessage] = list(super().check(**kwargs))
        where = f"the task backend {self.alias!r}"
        config = self.config
        if config.path is not None:
            bad = sorted(n for n in self.queues if not _DIRECTORY_NAME.match(n))
            if bad:
                errors.append(checks.Error(
                    f"{where}: the queue name {bad[0]!r} cannot name a directory",
                    hint="Use letters, digits, '_', '.' and '-'.", id="tarnwick.E002"))
            if not os.path.isdir(config.path):
                errors.append(checks.Error(
                    f"{where}: PATH {config.path!r} is not a directory",
                    hint="Create it, or set OPTIONS['PATH'] to the directory the queues "
                         "live in.", id="tarnwick.E001"))
            elif not os.access(config.path, os.W_OK | os.X_OK):
                errors.append(checks.Error(
                    f"{where}: PATH {config.path!r} is not writable by this user",
                    hint="Give the user that runs the site and the workers write access.",
                    id="tarnwick.E001"))
        else:
            assert config.dsn is not None
            if config.database is not None:
                errors += _database_errors(where, config.database)
            try:
                import psycopg
            except ImportError:
                errors.append(checks.Error(
                    f"{where}: DSN needs psycopg, which is not installed",
                    hint="pip install 'tarnwick[django,postgres]'", id="tarnwick.E003"))
                return errors
            try:
                psycopg.connect(config.dsn, connect_timeout=5, autocommit=True).close()
            except Exception as exc:
                errors.append(checks.Error(
                    f"{where}: the PostgreSQL database of DSN cannot be reached: "
                    f"{str(exc).strip() or type(exc).__name__}",
                    hint="Check OPTIONS['DSN'] and that the server is running.",
                    id="tarnwick.E003"))
        return errors


def _database_connection(alias: str) -> Any:
    """The psycopg connection under the Django database `alias`."""
    from django.db import connections
    connection = connections[alias]
    connection.ensure_connection()
    return connection.connection


def _database_errors(where: str, alias: str) -> List[checks.CheckMessage]:
    found = settings.DATABASES.get(alias)
    if found is None:
        return [checks.Error(f"{where}: DATABASE {alias!r} is not in DATABASES",
                             id="tarnwick.E004")]
    if not str(found.get("ENGINE", "")).endswith("postgresql"):
        return [checks.Error(f"{where}: DATABASE {alias!r} is not a PostgreSQL database",
                             hint="Enqueueing in the caller's transaction needs the tasks' "
                                  "queues in the same PostgreSQL database.",
                             id="tarnwick.E004")]
    try:
        import psycopg
    except ImportError:
        return [checks.Error(f"{where}: DATABASE needs Django's PostgreSQL backend on "
                             "psycopg 3, which is not installed", id="tarnwick.E004")]
    del psycopg
    return []


def worker_ids(status: Status) -> List[str]:
    """Who ran each attempt, oldest first: one per delivery (those older
    than what the queue keeps are empty strings)."""
    kept = list(status.consumers)[-status.deliveries:] if status.deliveries else []
    return [""] * (status.deliveries - len(kept)) + kept
