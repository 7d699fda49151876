"""The `tarnwick` command: look at a queue (a directory, or with --dsn a queue
in a PostgreSQL database), put into it, manage its dead letters, and run
workers on it.

Errors are one line on stderr and a non-zero exit: 1 for a failed command,
2 for a wrong command line (argparse's convention)."""

from __future__ import annotations

import argparse
import base64
import contextlib
import errno
import functools
import importlib
import importlib.util
import json
import logging
import os
import shutil
import signal
import sys
import threading
import time
from typing import (
    Any,
    Callable,
    Dict,
    Iterator,
    List,
    Mapping,
    Optional,
    Sequence,
    Set,
    TextIO,
    Tuple,
)

from . import _native
from ._schedules import CATCH_UP_MODES, ScheduleInfo
from .driver import FINISHED_STATES, DeadLetter, MessageInfo, Status
from .local import Queue
from .supervisor import EXIT_CONFIG, Supervisor, watch_supervisor
from .worker import DEFAULT_TIMEOUT, Worker

PROG = "tarnwick"
LOG_NAME = "queue.log"
DEAD_LETTER_DIR = "dead_letters"
# Dead letters are requeued this many at a time, so a long requeue shows progress.
REQUEUE_BATCH = 1000
PUT_BATCH = 1000
# How the supervisor hands --dsn to its workers: not on their command lines,
# which any user can read in the process list.
CHILD_DSN_ENV = "TARNWICK_WORKER_DSN"


class CliError(Exception):
    """A failure to report as one line, without a traceback."""


# --- opening a queue ---

def _check_queue_dir(path: str) -> None:
    """Opening a queue creates its directory, which a command that only
    looks must not do: `path` must be a queue directory already."""
    if not os.path.lexists(path):
        raise CliError(f"{path}: no such directory")
    if not os.path.isdir(path):
        raise CliError(f"{path}: not a directory (a queue is a directory holding {LOG_NAME})")
    if not os.path.isfile(os.path.join(path, LOG_NAME)):
        raise CliError(f"{path}: not a queue directory (no {LOG_NAME} in it)")


def _open_existing(path: str, **options: Any) -> Queue:
    """Opens the queue in `path`, which must exist."""
    _check_queue_dir(path)
    return _open(path, auto_compact_bytes=0, **options)


def _open_to_look(path: str) -> Queue:
    """The queue in `path` for a command that only looks: opened read-only
    when this user may read the queue's files but not write them."""
    _check_queue_dir(path)
    try:
        return Queue(path, auto_compact_bytes=0)
    except OSError as exc:
        if exc.errno not in (errno.EACCES, errno.EPERM, errno.EROFS):
            raise CliError(f"{path}: {_os_text(exc, path)}") from None
    return _open(path, auto_compact_bytes=0, read_only=True)


def _open_named(args: argparse.Namespace, name: str, *, existing: bool = True,
                looking: bool = False, **options: Any) -> Any:
    """The queue a command names: on the server of --dsn (`name` is the
    queue's name there), else in the directory `name` (read-only where this
    user may not write it, if the command only looks)."""
    dsn = getattr(args, "dsn", None)
    if dsn is None:
        if looking:
            return _open_to_look(name)
        return _open_existing(name, **options) if existing else _open(name, **options)
    return _open_postgres(dsn, name, **options)


def _open_postgres(dsn: str, name: str, **options: Any) -> Any:
    try:
        from .postgres import PostgresQueue
    except ImportError as exc:
        raise CliError(f"--dsn needs psycopg 3 ({exc}); pip install 'tarnwick[postgres]'") \
            from None
    # The log's own settings mean nothing on a server.
    kept = {k: v for k, v in options.items() if k in ("lease", "max_deliveries")}
    return PostgresQueue(dsn, name, **kept)


def _open(path: str, **options: Any) -> Queue:
    if os.path.exists(path) and not os.path.isdir(path):
        raise CliError(f"{path}: not a directory (a queue is a directory holding {LOG_NAME})")
    try:
        return Queue(path, **options)
    except OSError as exc:
        raise CliError(f"{path}: {_os_text(exc, path)}") from None


def _report_count(args: argparse.Namespace, done: str, count: int, noun: str) -> int:
    """Prints what a command did to how many: {done: count} with --json."""
    if args.json:
        _print_json({done: count})
    else:
        print(f"{done} {count} {noun}{'s' if count != 1 else ''}")
    return 0


def _os_text(exc: BaseException, path: str = "") -> str:
    """The error's text without the engine's prefix, and without the path at
    its end when the caller names `path` before it."""
    text = str(exc.args[0]) if isinstance(exc, OSError) and len(exc.args) == 1 else str(exc)
    text = text.replace("Tarnwick I/O error: ", "")
    named = f": {path!r}"
    return text[:-len(named)] if path and text.endswith(named) else text


# --- output helpers ---

def _print_json(value: Any) -> None:
    json.dump(value, sys.stdout, indent=None, separators=(", ", ": "))
    sys.stdout.write("\n")


def _body_fields(body: Optional[bytes]) -> Dict[str, str]:
    """A body for JSON: as text when it is UTF-8, else in base64."""
    if body is None:
        return {}
    try:
        return {"body": body.decode("utf-8")}
    except UnicodeDecodeError:
        return {"body_base64": base64.b64encode(body).decode("ascii")}


def _printable(text: str) -> str:
    """`text` with control and other unprintable characters escaped, so a
    table cell stays on its line."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def _preview(body: Optional[bytes], width: Optional[int]) -> str:
    """A body as one table cell: valid UTF-8 as text, anything else as a
    bytes literal's escapes; cut to `width` characters when given."""
    if body is None:
        return ""
    try:
        text = _printable(body.decode("utf-8"))
    except UnicodeDecodeError:
        text = repr(body)[2:-1]
    if width is None or len(text) <= width:
        return text
    return text[:max(0, width - 3)] + "..."


# A body cell is never cut shorter than this, however narrow the terminal.
MIN_BODY_WIDTH = 10


def _line_width(args: argparse.Namespace) -> Optional[int]:
    """The width table lines are cut to: --width, else the terminal's when
    standard output is one; None (never cut) for --width 0 or a pipe."""
    if args.width is not None:
        return args.width or None
    if sys.stdout is not None and sys.stdout.isatty():
        return shutil.get_terminal_size().columns
    return None


