"""How a failed delivery's exception is kept as its error: the type, the
text and the end of the traceback, within a fixed size."""

from __future__ import annotations

import traceback
from typing import Optional

#: The most bytes (UTF-8) of a failure kept as a delivery's error: the
#: type and text take at most MAX_HEAD_BYTES of it, and the end of the
#: traceback (where it failed) the rest.
MAX_FAILURE_BYTES = 8192
MAX_HEAD_BYTES = 2048


def describe(exc: Optional[BaseException]) -> str:
    """`exc` as "module.Type: text" and, when it has one, its traceback
    (see MAX_FAILURE_BYTES)."""
    if exc is None:
        return ""
    kind = type(exc)
    name = kind.__qualname__ if kind.__module__ == "builtins" else (
        f"{kind.__module__}.{kind.__qualname__}")
    try:
        text = str(exc)
    except Exception:  # a __str__ that fails still leaves the type
        text = ""
    head = _utf8(f"{name}: {text}" if text else name)[:MAX_HEAD_BYTES]
    tb = "".join(traceback.format_tb(exc.__traceback__)) if exc.__traceback__ else ""
    room = MAX_FAILURE_BYTES - len(head) - 1
    tail = _utf8(tb)
    if len(tail) > room:
        tail = b"...\n" + tail[len(tail) - room + 4:]
    out = head + b"\n" + tail if tail else head
    # A cut inside a character drops the rest of it.
    return out.decode("utf-8", "ignore")


def trim(text: str, most: int) -> str:
    """`text` cut to at most `most` bytes of UTF-8, without NUL or lone
    surrogates (which no store keeps)."""
    return _utf8(text)[:most].decode("utf-8", "ignore")


def _utf8(text: str) -> bytes:
    # What every store keeps: no NUL, no lone surrogates.
    return text.replace("\x00", "\\x00").encode("utf-8", "replace")
