"""A web page over tarnwick queues: a WSGI application on the standard
library alone, with no JavaScript and no build step.

    from tarnwick_queue.web import Dashboard, serve
    app = Dashboard({"jobs": queue})             # a WSGI application
    serve(app, port=8765)                        # or mount it in your own

WSGI because every queue call blocks: a WSGI server runs each request on a
thread of its own, the standard library serves it (`serve`), Django and
Flask hosts mount it as it is, and ASGI hosts mount it through their WSGI
adapter (`a2wsgi.WSGIMiddleware`, Starlette's `WSGIMiddleware`). It honours
SCRIPT_NAME, so it can live under any prefix.

Actions (pause, resume, requeue, purge) are POSTs carrying a token only
the page's own forms hold, from the same origin; `read_only=True` hides and
refuses them. `authorize(environ, action)` decides each request: `action`
is "view", "pause", "resume", "requeue" or "purge"; False answers 403.
"""

from __future__ import annotations

import hmac
import logging
import secrets
import threading
import time
from collections import deque
from typing import Any, Callable, Deque, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple
from urllib.parse import parse_qs, urlsplit

from .._face import queue_label
from ._html import (
    STYLE,
    Html,
    button_form,
    headers_cell,
    join,
    link,
    moment,
    page,
    queue_path,
    shown_bytes,
    slug,
    table,
    text,
    with_query,
)

log = logging.getLogger("tarnwick_queue.web")

ACTIONS = ("pause", "resume", "requeue", "purge")
# How many messages, dead letters and outcomes a page lists at most.
LISTED = 200
# The window of the acks-per-minute figure, from the stats this page read.
RATE_WINDOW = 300.0
PEEKED_STATES = ("ready", "scheduled", "leased")
OUTCOME_STATES = ("acked", "dead", "cancelled")
Authorize = Callable[[Dict[str, Any], str], bool]
StartResponse = Callable[..., Any]


class HttpError(Exception):
    def __init__(self, status: str, message: str) -> None:
        super().__init__(message)
        self.status = status


class AckRate:
    """Acks per minute of one queue, from the acked_total of the stats the
    page reads (each view, and the page reloads itself). Totals that start
    again (a compaction) count from zero, as Prometheus reads a counter
    reset. A store that counts no totals but its last minute's acks
    (PostgreSQL's acked_last_minute) shows that; one with neither, none."""

    def __init__(self) -> None:
        self._samples: Deque[Tuple[float, int]] = deque()
        self._lock = threading.Lock()

    def add(self, now: float, stats: Mapping[str, Any]) -> Optional[float]:
        total = stats.get("acked_total")
        if not isinstance(total, int):
            recent = stats.get("acked_last_minute")
            return float(recent) if isinstance(recent, int) else None
        with self._lock:
            samples = self._samples
            samples.append((now, total))
            while len(samples) > 2 and samples[1][0] <= now - RATE_WINDOW:
                samples.popleft()
            if len(samples) < 2 or samples[-1][0] - samples[0][0] < 1.0:
                return None
            acked = 0
            for (_, before), (_, after) in zip(samples, list(samples)[1:]):
                acked += after - before if after >= before else after
            return 60.0 * acked / (samples[-1][0] - samples[0][0])