def _body_table(rows: List[List[str]], header: List[str], bodies: Optional[List[Optional[bytes]]],
                width: Optional[int], out: TextIO) -> None:
    """_table with a last BODY column (when `bodies` is given) whose cells
    are cut so that each line fits `width`."""
    if bodies is None:
        _table(rows, header, out)
        return
    budget = None
    if width is not None:
        columns = [max(len(r[i]) for r in [header] + rows) for i in range(len(header))]
        budget = max(MIN_BODY_WIDTH, width - sum(columns) - 2 * len(columns))
    _table([row + [_preview(body, budget)] for row, body in zip(rows, bodies)],
           header + ["BODY"], out)


def _size(n: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if n < 1024 or unit == "GiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    return f"{n:.1f} TiB"  # pragma: no cover


def _when(epoch: Optional[float], now: float) -> str:
    if epoch is None:
        return "-"
    delta = epoch - now
    return f"in {delta:.1f}s" if delta >= 0 else f"{-delta:.1f}s ago"


def _table(rows: List[List[str]], header: List[str], out: TextIO) -> None:
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    for row in [header] + rows:
        out.write("  ".join(str(c).ljust(w) for c, w in zip(row, widths)).rstrip() + "\n")


class _Progress:
    """A one-line progress report on stderr, only when stderr is a terminal."""

    def __init__(self, label: str) -> None:
        self.label = label
        self.shown = sys.stderr.isatty()
        self._last = 0.0

    def update(self, text: str, force: bool = False) -> None:
        now = time.monotonic()
        if self.shown and (force or now - self._last >= 0.1):
            self._last = now
            sys.stderr.write(f"\r\x1b[K{self.label}: {text}")
            sys.stderr.flush()

    def done(self) -> None:
        if self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()

    def around(self, call: Callable[[], Any]) -> Any:
        """Runs `call` (which releases the interpreter lock) while the
        elapsed time ticks on the terminal."""
        if not self.shown:
            return call()
        started = time.monotonic()
        finished = threading.Event()

        def tick() -> None:
            while not finished.wait(0.2):
                self.update(f"{time.monotonic() - started:.1f} s", force=True)
        ticker = threading.Thread(target=tick, daemon=True)
        ticker.start()
        try:
            return call()
        finally:
            finished.set()
            ticker.join()
            self.done()


# --- commands ---

STAT_ROWS = ["ready", "in_flight", "scheduled", "dead_letters", "total", "paused",
             "enqueued_total",
             "acked_total", "requeued_total", "nacked_total", "dead_total", "expired_total",
             "next_seq",
             "live_bytes",
             "log_bytes", "generation"]


def cmd_stats(args: argparse.Namespace) -> int:
    with _open_named(args, args.dir, looking=True) as queue:
        if args.watch is None:
            stats = queue.stats()
            if args.json:
                _print_json(stats)
            else:
                _write_stats(stats, None, sys.stdout)
            return 0
        return _watch_stats(queue, args)


def _stat_rows(stats: Mapping[str, Any]) -> List[str]:
    """The rows this queue has: a queue on a server keeps no running totals."""
    return [key for key in STAT_ROWS if key in stats]


def _oldest_running(stats: Mapping[str, Any], now: float) -> str:
    """The delivery in flight that began first: its id and how long it has run."""
    started = stats.get("oldest_running_started_at")
    if started is None:
        return "-"
    return f"id {stats['oldest_running_id']}, running {_duration(now - started)}"


def _duration(seconds: float) -> str:
    seconds = max(0.0, seconds)
    if seconds < 60:
        return f"{seconds:.1f}s"
    minutes, secs = divmod(int(seconds), 60)
    hours, minutes = divmod(minutes, 60)
    return f"{hours}h{minutes:02d}m{secs:02d}s" if hours else f"{minutes}m{secs:02d}s"


def _write_stats(stats: Mapping[str, Any], rates: Optional[Dict[str, float]], out: TextIO) -> None:
    for key in _stat_rows(stats):
        value = stats[key]
        shown = (_size(value) if key.endswith("_bytes") else
                 ("yes" if value else "no") if isinstance(value, bool) else str(value))
        rate = ""
        if rates is not None and key in rates:
            rate = f"  {rates[key]:10.1f}/s"
        out.write(f"{key:<15} {shown:>12}{rate}\n")
    now = time.time()
    out.write(f"{'oldest_running':<15} {_oldest_running(stats, now)}\n")
    ready_at = stats.get("oldest_ready_at")
    waiting = "-" if ready_at is None else f"ready for {_duration(max(0.0, now - ready_at))}"
    out.write(f"{'oldest_ready':<15} {waiting}\n")


def _watch_stats(queue: Any, args: argparse.Namespace) -> int:
    interval = args.watch
    redraw = sys.stdout.isatty() and not args.json
    drawn = 0
    before, before_at = queue.stats(), time.monotonic()
    rates: Dict[str, float] = {}
    try:
        while True:
            stats = queue.stats()
            now = time.monotonic()
            if now > before_at:
                elapsed = now - before_at
                rates = {key: max(0, stats[key] - before[key]) / elapsed
                         for key in ("enqueued_total", "acked_total", "dead_total")
                         if key in stats}
            if args.json:
                _print_json(dict(stats, rates=rates))
            elif redraw:
                if drawn:
                    sys.stdout.write(f"\x1b[{drawn}A\x1b[J")
                sys.stdout.write(f"{args.dir}  (every {interval:g} s, Ctrl-C ends)\n")
                _write_stats(stats, rates, sys.stdout)
                drawn = len(_stat_rows(stats)) + 3  # the title, oldest_running, oldest_ready
            else:
                line = " ".join(f"{k}={stats[k]}" for k in STAT_ROWS[:5])
                line += "".join(f" {k.split('_')[0]}/s={v:.1f}" for k, v in rates.items())
                line += f" oldest_running={_oldest_running(stats, time.time()).replace(' ', '')}"
                sys.stdout.write(line + "\n")
            sys.stdout.flush()
            before, before_at = stats, now
            time.sleep(interval)
    except KeyboardInterrupt:
        return 0


def cmd_peek(args: argparse.Namespace) -> int:
    with _open_named(args, args.dir, looking=True) as queue:
        if args.leased:
            # Every live message is looked at; the leased ones are shown,
            # the longest running first.
            found = [m for m in queue.peek(queue.stats()["total"], bodies=args.bodies)
                     if m.state == "leased"]
            found.sort(key=lambda m: (m.started_at is None, m.started_at or 0.0, m.id))
            found = found[:args.n]
        else:
            found = queue.peek(args.n, bodies=args.bodies)
    if args.json:
        _print_json([_info_json(m) for m in found])
        return 0
    now = time.time()
    # A leased message's delivery (its start, extensions and consumer) has
    # columns of its own, shown when a message listed is leased.
    deliveries = args.leased or any(m.state == "leased" for m in found)
    # So do a message's options, when a message listed has one.
    options = any(m.priority or m.key is not None or m.group is not None or m.headers
                  for m in found)
    rows = [[str(m.id), m.state, str(m.deliveries), _when(m.enqueued_at, now),
             _when(m.due_at, now)]
            + ([_when(m.started_at, now), str(m.extensions) if m.state == "leased" else "-",
                _printable(m.consumer) if m.consumer is not None else "-"]
               if deliveries else [])
            + (_option_cells(m) if options else [])
            + [str(m.size)] for m in found]
    header = (["ID", "STATE", "DELIVERIES", "ENQUEUED", "DUE"]
              + (["STARTED", "EXTENSIONS", "CONSUMER"] if deliveries else [])
              + (["PRIORITY", "KEY", "GROUP", "HEADERS"] if options else []) + ["SIZE"])
    _body_table(rows, header, [m.body for m in found] if args.bodies else None,
                _line_width(args), sys.stdout)
    return 0


def _option_cells(m: MessageInfo) -> List[str]:
    """A message's priority, key, group and headers as table cells (the
    headers as NAME=VALUE, comma separated)."""
    headers = ",".join(f"{k}={v}" for k, v in sorted(m.headers.items()))
    return [str(m.priority), "-" if m.key is None else _printable(m.key),
            "-" if m.group is None else _printable(m.group),
            _printable(headers) if headers else "-"]


def _info_json(m: MessageInfo) -> Dict[str, Any]:
    out = {"id": m.id, "state": m.state, "deliveries": m.deliveries,
           "enqueued_at": m.enqueued_at, "due_at": m.due_at, "size": m.size,
           "started_at": m.started_at, "extensions": m.extensions, "consumer": m.consumer,
           "priority": m.priority, "key": m.key, "group": m.group, "headers": m.headers}
    out.update(_body_fields(m.body))
    return out


def cmd_put(args: argparse.Namespace) -> int:
    data = _read_body(args.body)
    from_input = args.body is None or args.body == "-"
    bodies: Sequence[bytes] = data.splitlines() if args.lines and from_input else [data]
    headers = dict(args.header) if args.header else None
    if args.unique_for and args.key is None:
        raise CliError("--unique-for needs --key")
    if args.key is not None and len(bodies) != 1:
        raise CliError(f"--key names one message, not {len(bodies)} (--lines)")
    with _open_named(args, args.dir, existing=False) as queue:
        ids: List[int] = []
        if args.key is not None:
            ids.append(queue.put(bodies[0], delay=args.delay, priority=args.priority,
                                 key=args.key, unique_for=args.unique_for, group=args.group,
                                 headers=headers))
        progress = _Progress("put")
        for start in range(0, len(bodies) if args.key is None else 0, PUT_BATCH):
            ids += queue.put_many(bodies[start:start + PUT_BATCH], delay=args.delay,
                                  priority=args.priority, group=args.group, headers=headers)
            progress.update(f"{len(ids)}/{len(bodies)}")
        progress.done()
    if args.json:
        _print_json(ids)
    else:
        sys.stdout.write("".join(f"{i}\n" for i in ids))
    return 0


def cmd_pause(args: argparse.Namespace) -> int:
    with _open_named(args, args.dir) as queue:
        queue.pause()
    if args.json:
        _print_json({"paused": True})
    else:
        print("paused: nothing is delivered until 'tarnwick resume'")
    return 0


def cmd_resume(args: argparse.Namespace) -> int:
    with _open_named(args, args.dir) as queue:
        queue.resume()
    if args.json:
        _print_json({"paused": False})
    else:
        print("resumed")
    return 0


def cmd_cancel(args: argparse.Namespace) -> int:
    with _open_named(args, args.dir) as queue:
        cancelled = [i for i in args.ids if queue.cancel(i)]
    missed = [i for i in args.ids if i not in cancelled]
    if args.json:
        _print_json({"cancelled": cancelled, "not_cancelled": missed})
    elif cancelled:
        print("cancelled " + ", ".join(map(str, cancelled)))
    if missed:
        # Leased, settled or unknown: nothing was written for them.
        named = (f"message {missed[0]} is" if len(missed) == 1 else
                 "messages " + ", ".join(map(str, missed)) + " are")
        raise CliError(f"{named} not ready or scheduled (leased, settled or unknown); "
                       "left as it was")
    return 0


def cmd_show(args: argparse.Namespace) -> int:
    with _open_named(args, args.dir, looking=True) as queue:
        status = queue.status(args.id)
    if status is None:
        raise CliError(f"no message {args.id}: the queue never had it, or its outcome is "
                       "no longer kept")
    if args.json:
        _print_json(_status_json(status))
        return 0
    now = time.time()
    lines = [("id", str(status.id)), ("state", status.state),
             ("deliveries", str(status.deliveries)),
             ("enqueued", _when(status.enqueued_at, now)),
             ("started", _when(status.started_at, now)),
             ("finished", _when(status.finished_at, now))]
    if status.dead_letter_id is not None:
        lines.append(("dead letter", str(status.dead_letter_id)))
    if status.result is not None:
        lines.append(("result", _preview(status.result, None)))
    lines += [("priority", str(status.priority)),
              ("key", "-" if status.key is None else _printable(status.key)),
              ("group", "-" if status.group is None else _printable(status.group))]
    lines += [(f"header {_printable(k)}", _printable(v)) for k, v in sorted(status.headers.items())]
    lines += [("consumers", ", ".join(_printable(c) for c in status.consumers) or "-")]
    width = max(len(name) for name, _ in lines)
    out = [f"{name.ljust(width)}  {value}" for name, value in lines]
    for n, error in enumerate(status.errors, 1):
        # An error keeps its lines (a traceback), indented under its heading.
        out.append(f"error {n} of {len(status.errors)}:")
        out += ["    " + _printable(line) for line in error.splitlines()]
    sys.stdout.write("".join(line + "\n" for line in out))
    return 0


def cmd_outcomes(args: argparse.Namespace) -> int:
    with _open_named(args, args.dir, looking=True) as queue:
        found = queue.outcomes(args.state, args.n)
    if args.json:
        _print_json([_status_json(s) for s in found])
        return 0
    now = time.time()
    rows = [[str(s.id), s.state, str(s.deliveries), _when(s.enqueued_at, now),
             _when(s.finished_at, now),
             _printable(s.errors[-1].splitlines()[0]) if s.errors and s.errors[-1] else "-"]
            for s in found]
    _table(rows, ["ID", "STATE", "DELIVERIES", "ENQUEUED", "FINISHED", "LAST ERROR"],
           sys.stdout)
    return 0


def _status_json(s: Status) -> Dict[str, Any]:
    out: Dict[str, Any] = {
        "id": s.id, "state": s.state, "deliveries": s.deliveries,
        "enqueued_at": s.enqueued_at, "started_at": s.started_at,
        "finished_at": s.finished_at, "errors": list(s.errors),
        "consumers": list(s.consumers), "priority": s.priority, "key": s.key,
        "group": s.group, "headers": s.headers, "dead_letter_id": s.dead_letter_id}
    # The result as a body is shown: text when it is UTF-8, else base64.
    out.update({name.replace("body", "result"): value
                for name, value in _body_fields(s.result).items()})
    if s.result is None:
        out["result"] = None
    return out


def _read_body(text: Optional[str]) -> bytes:
    """BODY as text, or standard input when it is - or missing."""
    if text is not None and text != "-":
        return os.fsencode(text)
    if sys.stdin is None:
        raise CliError("no body given and no standard input to read one from")
    return sys.stdin.buffer.read()


def cmd_schedule_add(args: argparse.Namespace) -> int:
    if (args.cron is None) == (args.every is None):
        raise CliError("give exactly one of --cron and --every")
    body = _read_body(args.body)
    with _open_named(args, args.dir, existing=False) as queue:
        queue.schedules.add(args.name, body, cron=args.cron, every=args.every,
                            priority=args.priority, headers=dict(args.header) or None,
                            catch_up=args.catch_up, tz=args.tz)
        added = next(s for s in queue.schedules.list() if s.name == args.name)
    if args.json:
        _print_json(_schedule_json(added))
    else:
        print(f"added {args.name!r}: next fires {_moment(added.next_fire)}")
    return 0


def cmd_schedule_list(args: argparse.Namespace) -> int:
    with _open_named(args, args.dir, looking=True) as queue:
        found = queue.schedules.list()
    if args.json:
        _print_json([_schedule_json(s) for s in found])
        return 0
    rows = [[_printable(s.name), s.cron or f"every {s.every:g}s", s.tz, s.catch_up,
             "paused" if s.paused else "-", _moment(s.last_fire), _moment(s.next_fire)]
            for s in found]
    _table(rows, ["NAME", "WHEN", "TZ", "CATCH-UP", "PAUSED", "LAST FIRE", "NEXT FIRE"],
           sys.stdout)
    return 0


def cmd_schedule_change(args: argparse.Namespace) -> int:
    with _open_named(args, args.dir) as queue:
        try:
            getattr(queue.schedules, args.action)(args.name)
        except KeyError:
            raise CliError(f"no schedule named {args.name!r}") from None
    done = {"remove": "removed", "pause": "paused", "resume": "resumed"}[args.action]
    if args.json:
        _print_json({done: args.name})
    else:
        print(f"{done} {args.name!r}")
    return 0


def _moment(epoch: Optional[float]) -> str:
    if epoch is None:
        return "-"
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(epoch))


