"""Argument checks, one place for every queue of the face and for the tools.

Each returns the value in the form the drivers take (seconds as a float, a
body as bytes, ids as a list) or raises TypeError or ValueError with the
message users see. Drivers do not check again.
"""

from __future__ import annotations

import json
import os
from typing import Any, Dict, Iterable, List, Mapping, Optional

from .driver import FINISHED_STATES, MAX_ERROR_BYTES, MAX_RESULT_BYTES, Retention

U64_MAX = 2**64 - 1


def seconds(value: Any, name: str) -> float:
    """A finite, non-negative number of seconds."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number of seconds, not {type(value).__name__}")
    out = float(value)
    if not out >= 0.0 or out == float("inf"):
        raise ValueError(f"{name} must be a finite number of seconds >= 0, not {out!r}")
    return out


def positive_seconds(value: Any, name: str) -> float:
    """A finite number of seconds above 0."""
    out = seconds(value, name)
    if out <= 0.0:
        raise ValueError(f"{name} must be more than 0 seconds, not {out!r}")
    return out


def optional_lease(value: Any) -> Optional[float]:
    """A get's or an extend's lease: None (the queue's own) or seconds above 0."""
    return None if value is None else positive_seconds(value, "lease")


def body(value: Any) -> bytes:
    if isinstance(value, bytes):
        return value
    if isinstance(value, (bytearray, memoryview)):
        return bytes(value)
    raise TypeError(f"a message body must be bytes-like, not {type(value).__name__}")


def bodies(values: Iterable[Any]) -> List[bytes]:
    if isinstance(values, (bytes, bytearray, memoryview, str)):
        raise TypeError("put_many() takes an iterable of bodies, not a single body")
    return [body(v) for v in values]


def body_size(value: bytes, most: Optional[int]) -> None:
    """Raises ValueError for a body longer than `most` bytes (None: no limit)."""
    if most is not None and len(value) > most:
        raise ValueError(f"a message body of {len(value)} bytes exceeds the maximum of "
                         f"{most} bytes")


def reason(value: Any) -> str:
    """A dead message's reason: a str that is also its last delivery's error."""
    if not isinstance(value, str):
        raise TypeError(f"reason must be str, not {type(value).__name__}")
    _error_text(value, "reason")
    return value


def error(value: Any) -> Optional[str]:
    """A nacked delivery's error: None, or a str of at most MAX_ERROR_BYTES in UTF-8."""
    if value is None:
        return None
    _error_text(value, "error")
    return str(value)


def _error_text(value: str, name: str) -> None:
    size = len(_text(value, name))
    if size > MAX_ERROR_BYTES:
        raise ValueError(f"{name} must be at most {MAX_ERROR_BYTES} bytes in UTF-8, not {size}"
                         " (trim it: the end of a traceback says most)")


def result(value: Any) -> Optional[bytes]:
    """An ack's result: None, or bytes-like of at most MAX_RESULT_BYTES."""
    if value is None:
        return None
    if not isinstance(value, (bytes, bytearray, memoryview)):
        raise TypeError(f"result must be bytes-like or None, not {type(value).__name__}")
    out = bytes(value)
    if len(out) > MAX_RESULT_BYTES:
        raise ValueError(f"a result of {len(out)} bytes exceeds the maximum of "
                         f"{MAX_RESULT_BYTES} bytes")
    return out


def retention_of(acked: Any, dead: Any, cancelled: Any) -> Retention:
    """A queue's keep_acked, keep_dead and keep_cancelled: seconds >= 0 each."""
    return Retention(seconds(acked, "keep_acked"), seconds(dead, "keep_dead"),
                     seconds(cancelled, "keep_cancelled"))


def outcome_state(value: Any) -> Optional[str]:
    """None or one of the states of a finished message."""
    if value is None or (isinstance(value, str) and value in FINISHED_STATES):
        return value
    raise ValueError(f"state must be None or one of {', '.join(FINISHED_STATES)}, "
                     f"not {value!r}")


def epoch_seconds(value: Any, name: str) -> Optional[float]:
    """None, or a finite time in epoch seconds."""
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a time in epoch seconds, not {type(value).__name__}")
    out = float(value)
    if out != out or out in (float("inf"), float("-inf")):
        raise ValueError(f"{name} must be a finite time in epoch seconds, not {out!r}")
    return out


def non_negative_int(value: Any, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"{name} must be >= 0, not {value}")
    return value


def count(value: Any, name: str) -> int:
    """An int of at least 1."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be at least 1, not {value}")
    return value


def optional_count(value: Any, name: str) -> Optional[int]:
    """None, or an int of at least 1."""
    if value is not None and (isinstance(value, bool) or not isinstance(value, int)):
        raise TypeError(f"{name} must be an int or None, not {type(value).__name__}")
    return None if value is None else count(value, name)


def max_deliveries(value: Any, most: int, most_text: str) -> Optional[int]:
    """None or a count from 1 to `most`; above it, ValueError naming `most_text`."""
    count = optional_count(value, "max_deliveries")
    if count is not None and count > most:
        raise ValueError(f"max_deliveries must be {most_text}")
    return count


def optional_limit(value: Any) -> Optional[int]:
    """A listing's limit: None (all) or an int >= 0."""
    if value is not None and (isinstance(value, bool) or not isinstance(value, int)):
        raise TypeError(f"limit must be an int or None, not {type(value).__name__}")
    if value is not None and value < 0:
        raise ValueError(f"limit must be >= 0, not {value}")
    return value


def ids(values: Optional[Iterable[int]]) -> Optional[List[int]]:
    if values is None:
        return None
    out = []
    for v in values:
        if isinstance(v, bool) or not isinstance(v, int):
            raise TypeError(f"ids must be ints, not {type(v).__name__}")
        if v < 0:
            raise ValueError(f"ids are never negative, got {v}")
        out.append(v)
    return out


def flag(value: Any, name: str) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be a bool, not {type(value).__name__}")
    return value


def directory_path(value: Any) -> str:
    """A queue directory's path (or ":memory:") as str."""
    path = os.fspath(value)
    if not isinstance(path, str):
        raise TypeError(f"path must be str or os.PathLike[str], not {type(path).__name__}")
    if not path:
        # The engine would take it as the current directory.
        raise ValueError('path is empty: name the queue directory (or ":memory:")')
    return path


def byte_count(value: Any, name: str) -> int:
    """An int from 0 to 2**64-1."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int or None")
    if not 0 <= value <= U64_MAX:
        raise ValueError(f"{name} must be between 0 and 2**64-1")
    return value


def queue_name(name: Any) -> str:
    """Raises TypeError or ValueError for what cannot name a queue on a server."""
    if not isinstance(name, str):
        raise TypeError(f"name must be str, not {type(name).__name__}")
    if not name or len(name) > 200 or "\x00" in name:
        raise ValueError("name must be 1 to 200 characters, without NUL")
    return name


# --- a message's options ---

PRIORITY_MIN, PRIORITY_MAX = -100, 100
MAX_NAME_BYTES = 255           # a key's or a group's, in UTF-8
MAX_HEADERS_BYTES = 64 << 10   # the headers as compact UTF-8 JSON
MAX_GROUP_LIMIT = 2**31 - 1    # fits a 32-bit column or field on every driver


def priority(value: Any) -> int:
    """An int from -100 to 100."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"priority must be an int, not {type(value).__name__}")
    if not PRIORITY_MIN <= value <= PRIORITY_MAX:
        raise ValueError(f"priority must be from {PRIORITY_MIN} to {PRIORITY_MAX}, not {value}")
    return int(value)


def _text(value: Any, name: str) -> bytes:
    """`value` as UTF-8: a str without NUL (which no database column keeps)
    and without lone surrogates (which UTF-8 cannot carry)."""
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    if "\x00" in value:
        raise ValueError(f"{name} must not contain NUL characters")
    try:
        return value.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"{name} is not valid Unicode (it holds a lone surrogate)") from None