class Dashboard:
    """The web page over `queues` (a mapping of label to queue, or a
    sequence of queues labelled by their name or path), as a WSGI app.

    `secret` signs the page's cross-site token: give the same one to every
    process that serves the page behind one address (random otherwise).
    `allowed_hosts`, when given, are the Host headers answered (others get
    400), which a page on a loopback address needs against DNS rebinding."""

    def __init__(self, queues: Any, *, read_only: bool = False,
                 authorize: Optional[Authorize] = None, secret: Optional[bytes] = None,
                 allowed_hosts: Optional[Iterable[str]] = None,
                 clock: Callable[[], float] = time.time) -> None:
        if isinstance(queues, Mapping):
            pairs = [(str(k), v) for k, v in queues.items()]
        else:
            pairs = [(queue_label(q), q) for q in queues]
        if not pairs:
            raise ValueError("a dashboard needs at least one queue")
        self._queues: Dict[str, Any] = dict(pairs)
        if len(self._queues) != len(pairs):
            raise ValueError("two queues have the same label")
        self.read_only = bool(read_only)
        self._authorize = authorize
        self._token = hmac.new(secret or secrets.token_bytes(32), b"tarnwick-web-form",
                               "sha256").hexdigest()
        self.allowed_hosts = None if allowed_hosts is None else {h.lower() for h in allowed_hosts}
        self._clock = clock
        self._rates = {label: AckRate() for label in self._queues}
        self._labels = {slug(label): label for label in self._queues}

    # --- WSGI ---

    def __call__(self, environ: Dict[str, Any], start_response: StartResponse) -> List[bytes]:
        try:
            status, headers, body = self._respond(environ)
        except HttpError as exc:
            status, headers = exc.status, [("Content-Type", "text/plain; charset=utf-8")]
            body = (str(exc) + "\n").encode("utf-8")
        except Exception as exc:  # a queue that fails is shown, and the server goes on
            log.exception("%s %s failed", environ.get("REQUEST_METHOD"),
                          environ.get("PATH_INFO"))
            status, headers = "500 Internal Server Error", [
                ("Content-Type", "text/plain; charset=utf-8")]
            body = f"{type(exc).__name__}: {exc}\n".encode("utf-8", "replace")
        start_response(status, headers + SECURITY_HEADERS +
                       [("Content-Length", str(len(body)))])
        return [body]

    def _respond(self, environ: Dict[str, Any]) -> Tuple[str, List[Tuple[str, str]], bytes]:
        if self.allowed_hosts is not None and _host(environ).lower() not in self.allowed_hosts:
            raise HttpError("400 Bad Request", "this page answers only its own address")
        method = environ.get("REQUEST_METHOD", "GET")
        base = environ.get("SCRIPT_NAME", "").rstrip("/")
        parts = [p for p in environ.get("PATH_INFO", "/").split("/") if p]
        if method == "POST":
            return self._post(environ, base, parts)
        if method != "GET":
            raise HttpError("405 Method Not Allowed", "GET or POST only")
        self._check(environ, "view")
        if parts == ["style.css"]:
            return "200 OK", [("Content-Type", "text/css; charset=utf-8"),
                              ("Cache-Control", "max-age=3600")], STYLE.encode()
        query = {k: v[-1] for k, v in parse_qs(environ.get("QUERY_STRING", "")).items()}
        html = self._get(base, parts, query)
        return "200 OK", [("Content-Type", "text/html; charset=utf-8"),
                          ("Cache-Control", "no-store")], html

    def _check(self, environ: Dict[str, Any], action: str) -> None:
        if self._authorize is not None and not self._authorize(environ, action):
            raise HttpError("403 Forbidden", f"not allowed: {action}")

    # --- pages ---

    def _get(self, base: str, parts: List[str], query: Dict[str, str]) -> bytes:
        if not parts:
            return page("Queues", self._overview(base), base=base)
        if parts[0] != "q" or len(parts) < 2:
            raise HttpError("404 Not Found", "no such page")
        (label, queue), rest = self._queue(parts[1]), parts[2:]
        if not rest:
            return page(label, self._queue_page(base, label, queue, query), base=base)
        if rest == ["dead"]:
            return page(f"{label}: dead letters",
                        self._dead_page(base, label, queue, query), base=base)
        if rest == ["dead", "purge"]:  # the confirmation, which must not reload itself
            return page(f"{label}: purge the dead letters?",
                        self._purge_page(base, label, queue), base=base, refresh=None)
        if rest == ["outcomes"]:
            return page(f"{label}: outcomes",
                        self._outcomes_page(base, label, queue, query), base=base)
        if len(rest) == 2 and rest[0] == "m":
            return page(f"{label}: message {rest[1]}",
                        self._message_page(base, label, queue, rest[1], query), base=base)
        raise HttpError("404 Not Found", "no such page")

    def _queue(self, segment: str) -> Tuple[str, Any]:
        """The label and queue a URL's segment names."""
        label = self._labels.get(segment)
        if label is None:
            raise HttpError("404 Not Found", "no such queue here")
        return label, self._queues[label]

    def _overview(self, base: str) -> Html:
        rows: List[List[Any]] = []
        for label, queue in self._queues.items():
            name = link(queue_path(base, label), label)
            try:
                stats = dict(queue.stats())
            except Exception as exc:  # one queue's failure spoils not the rest
                rows.append([name, Html(f'<span class="error">{text(exc)}</span>'),
                             "", "", "", "", "", ""])
                continue
            now = self._clock()
            rate = self._rates[label].add(now, stats)
            rows.append([name, stats["ready"], stats["scheduled"], stats["in_flight"],
                         link(queue_path(base, label, "dead"), stats["dead_letters"]),
                         _age(stats.get("oldest_ready_at"), now),
                         None if rate is None else f"{rate:.1f}", _paused(stats["paused"])])
        return table(["queue", "ready", "scheduled", "leased", "dead", "oldest ready",
                      "acks/min", ""], rows, numeric=(1, 2, 3, 4, 5, 6))

    def _queue_page(self, base: str, label: str, queue: Any, query: Dict[str, str]) -> Html:
        stats = dict(queue.stats())
        now = self._clock()
        self._rates[label].add(now, stats)
        here = queue_path(base, label)
        state = query.get("state") if query.get("state") in PEEKED_STATES else None
        bodies = query.get("bodies") == "1"
        actions: List[Html] = []
        if not self.read_only:
            actions.append(button_form(f"{here}/resume", "Resume", self._token) if stats["paused"]
                           else button_form(f"{here}/pause", "Pause", self._token))
        summary = table(["ready", "scheduled", "leased", "dead", "oldest ready", ""], [[
            stats["ready"], stats["scheduled"], stats["in_flight"],
            link(f"{here}/dead", stats["dead_letters"]), _age(stats.get("oldest_ready_at"), now),
            _paused(stats["paused"])]], numeric=(0, 1, 2, 3, 4))
        filters = join([link(with_query(here, bodies="1" if bodies else None), "all")] +
                       [link(with_query(here, state=s, bodies="1" if bodies else None), s)
                        for s in PEEKED_STATES], " &middot; ")
        toggle = link(with_query(here, state=state, bodies=None if bodies else "1"),
                      "hide bodies" if bodies else "show bodies")
        infos = [m for m in queue.peek(LISTED, bodies=bodies) if state in (None, m.state)]
        headers = ["id", "state", "age", "due", "deliveries", "priority", "group", "key",
                   "headers", "size"] + (["body"] if bodies else [])
        rows = [[link(f"{here}/m/{m.id}", m.id), m.state, moment(m.enqueued_at, now),
                 moment(m.due_at, now), m.deliveries, m.priority, m.group, m.key,
                 headers_cell(m.headers), m.size] + ([shown_bytes(m.body)] if bodies else [])
                for m in infos]
        return join([summary, Html("<p>"), join(actions),
                     link(f"{here}/dead", "dead letters"), Html(" &middot; "),
                     link(f"{here}/outcomes", "recent outcomes"), Html("</p>"),
                     Html(f"<h2>Messages</h2><p>{filters} &middot; {toggle} "
                          f'<span class="muted">(the {LISTED} smallest ids)</span></p>'),
                     table(headers, rows, numeric=(0, 4, 5, 9))])

    def _dead_page(self, base: str, label: str, queue: Any, query: Dict[str, str]) -> Html:
        here = queue_path(base, label, "dead")
        bodies = query.get("bodies") == "1"
        letters = queue.dead_letters.list(LISTED)
        actions = Html("")
        if not self.read_only and letters:
            actions = join([button_form(f"{here}/requeue", "Requeue all", self._token),
                            link(f"{here}/purge", "Purge\u2026")])
        headers = ["id", "message", "died", "deliveries", "reason"] + (["body"] if bodies else [])
        if not self.read_only:
            headers.append("")
        rows = []
        for d in letters:
            row: List[Any] = [d.id, link(queue_path(base, label, "m", str(d.original_id)),
                                         d.original_id),
                              moment(d.died_at), d.deliveries, d.reason or None]
            if bodies:
                row.append(shown_bytes(d.body))
            if not self.read_only:
                row.append(button_form(f"{here}/requeue", "Requeue", self._token,
                                       fields={"id": str(d.id)}))
            rows.append(row)
        toggle = link(with_query(here, bodies=None if bodies else "1"),
                      "hide bodies" if bodies else "show bodies")
        return join([Html("<p>"), actions, toggle, Html("</p>"),
                     table(headers, rows, numeric=(0, 1, 3))])

    def _purge_page(self, base: str, label: str, queue: Any) -> Html:
        if self.read_only:
            raise HttpError("403 Forbidden", "this page is read-only")
        here = queue_path(base, label, "dead")
        count = len(queue.dead_letters)
        return join([Html(f"<p>Delete all {count} dead letters of {text(label)}? "
                          "This cannot be undone.</p>"),
                     button_form(f"{here}/purge", "Purge", self._token,
                                 fields={"confirm": "yes"}, danger=True),
                     link(here, "Cancel")])

    def _outcomes_page(self, base: str, label: str, queue: Any, query: Dict[str, str]) -> Html:
        here = queue_path(base, label, "outcomes")
        state = query.get("state") if query.get("state") in OUTCOME_STATES else None
        filters = join([link(here, "all")] + [link(with_query(here, state=s), s)
                                              for s in OUTCOME_STATES], " &middot; ")
        rows = [[link(queue_path(base, label, "m", str(s.id)), s.id), s.state,
                 moment(s.finished_at), s.deliveries, s.errors[-1] if s.errors else None]
                for s in queue.outcomes(state, LISTED)]
        return join([Html(f"<p>{filters}</p>"),
                     table(["id", "state", "finished", "deliveries", "last error"], rows,
                           numeric=(0, 3))])

    def _message_page(self, base: str, label: str, queue: Any, id_text: str,
                      query: Dict[str, str]) -> Html:
        if not id_text.isdigit():
            raise HttpError("404 Not Found", "a message id is a number")
        status = queue.status(int(id_text))
        if status is None:
            return Html("<p>This queue has no message with this id, or no longer keeps its "
                        "outcome.</p>")
        here = queue_path(base, label, "m", id_text)
        result: Any = None
        if status.result is not None:
            result = (shown_bytes(status.result) if query.get("result") == "1" else
                      link(with_query(here, result="1"), f"show ({len(status.result)} bytes)"))
        dead = None if status.dead_letter_id is None else link(
            queue_path(base, label, "dead"), f"dead letter {status.dead_letter_id}")
        fields = [("state", status.state), ("deliveries", status.deliveries),
                  ("enqueued", moment(status.enqueued_at)), ("started", moment(status.started_at)),
                  ("finished", moment(status.finished_at)), ("priority", status.priority),
                  ("group", status.group), ("key", status.key),
                  ("headers", headers_cell(status.headers)), ("result", result),
                  ("dead letter", dead)]
        history = [[i + 1, c] for i, c in enumerate(status.consumers)]
        errors = [[i + 1, shown_bytes(e.encode("utf-8"))] for i, e in enumerate(status.errors)]
        return join([table(["", ""], fields), Html("<h2>Errors, newest last</h2>"),
                     table(["#", "error"], errors, numeric=(0,)),
                     Html("<h2>Consumers of the last deliveries</h2>"),
                     table(["#", "consumer"], history, numeric=(0,))])

    # --- actions ---

    def _post(self, environ: Dict[str, Any], base: str,
              parts: List[str]) -> Tuple[str, List[Tuple[str, str]], bytes]:
        if self.read_only:
            raise HttpError("403 Forbidden", "this page is read-only")
        form = _form(environ)
        if not _same_origin(environ) or not hmac.compare_digest(form.get("csrf", ""),
                                                                self._token):
            raise HttpError("403 Forbidden", "a cross-site request, or a stale form: "
                            "reload the page and try again")
        if len(parts) < 3 or parts[0] != "q":
            raise HttpError("404 Not Found", "no such action")
        (label, queue), rest = self._queue(parts[1]), parts[2:]
        here = queue_path(base, label)
        action = rest[-1]
        if rest not in (["pause"], ["resume"], ["dead", "requeue"], ["dead", "purge"]):
            raise HttpError("404 Not Found", "no such action")
        self._check(environ, action)
        if action == "pause":
            queue.pause()
        elif action == "resume":
            queue.resume()
        elif action == "requeue":
            ids = None
            if "id" in form:
                if not form["id"].isdigit():
                    raise HttpError("400 Bad Request", "a dead letter's id is a number")
                ids = [int(form["id"])]
            queue.dead_letters.requeue(ids)
            here += "/dead"
        else:
            if form.get("confirm") != "yes":
                raise HttpError("400 Bad Request", "a purge needs its confirmation")
            queue.dead_letters.purge()
            here += "/dead"
        log.info("%s on %s by %s", action, label, environ.get("REMOTE_ADDR"))
        return "303 See Other", [("Location", here), ("Content-Type", "text/plain")], b""