def _schedule_json(s: ScheduleInfo) -> Dict[str, Any]:
    out = {"name": s.name, "cron": s.cron, "every": s.every, "priority": s.priority,
           "headers": s.headers, "catch_up": s.catch_up, "tz": s.tz, "paused": s.paused,
           "added_at": s.added_at, "last_fire": s.last_fire, "next_fire": s.next_fire}
    out.update(_body_fields(s.body))
    return out


def cmd_metrics(args: argparse.Namespace) -> int:
    try:
        from .metrics import QueueCollector, serve
    except ImportError as exc:
        raise CliError(f"metrics need prometheus_client ({exc}); pip install "
                       "'tarnwick[metrics]'") from None
    with _many_queues(args) as queues:
        _serve_until_stopped(args, lambda: serve(QueueCollector(queues), args.port, args.host),
                             "/metrics")
    return 0


def cmd_web(args: argparse.Namespace) -> int:
    from .web import Dashboard, loopback_hosts, serve
    with _many_queues(args) as queues:
        def start() -> Any:
            # The Host check needs the port, which 0 leaves to the system: bind first.
            dashboard = Dashboard(queues, read_only=args.read_only)
            server = serve(dashboard, args.port, args.host)
            hosts = loopback_hosts(args.host, server.server_port)
            dashboard.allowed_hosts = None if hosts is None else set(hosts)
            return server
        _serve_until_stopped(args, start, "/")
    return 0


