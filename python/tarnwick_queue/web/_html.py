"""The HTML of the web page: escaping by default, and the page's parts.

Every value that reaches a page goes through `text()`, which escapes it
unless it is already `Html` (markup built here from escaped parts): a body,
a header or a reason holding markup is shown as text.
"""

from __future__ import annotations

import html
import time
from typing import Any, Iterable, Mapping, Optional, Sequence
from urllib.parse import urlencode

# What a body or a result shows at most; the rest is counted, not shown.
SHOWN_BYTES = 4096

STYLE = """
body { font: 14px/1.4 system-ui, sans-serif; margin: 1.5em; color: #222; }
a { color: #0645ad; text-decoration: none; } a:hover { text-decoration: underline; }
table { border-collapse: collapse; margin: .5em 0 1em; }
th, td { text-align: left; padding: .25em .7em; border-bottom: 1px solid #ddd;
         vertical-align: top; }
th { background: #f3f3f3; } td.n { text-align: right; font-variant-numeric: tabular-nums; }
pre { background: #f6f6f6; padding: .3em .5em; max-width: 60em; min-width: 14em;
      white-space: pre-wrap; overflow-wrap: anywhere; margin: 0; }
td > span { white-space: nowrap; }
form { display: inline; margin: 0 .3em 0 0; }
button { font: inherit; padding: .1em .6em; cursor: pointer; }
button.danger { color: #a00; }
.paused { color: #a60; font-weight: bold; } .error { color: #a00; }
nav { margin-bottom: 1em; } nav a { margin-right: 1em; } .muted { color: #777; }
"""


class Html(str):
    """Markup that is already safe: text() passes it through."""


def text(value: Any) -> Html:
    """`value` as HTML: escaped, unless it is Html already; None is a dash."""
    if isinstance(value, Html):
        return value
    if value is None:
        return Html("&mdash;")
    return Html(html.escape(str(value), quote=True))


def join(parts: Iterable[Any], separator: str = "") -> Html:
    return Html(separator.join(text(p) for p in parts))


def link(href: str, label: Any) -> Html:
    return Html(f'<a href="{text(href)}">{text(label)}</a>')


def table(headers: Sequence[str], rows: Iterable[Sequence[Any]],
          numeric: Sequence[int] = ()) -> Html:
    head = join(Html(f"<th>{text(h)}</th>") for h in headers)
    body = []
    for row in rows:
        cells = (Html(f'<td class="n">{text(c)}</td>') if i in numeric else
                 Html(f"<td>{text(c)}</td>") for i, c in enumerate(row))
        body.append(Html(f"<tr>{join(cells)}</tr>"))
    if not body:
        body.append(Html(f'<tr><td colspan="{len(headers)}" class="muted">none</td></tr>'))
    return Html(f"<table><tr>{head}</tr>{join(body)}</table>")


def button_form(action: str, label: str, csrf: str, *, fields: Optional[Mapping[str, str]] = None,
                danger: bool = False) -> Html:
    """A form that POSTs to `action` with the page's cross-site token."""
    hidden = join(Html(f'<input type="hidden" name="{text(k)}" value="{text(v)}">')
                  for k, v in {"csrf": csrf, **(fields or {})}.items())
    kind = ' class="danger"' if danger else ""
    return Html(f'<form method="post" action="{text(action)}">{hidden}'
                f'<button type="submit"{kind}>{text(label)}</button></form>')


def page(title: str, body: Html, *, base: str, refresh: Optional[int] = 5) -> bytes:
    """A whole page; `refresh` seconds until it reloads itself (None: never)."""
    meta = f'<meta http-equiv="refresh" content="{refresh}">' if refresh else ""
    return (f'<!DOCTYPE html><html lang="en"><head><meta charset="utf-8">{meta}'
            f'<title>{text(title)} - tarnwick</title>'
            f'<link rel="stylesheet" href="{text(base)}/style.css"></head><body>'
            f'<nav>{link(base + "/", "tarnwick")}</nav><h1>{text(title)}</h1>{body}'
            f"</body></html>").encode()


# The characters a queue's label keeps in its URL; the others become ~XX.
SLUG_SAFE = frozenset(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-")


def slug(label: str) -> str:
    """`label` as one path segment. Not %-escapes: WSGI servers decode
    those in PATH_INFO, so a directory's slashes would split the path."""
    return "".join(chr(b) if b in SLUG_SAFE else f"~{b:02x}" for b in label.encode("utf-8"))


def queue_path(base: str, label: str, *rest: str) -> str:
    return "/".join([f"{base}/q/{slug(label)}", *rest])


def with_query(path: str, **query: Any) -> str:
    kept = {k: v for k, v in query.items() if v not in (None, "")}
    return f"{path}?{urlencode(kept)}" if kept else path


def moment(epoch: Optional[float], now: Optional[float] = None) -> Html:
    """How long ago (or from now) `epoch` is, its UTC time as a tooltip."""
    if epoch is None:
        return text(None)
    now = time.time() if now is None else now
    stamp = time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(epoch))
    delta = now - epoch
    words = f"{duration(abs(delta))} ago" if delta >= 0 else f"in {duration(-delta)}"
    return Html(f'<span title="{text(stamp)}">{text(words)}</span>')


def duration(seconds: float) -> str:
    if seconds < 60:
        return f"{seconds:.1f} s" if seconds < 10 else f"{seconds:.0f} s"
    if seconds < 3600:
        return f"{seconds / 60:.0f} min"
    if seconds < 86400:
        return f"{seconds / 3600:.1f} h"
    return f"{seconds / 86400:.1f} d"


def shown_bytes(data: Optional[bytes]) -> Html:
    """Bytes shown safely, whatever they hold: UTF-8 text as text, anything
    else as Python's bytes literal; at most SHOWN_BYTES of them."""
    if data is None:
        return text(None)
    head = data[:SHOWN_BYTES]
    try:
        shown = head.decode("utf-8")
        if any(c < " " and c not in "\t\n\r" for c in shown):
            raise ValueError("control characters")
    except ValueError:  # not text (or cut inside a character): the escapes say what it holds
        shown = repr(head)
    more = len(data) - len(head)
    tail = f'<div class="muted">&hellip; {more} more bytes</div>' if more > 0 else ""
    return Html(f"<pre>{text(shown)}</pre>{tail}")


def headers_cell(headers: Mapping[str, str]) -> Html:
    return join((Html(f"{text(k)}={text(v)}") for k, v in sorted(headers.items())), "<br>")