SECURITY_HEADERS = [
    ("Content-Security-Policy", "default-src 'none'; style-src 'self'; form-action 'self'; "
                                "frame-ancestors 'none'; base-uri 'none'"),
    ("X-Frame-Options", "DENY"), ("X-Content-Type-Options", "nosniff"),
    ("Referrer-Policy", "same-origin")]
# The largest form a POST may carry.
MAX_FORM_BYTES = 4096


def _form(environ: Dict[str, Any]) -> Dict[str, str]:
    kind = environ.get("CONTENT_TYPE", "").split(";")[0].strip().lower()
    if kind != "application/x-www-form-urlencoded":
        raise HttpError("415 Unsupported Media Type", "a form, please")
    try:
        length = int(environ.get("CONTENT_LENGTH") or 0)
    except ValueError:
        raise HttpError("400 Bad Request", "a bad Content-Length") from None
    if not 0 <= length <= MAX_FORM_BYTES:
        raise HttpError("413 Payload Too Large", "the form is too large")
    raw = environ["wsgi.input"].read(length).decode("utf-8", "replace")
    return {k: v[-1] for k, v in parse_qs(raw).items()}


def _host(environ: Dict[str, Any]) -> str:
    host = environ.get("HTTP_HOST")
    if host:
        return str(host)
    return f"{environ.get('SERVER_NAME', '')}:{environ.get('SERVER_PORT', '')}"