@contextlib.contextmanager
def _many_queues(args: argparse.Namespace) -> Iterator[Dict[str, Any]]:
    """The queues of a serving command: each DIR, and each --name on --dsn."""
    if args.name and args.dsn is None:
        raise CliError("--name names queues on the server of --dsn")
    if not args.dirs and not args.name:
        raise CliError("name at least one queue: a directory, or --dsn DSN --name NAME")
    queues: Dict[str, Any] = {}
    try:
        for path in args.dirs:
            queues[path] = _open_to_look(path)
        for name in args.name:
            queues[name] = _open_postgres(args.dsn, name)
        yield queues
    finally:
        for queue in queues.values():
            queue.close()


def _serve_until_stopped(args: argparse.Namespace, start: Callable[[], Any], path: str) -> None:
    try:
        server = start()
    except OSError as exc:
        raise CliError(f"cannot listen on {args.host}:{args.port}: {_os_text(exc)}") from None
    stopped = threading.Event()
    previous = signal.signal(signal.SIGTERM, lambda *_: stopped.set())
    host = f"[{args.host}]" if ":" in args.host else args.host
    print(f"serving http://{host}:{server.server_port}{path}", flush=True)
    try:
        while not stopped.wait(3600):
            pass
    finally:
        signal.signal(signal.SIGTERM, previous)
        server.shutdown()
        server.server_close()


def cmd_dead_list(args: argparse.Namespace) -> int:
    with _open_named(args, args.dir) as queue:
        letters = queue.dead_letters.list(args.n)
    if args.json:
        _print_json([_dead_json(d, args.bodies) for d in letters])
        return 0
    now = time.time()
    rows = [[str(d.id), str(d.original_id), str(d.deliveries), _when(d.died_at, now),
             _printable(d.reason)] for d in letters]
    header = ["ID", "ORIGINAL_ID", "DELIVERIES", "DIED", "REASON"]
    _body_table(rows, header, [d.body for d in letters] if args.bodies else None,
                _line_width(args), sys.stdout)
    return 0