def name_option(value: Any, name: str) -> Optional[str]:
    """A key or a group: None, or a non-empty str of at most 255 bytes in
    UTF-8 (empty would read as "none" on a store that keeps lengths)."""
    if value is None:
        return None
    encoded = _text(value, name)
    if not encoded:
        raise ValueError(f"{name} must not be empty (None means no {name})")
    if len(encoded) > MAX_NAME_BYTES:
        raise ValueError(f"{name} must be at most {MAX_NAME_BYTES} bytes in UTF-8, not "
                         f"{len(encoded)}")
    return str(value)


def unique_for(value: Any, key: Optional[str]) -> float:
    """Seconds >= 0 a key is remembered after its message left; only with a key."""
    out = seconds(value, "unique_for")
    if out and key is None:
        raise ValueError("unique_for needs a key: it is how long the key is remembered")
    return out


def headers(value: Any) -> Optional[Dict[str, str]]:
    """None (for None or {}), or a copy of a dict of str to str whose compact
    UTF-8 JSON is at most 64 KiB."""
    if value is None:
        return None
    if not isinstance(value, dict):
        raise TypeError(f"headers must be a dict of str to str, not {type(value).__name__}")
    if not value:
        return None
    for k, v in value.items():
        if not isinstance(k, str):
            raise TypeError(f"headers' names must be str, not {type(k).__name__}")
        if not isinstance(v, str):
            raise TypeError(f"headers' values must be str, not {type(v).__name__} "
                            f"(header {k!r})")
        _text(k, "a header's name")
        _text(v, f"header {k!r}")
    encoded = json.dumps(value, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
    size = len(encoded)
    if size > MAX_HEADERS_BYTES:
        raise ValueError(f"headers must be at most {MAX_HEADERS_BYTES} bytes as JSON, not "
                         f"{size}")
    return {str(k): str(v) for k, v in value.items()}


def group_limit(value: Any) -> Optional[int]:
    """A queue's group limit: None (keep the stored one) or an int >= 1."""
    if value is None:
        return None
    out = count(value, "group_limit")
    if out > MAX_GROUP_LIMIT:
        raise ValueError(f"group_limit must be at most {MAX_GROUP_LIMIT}, not {out}")
    return out


def message_id(value: Any) -> int:
    """A message's id, for cancel() and status()."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"id must be an int, not {type(value).__name__}")
    if not 0 <= value <= U64_MAX:
        raise ValueError(f"id must be from 0 to 2**64-1, not {value}")
    return int(value)


PUT_OPTIONS = ("priority", "key", "unique_for", "group", "headers")


def put_options(options: Mapping[str, Any]) -> Dict[str, Any]:
    """put()'s options (any of PUT_OPTIONS), checked all before anything is
    written, as the driver's keyword arguments."""
    for name in options:
        if name not in PUT_OPTIONS:
            raise TypeError(f"put() got an unexpected keyword argument {name!r}")
    key = name_option(options.get("key"), "key")
    return {"priority": priority(options.get("priority", 0)), "key": key,
            "unique_for": unique_for(options.get("unique_for", 0.0), key),
            "group": name_option(options.get("group"), "group"),
            "headers": headers(options.get("headers"))}
