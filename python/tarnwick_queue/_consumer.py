"""Who takes messages: the consumer id a lease names (peek() shows it).

By default a process is `host:pid`; a queue may be given a short id of its
own instead (`consumer_id=`). An id is at most MAX_BYTES bytes in UTF-8, of
printable characters, so that it fits the local log's LEASE record and
stays on one line of a table."""

from __future__ import annotations

import os
import socket
from typing import Any, Optional

MAX_BYTES = 64

_host: Optional[str] = None


def default() -> str:
    """`host:pid` of the calling process (the host cut so the id fits)."""
    global _host
    if _host is None:
        _host = socket.gethostname() or "localhost"
    pid = f":{os.getpid()}"
    host = _host.encode("utf-8", "replace")[:MAX_BYTES - len(pid)].decode("utf-8", "ignore")
    return host + pid


def check(value: Any) -> Optional[str]:
    """None (the default), or a consumer id: a non-empty printable str of at
    most MAX_BYTES bytes in UTF-8."""
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"consumer_id must be a str or None, not {type(value).__name__}")
    if not value or not value.isprintable():
        raise ValueError(f"consumer_id must be non-empty printable text, not {value!r}")
    try:
        size = len(value.encode("utf-8"))
    except UnicodeEncodeError:
        raise ValueError(f"consumer_id must be valid text, not {value!r}") from None
    if size > MAX_BYTES:
        raise ValueError(f"consumer_id must be at most {MAX_BYTES} bytes in UTF-8, not {size}")
    return value