def _dead_json(d: DeadLetter, bodies: bool) -> Dict[str, Any]:
    out = {"id": d.id, "original_id": d.original_id, "deliveries": d.deliveries,
           "enqueued_at": d.enqueued_at, "died_at": d.died_at, "reason": d.reason,
           "size": len(d.body)}
    if bodies:
        out.update(_body_fields(d.body))
    return out


def cmd_dead_requeue(args: argparse.Namespace) -> int:
    with _open_named(args, args.dir) as queue:
        dead = queue.dead_letters
        progress = _Progress("requeue")
        count = 0
        if args.ids:
            ids = sorted(set(args.ids))
            _refuse_unknown_letters(ids, {d.id for d in dead.list()})
            for start in range(0, len(ids), REQUEUE_BATCH):
                count += dead.requeue(ids[start:start + REQUEUE_BATCH])
                progress.update(f"{min(len(ids), start + REQUEUE_BATCH)}/{len(ids)}")
            if count < len(ids):
                # Another process requeued or purged some since they were looked up.
                progress.done()
                raise CliError(f"requeued {count} of the {len(ids)} dead letters named: the "
                               "others went meanwhile (requeued or purged by another process)")
        else:
            # The oldest batch at a time, up to as many as there were at the
            # start: letters that die meanwhile stay.
            total = len(dead)
            while count < total:
                batch = [d.id for d in dead.list(min(REQUEUE_BATCH, total - count))]
                if not batch:
                    break
                count += dead.requeue(batch)
                progress.update(f"{count}/{total}")
        progress.done()
    return _report_count(args, "requeued", count, "dead letter")


def _refuse_unknown_letters(ids: List[int], known: Set[int]) -> None:
    """Named dead letters that do not exist are an error, before any of the
    others is requeued."""
    unknown = [i for i in ids if i not in known]
    if unknown:
        named = (f"no dead letter with id {unknown[0]}" if len(unknown) == 1 else
                 "no dead letters with ids " + ", ".join(map(str, unknown)))
        raise CliError(named + "; nothing was requeued")


def cmd_dead_purge(args: argparse.Namespace) -> int:
    with _open_named(args, args.dir) as queue:
        count = queue.dead_letters.purge()
    return _report_count(args, "purged", count, "dead letter")


def _logs_of(path: str) -> List[str]:
    """The queue directories whose logs `verify` and `repair` look at: the
    queue's own and, when it has one, its dead letters' queue."""
    _check_queue_dir(path)
    dead = os.path.join(path, DEAD_LETTER_DIR)
    return [path] + ([dead] if os.path.isfile(os.path.join(dead, LOG_NAME)) else [])


def _describe_ranges(ranges: List[Dict[str, Any]]) -> str:
    return ", ".join(f"{r['bytes']} bytes at byte {r['offset']} ({r['reason']})" for r in ranges)


def cmd_verify(args: argparse.Namespace) -> int:
    # Reads the logs as they are: opening a queue would repair them.
    reports = []
    for where in _logs_of(args.dir):
        try:
            reports.append(_native.verify(where))
        except OSError as exc:
            raise CliError(f"{where}: {_os_text(exc, where)}") from None
    report, dead = reports[0], reports[1] if len(reports) > 1 else None
    ok = report["ok"] and (dead is None or dead["ok"])
    if args.json:
        _print_json(dict(report, dead_letters=dead) if dead is not None else report)
    else:
        _print_verified("", report)
        if dead is not None and not dead["ok"]:
            _print_verified("dead letters: ", dead)
    return 0 if ok else 1


def _print_verified(label: str, report: Mapping[str, Any]) -> None:
    if report["ok"]:
        print(f"{label}ok: {report['records']} records, {_size(report['bytes'])}")
        return
    if report["damaged"]:
        print(f"{label}damaged: {_describe_ranges(report['damaged'])} between intact records "
              f"({report['intact_records']} intact records in all); 'tarnwick repair' keeps "
              f"them and sets the damaged log aside")
    if report["tail"] is not None:
        tail = report["tail"]
        print(f"{label}damaged: a torn tail of {tail['bytes']} bytes at byte {tail['offset']} "
              f"({tail['reason']}), after {report['intact_records']} good records; "
              f"'tarnwick repair' cuts it off")
    if not report["damaged"] and report["tail"] is None:
        print(f"{label}damaged: {report['message']}")


def cmd_repair(args: argparse.Namespace) -> int:
    repairs: Dict[str, Any] = {}
    for where in _logs_of(args.dir):
        try:
            repairs[where] = _native.repair(where)
        except OSError as exc:
            raise CliError(f"{where}: {_os_text(exc, where)}") from None
    if args.json:
        main = repairs[args.dir]
        out: Dict[str, Any] = {"repaired": main is not None, **(main or {})}
        dead = repairs.get(os.path.join(args.dir, DEAD_LETTER_DIR))
        if len(repairs) > 1:
            out["dead_letters"] = {"repaired": dead is not None, **(dead or {})}
        _print_json(out)
        return 0
    for where, done in repairs.items():
        label = "" if where == args.dir else "dead letters: "
        if done is None:
            if not label:
                print("ok: nothing to repair")
            continue
        parts = []
        if done["skipped"]:
            parts.append(f"skipped {_describe_ranges(done['skipped'])}, kept "
                         f"{done['records_kept']} intact records")
        if done["orphan_records"]:
            parts.append(f"ignored {done['orphan_records']} records of messages whose "
                         f"ENQUEUE was lost")
        tail = done["cut_tail"]
        if tail is not None and tail["offset"] == 0:
            # No header to keep: the engine started a new log in its place.
            parts.append(f"started a new log in place of {tail['bytes']} bytes that held no "
                         f"record ({tail['reason']})")
        elif tail is not None:
            parts.append(f"cut a torn tail of {tail['bytes']} bytes at byte {tail['offset']}")
        if done["damaged_copy"] is not None:
            parts.append(f"the damaged log was kept as {done['damaged_copy']}")
        print(f"{label}repaired: " + "; ".join(parts))
    return 0


def cmd_compact(args: argparse.Namespace) -> int:
    with _open_existing(args.dir) as queue:
        before = queue.stats()["log_bytes"]
        _Progress(f"compacting {_size(before)}").around(queue.compact)
        after = queue.stats()["log_bytes"]
    if args.json:
        _print_json({"log_bytes_before": before, "log_bytes_after": after})
    else:
        print(f"compacted: {_size(before)} -> {_size(after)}")
    return 0