def _same_origin(environ: Dict[str, Any]) -> bool:
    """Whether what the browser says of the request's origin (when it says
    anything) is this page's own."""
    site = environ.get("HTTP_SEC_FETCH_SITE")
    if site is not None and site not in ("same-origin", "none"):
        return False
    origin = environ.get("HTTP_ORIGIN")
    if origin is None:
        return True
    return origin != "null" and urlsplit(str(origin)).netloc.lower() == _host(environ).lower()


def _age(oldest: Optional[float], now: float) -> Any:
    return None if oldest is None else f"{max(0.0, now - oldest):.1f} s"


def _paused(paused: bool) -> Html:
    return Html('<span class="paused">paused</span>') if paused else Html("")


def loopback_hosts(host: str, port: int) -> Optional[Sequence[str]]:
    """The Host headers a page served on `host`:`port` answers: its own
    names on a loopback address, any on others (None)."""
    if host not in ("127.0.0.1", "::1", "localhost"):
        return None
    names = ["127.0.0.1", "localhost", "[::1]"]
    return [f"{n}:{port}" for n in names] + (names if port == 80 else [])


def serve(app: Any, port: int = 8765, host: str = "127.0.0.1") -> Any:
    """Serves the WSGI `app` from a thread of its own, a thread per
    request; returns the server (shutdown() stops it, server_close() frees
    the port)."""
    from socketserver import ThreadingMixIn
    from wsgiref.simple_server import WSGIRequestHandler, WSGIServer, make_server

    class Server(ThreadingMixIn, WSGIServer):
        daemon_threads = True
        address_family = _family(host)

    class Handler(WSGIRequestHandler):
        def log_message(self, format: str, *args: Any) -> None:
            log.debug("%s %s", self.address_string(), format % args)

    server = make_server(host, port, app, server_class=Server, handler_class=Handler)
    threading.Thread(target=server.serve_forever, name="tarnwick-web", daemon=True).start()
    return server


def _family(host: str) -> int:
    import socket
    return socket.AF_INET6 if ":" in host else socket.AF_INET


__all__ = ["ACTIONS", "Authorize", "Dashboard", "loopback_hosts", "serve"]