def cmd_purge(args: argparse.Namespace) -> int:
    if not args.yes:
        raise CliError("purge deletes every message in the queue; add --yes to do it")
    with _open_named(args, args.dir) as queue:
        count = queue.stats()["total"]
        queue.purge()
    return _report_count(args, "purged", count, "message")


# --- workers ---

LOG_FORMAT = "%(asctime)s %(levelname)s [%(process)d] %(name)s: %(message)s"


def _backoff_arg(text: str) -> Tuple[float, float, float]:
    try:
        first, factor, cap = (float(x) for x in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected FIRST,FACTOR,CAP (e.g. 1,2,300), not {text!r}") from None
    return first, factor, cap


def _split_handler_name(handler_name: str) -> Tuple[str, str]:
    module, sep, name = handler_name.partition(":")
    if not sep or not module or not name:
        raise CliError(f"{handler_name!r}: expected MODULE:FUNCTION")
    return module, name


def load_handler(handler_name: str) -> Callable[..., Any]:
    """The function named "MODULE:FUNCTION" (FUNCTION may be dotted),
    importing MODULE the way `python -m` would, from the current directory."""
    module_name, name = _split_handler_name(handler_name)
    if os.getcwd() not in sys.path:
        sys.path.insert(0, os.getcwd())
    try:
        target: Any = importlib.import_module(module_name)
    except Exception as exc:
        raise CliError(f"cannot import {module_name!r}: {type(exc).__name__}: {exc}") from None
    for part in name.split("."):
        try:
            target = getattr(target, part)
        except AttributeError:
            raise CliError(f"{module_name!r} has no {name!r}") from None
    if not callable(target):
        raise CliError(f"{handler_name!r} is not callable")
    handler: Callable[..., Any] = target
    return handler


def cmd_worker(args: argparse.Namespace) -> int:
    logging.basicConfig(level=args.log_level.upper(), format=LOG_FORMAT)
    if args.child:
        return _worker_process(args)
    module_name, _ = _split_handler_name(args.handler)
    if os.getcwd() not in sys.path:
        sys.path.insert(0, os.getcwd())
    try:
        found = importlib.util.find_spec(module_name)
    except Exception as exc:
        raise CliError(f"cannot find {module_name!r}: {exc}") from None
    if found is None:
        raise CliError(f"cannot import {module_name!r}: no such module")
    if args.processes < 1:
        raise CliError("--processes must be at least 1")
    # Fails here, once, on a queue that cannot be opened.
    for name in args.queue:
        _open_named(args, name, existing=False).close()
    argv = [sys.executable, "-m", "tarnwick_queue", "worker", args.handler, "--child"]
    for name in args.queue:
        argv += ["--queue", name]
    argv += ["--grace", repr(args.grace), "--backoff", ",".join(repr(x) for x in args.backoff),
             "--sync-interval", repr(args.sync_interval), "--log-level", args.log_level,
             "--timeout", "none" if args.timeout is None else repr(args.timeout),
             "--threads", str(args.threads), "--prefetch", str(args.prefetch)]
    if args.concurrency is not None:
        argv += ["--concurrency", str(args.concurrency)]
    if args.lease is not None:
        argv += ["--lease", repr(args.lease)]
    if args.max_deliveries is not None:
        argv += ["--max-deliveries", str(args.max_deliveries)]
    if args.no_schedules:
        argv += ["--no-schedules"]
    env = dict(os.environ)
    if args.dsn is not None:
        env[CHILD_DSN_ENV] = args.dsn
    env["PYTHONPATH"] = os.pathsep.join([os.getcwd()] + ([env["PYTHONPATH"]]
                                                         if env.get("PYTHONPATH") else []))
    return Supervisor(argv, args.processes, grace=args.grace, env=env).run()


def _worker_process(args: argparse.Namespace) -> int:
    try:
        handler = load_handler(args.handler)
    except CliError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return EXIT_CONFIG
    watch_supervisor()
    options: Dict[str, Any] = {"sync_interval": args.sync_interval}
    if args.lease is not None:
        options["lease"] = args.lease
    if args.dsn is None:
        args.dsn = os.environ.get(CHILD_DSN_ENV)
    try:
        worker = Worker([functools.partial(_open_named, args, name, existing=False, **options)
                         for name in args.queue], handler,
                        max_deliveries=args.max_deliveries, backoff=args.backoff,
                        grace=args.grace, timeout=args.timeout, threads=args.threads,
                        concurrency=args.concurrency, prefetch=args.prefetch,
                        fire_schedules=not args.no_schedules)
    except (TypeError, ValueError) as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return EXIT_CONFIG
    worker.run()
    logging.getLogger("tarnwick_queue.worker").info("stopped: %s", worker.counts)
    return 0


# --- the parser ---

def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Look at and work on a tarnwick queue: a directory, or with "
        "--dsn a queue in a PostgreSQL database.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    def command(name: str, run: Callable[[argparse.Namespace], int], help: str,
                json_output: bool = True, directory: bool = True,
                server: bool = True) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help)
        if server:
            sub.add_argument("--dsn", metavar="DSN", help="the PostgreSQL database (a libpq "
                             "connection string) holding the queue")
        if directory:
            sub.add_argument("dir", metavar="DIR", help="the queue's directory; with --dsn, "
                             "the queue's name")
        if json_output:
            sub.add_argument("--json", action="store_true", help="print JSON")
        sub.set_defaults(run=run)
        return sub

    def serving_arguments(sub: argparse.ArgumentParser, port: Optional[int]) -> None:
        sub.add_argument("dirs", metavar="DIR", nargs="*", help="a queue's directory")
        sub.add_argument("--name", action="append", default=[], metavar="NAME",
                         help="with --dsn: a queue's name on the server (repeatable)")
        sub.add_argument("--port", type=_port, required=port is None, default=port,
                         metavar="PORT", help="the port to listen on (0: any free one, "
                         "printed)" + ("" if port is None else f"; default {port}"))
        sub.add_argument("--host", default="127.0.0.1", metavar="HOST",
                         help="the address to listen on (default 127.0.0.1: this machine only)")

    def width_option(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--width", type=_count, default=None, metavar="COLUMNS",
                         help="cut bodies so that lines fit COLUMNS (default: the terminal's "
                         "width; bodies are not cut when the output is not a terminal or "
                         "COLUMNS is 0)")

    stats = command("stats", cmd_stats, "Show the queue's counts.")
    stats.add_argument("--watch", type=_positive_float, metavar="SECONDS",
                       help="redraw the counts and rates every SECONDS until Ctrl-C")

    peek = command("peek", cmd_peek, "List messages, smallest id first, without leasing them. "
                   "A leased message shows when its delivery started, how often its lease "
                   "was extended and which consumer holds it.")
    peek.add_argument("-n", type=_count, default=10, metavar="N", help="at most N (default 10)")
    peek.add_argument("--leased", action="store_true",
                      help="only leased messages, the longest running first")
    peek.add_argument("--bodies", action="store_true", help="show the bodies")
    width_option(peek)

    put = command("put", cmd_put, "Put a message (BODY, or standard input when BODY is - "
                  "or missing). Prints the new ids. Creates the queue if needed.")
    put.add_argument("body", metavar="BODY", nargs="?", help="the body, as text")
    put.add_argument("--delay", type=_nonnegative_float, default=0.0, metavar="SECONDS",
                     help="deliver no earlier than SECONDS from now")
    put.add_argument("--lines", action="store_true",
                     help="each line of standard input is one message")
    put.add_argument("--priority", type=_priority, default=0, metavar="N",
                     help="-100 to 100 (default 0): a higher one is delivered first")
    put.add_argument("--key", metavar="KEY", default=None,
                     help="while a message with KEY is in the queue, put nothing and print "
                     "its id")
    put.add_argument("--unique-for", type=_nonnegative_float, default=0.0, metavar="SECONDS",
                     help="with --key: remember the key SECONDS after its message left")
    put.add_argument("--group", metavar="GROUP", default=None,
                     help="deliver the messages of GROUP in order, at most the queue's group "
                     "limit of them at once")
    put.add_argument("--header", type=_header, action="append", default=[],
                     metavar="NAME=VALUE", help="a header for the message (repeatable)")

    command("pause", cmd_pause, "Pause the queue: it takes puts and settles but delivers "
            "nothing, in every process, until resumed.")
    command("resume", cmd_resume, "Resume a paused queue; waiting consumers wake.")
    cancel = command("cancel", cmd_cancel, "Remove messages that are ready or scheduled "
                     "(not leased); exit 1 naming those that were not.")
    cancel.add_argument("ids", metavar="ID", nargs="+", type=_id)

    show = command("show", cmd_show, "Show what became of message ID: its state, "
                   "deliveries, times, result, and the errors and consumers of its last "
                   "deliveries; exit 1 when it is unknown or no longer kept.")
    show.add_argument("id", metavar="ID", type=_id)
    outcomes = command("outcomes", cmd_outcomes, "List the messages that finished most "
                       "recently (acked, dead or cancelled), latest first.")
    outcomes.add_argument("--state", choices=FINISHED_STATES, default=None,
                          help="only messages in this state")
    outcomes.add_argument("-n", type=_count, default=20, metavar="N",
                          help="at most N (default 20)")

    dead = command("dead", lambda a: 0, "List, requeue or purge the dead letters.",
                   json_output=False)
    actions = dead.add_subparsers(dest="action", metavar="ACTION")
    actions.required = True
    dead_list = actions.add_parser("list", help="list the dead letters, oldest first",
                                   description="List the dead letters, oldest first.")
    dead_list.add_argument("-n", type=_count, default=None, metavar="N", help="at most N")
    dead_list.add_argument("--bodies", action="store_true", help="show the bodies")
    width_option(dead_list)
    dead_list.set_defaults(run=cmd_dead_list)
    requeue = actions.add_parser("requeue", help="put dead letters back as new messages",
                                 description="Put the dead letters with these ids (all when "
                                 "none are given) back into the queue as new messages.")
    requeue.add_argument("ids", metavar="ID", nargs="*", type=_id)
    requeue.set_defaults(run=cmd_dead_requeue)
    dead_purge = actions.add_parser("purge", help="delete every dead letter",
                                    description="Delete every dead letter.")
    dead_purge.set_defaults(run=cmd_dead_purge)
    for sub in (dead_list, requeue, dead_purge):
        sub.add_argument("--json", action="store_true", help="print JSON")

    schedule = command("schedule", lambda a: 0, "Add, list, pause, resume or remove the "
                       "queue's schedules: messages put at each slot of a cron expression "
                       "or an interval, by whichever worker comes first.",
                       json_output=False, directory=False, server=False)
    schedule_actions = schedule.add_subparsers(dest="action", metavar="ACTION")
    schedule_actions.required = True

    def schedule_action(name: str, run: Callable[[argparse.Namespace], int], help: str,
                        named: bool = True) -> argparse.ArgumentParser:
        sub = schedule_actions.add_parser(name, help=help, description=help)
        sub.add_argument("--dsn", metavar="DSN", help="the PostgreSQL database holding the "
                         "queue")
        sub.add_argument("dir", metavar="DIR", help="the queue's directory; with --dsn, the "
                         "queue's name")
        if named:
            sub.add_argument("name", metavar="NAME", help="the schedule's name")
        sub.add_argument("--json", action="store_true", help="print JSON")
        sub.set_defaults(run=run)
        return sub

    schedule_add = schedule_action("add", cmd_schedule_add, "Add a schedule putting BODY "
                                   "(standard input when BODY is - or missing) at each slot; "
                                   "creates the queue if needed.")
    schedule_add.add_argument("body", metavar="BODY", nargs="?", help="the body, as text")
    when = schedule_add.add_mutually_exclusive_group(required=True)
    when.add_argument("--cron", metavar="EXPR", help="a five-field cron expression, e.g. "
                      "'0 3 * * *' (needs croniter)")
    when.add_argument("--every", type=_positive_float, metavar="SECONDS",
                      help="at each multiple of SECONDS (at least 1) since the epoch")
    schedule_add.add_argument("--tz", default="UTC", metavar="ZONE",
                              help="the time zone the cron expression is read in (default UTC)")
    schedule_add.add_argument("--catch-up", choices=CATCH_UP_MODES, default="one",
                              help="after downtime: one message for the missed slots "
                              "(default), one for each (all), or none")
    schedule_add.add_argument("--priority", type=_priority, default=0, metavar="N",
                              help="the messages' priority, -100 to 100 (default 0)")
    schedule_add.add_argument("--header", type=_header, action="append", default=[],
                              metavar="NAME=VALUE", help="a header for the messages (repeatable)")
    schedule_action("list", cmd_schedule_list, "List the schedules with their last and next "
                    "fire times.", named=False)
    schedule_action("remove", cmd_schedule_change, "Delete a schedule.")
    schedule_action("pause", cmd_schedule_change, "Stop a schedule firing until resumed.")
    schedule_action("resume", cmd_schedule_change, "Fire a paused schedule again from its "
                    "next slot.")

    metrics = command("metrics", cmd_metrics, "Serve Prometheus metrics of queues (counts by "
                      "state, the oldest ready message's age, paused, totals) on "
                      "http://HOST:PORT/metrics until SIGTERM or Ctrl-C.",
                      json_output=False, directory=False)
    serving_arguments(metrics, port=None)
    web = command("web", cmd_web, "Serve a web page over queues (counts, messages, dead "
                  "letters, outcomes; pause, resume, requeue, purge) on http://HOST:PORT/ "
                  "until SIGTERM or Ctrl-C.", json_output=False, directory=False)
    serving_arguments(web, port=8765)
    web.add_argument("--read-only", action="store_true",
                     help="show everything, offer and allow no action")

    command("verify", cmd_verify, "Check every record's checksum without changing anything; "
            "exit 1 if the log is damaged.", server=False)
    command("repair", cmd_repair, "Repair a damaged log: cut a torn tail off, or keep every "
            "intact record around damage in the middle (the damaged log is kept beside it).",
            server=False)
    command("compact", cmd_compact, "Rewrite the log with only the live messages.", server=False)
    purge = command("purge", cmd_purge, "Delete every message (the dead letters stay).")
    purge.add_argument("--yes", action="store_true", help="really do it")

    worker = command("worker", cmd_worker,
                     "Run worker processes calling FUNCTION of MODULE for each message, under "
                     "a supervisor that restarts any that dies. SIGTERM or SIGINT stops them (a "
                     "second one, or SIGQUIT, at once); SIGHUP replaces them.",
                     json_output=False, directory=False)
    worker.add_argument("handler", metavar="MODULE:FUNCTION", help="the handler, e.g. jobs:resize")
    worker.add_argument("--queue", required=True, metavar="DIR", action="append",
                        help="the queue's directory; with --dsn, the queue's name. Given "
                        "more than once, the queues are taken in order of priority: a message "
                        "of the first before any of the second")
    worker.add_argument("--processes", type=int, default=1, metavar="N",
                        help="worker processes (default 1)")
    worker.add_argument("--lease", type=_positive_float, default=None, metavar="SECONDS",
                        help="lease per message (default: the queue's, 30)")
    worker.add_argument("--max-deliveries", type=_count, default=None, metavar="N",
                        help="after the N-th failed delivery, move a message to the dead "
                             "letters (default: retry forever)")
    worker.add_argument("--backoff", type=_backoff_arg, default=(1.0, 2.0, 300.0),
                        metavar="FIRST,FACTOR,CAP",
                        help="pause before a failed message is due again: FIRST seconds, "
                             "times FACTOR per delivery, at most CAP (default 1,2,300)")
    worker.add_argument("--grace", type=_nonnegative_float, default=30.0, metavar="SECONDS",
                        help="on SIGTERM, time a running handler has to finish (default 30)")
    worker.add_argument("--timeout", type=_limit, default=DEFAULT_TIMEOUT, metavar="SECONDS",
                        help="a handler's time limit: one running longer is stopped and its "
                        "message fails (default 600; none: no limit)")
    worker.add_argument("--threads", type=_at_least_one, default=1, metavar="N",
                        help="handlers running at once in each worker process, one per "
                        "thread (default 1)")
    worker.add_argument("--prefetch", type=_at_least_one, default=1, metavar="N",
                        help="messages taken at once and run one after another, their acks "
                        "sent together: for many short jobs on PostgreSQL (default 1)")
    worker.add_argument("--concurrency", type=_at_least_one, default=None, metavar="N",
                        help="for an async def handler: coroutines running at once in each "
                        "worker process (default 1)")
    worker.add_argument("--sync-interval", type=_nonnegative_float, default=0.0,
                        metavar="SECONDS", help="most seconds between forced syncs "
                        "(default 0: every operation syncs)")
    worker.add_argument("--no-schedules", action="store_true",
                        help="do not fire the queues' due schedules (by default every worker "
                        "fires them; each slot fires once however many do)")
    worker.add_argument("--log-level", default="info",
                        choices=["debug", "info", "warning", "error"], help="default info")
    worker.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    return parser


def _number(kind: Callable[[str], Any], check: Callable[[Any], bool], what: str
            ) -> Callable[[str], Any]:
    def parse(text: str) -> Any:
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected {what}, not {text!r}") from None
        if not check(value):
            raise argparse.ArgumentTypeError(f"expected {what}, not {text!r}")
        return value
    parse.__name__ = what
    return parse


_positive_float = _number(float, lambda v: 0 < v < float("inf"), "a number of seconds > 0")
_nonnegative_float = _number(float, lambda v: 0 <= v < float("inf"), "a number of seconds >= 0")
_count = _number(int, lambda v: v >= 0, "a whole number >= 0")
_at_least_one = _number(int, lambda v: v >= 1, "a whole number >= 1")
_id = _number(int, lambda v: v >= 0, "an id (a whole number >= 0)")
_port = _number(int, lambda v: 0 <= v <= 65535, "a port from 0 to 65535")
_priority = _number(int, lambda v: -100 <= v <= 100, "a priority from -100 to 100")


def _header(text: str) -> Tuple[str, str]:
    name, sep, value = text.partition("=")
    if not sep:
        raise argparse.ArgumentTypeError(f"expected NAME=VALUE, not {text!r}")
    return name, value


def _limit(text: str) -> Optional[float]:
    """--timeout: seconds above 0, or "none"."""
    return None if text.strip().lower() == "none" else float(_positive_float(text))


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        status: int = args.run(args)
        return status
    except CliError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
    except BrokenPipeError:
        raise  # the reader went away: see _entry
    except (OSError, ValueError, RuntimeError) as exc:
        print(f"{PROG}: error: {_os_text(exc)}", file=sys.stderr)
    except KeyboardInterrupt:
        return 128 + signal.SIGINT
    return 1


def _entry() -> None:
    """The console script."""
    try:
        status = main()
        sys.stdout.flush()
    except BrokenPipeError:
        # Output piped into a command that stopped reading (head): not an error.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        status = 0
    sys.exit(status)


__all__ = ["main", "build_parser", "load_handler"]

