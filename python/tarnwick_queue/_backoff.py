"""Growing pauses: between a failed message's deliveries, between a queue's
failures in the Worker's loop, between restarts of a worker process that
keeps dying on start."""

from __future__ import annotations

from typing import Any, Tuple

from ._checks import seconds as _seconds

Backoff = Tuple[float, float, float]


def backoff(value: Any) -> Backoff:
    """`value` checked as a backoff tuple (first, factor, cap)."""
    try:
        first, factor, cap = value
    except (TypeError, ValueError):
        raise TypeError("backoff must be a tuple (first, factor, cap)") from None
    first = _seconds(first, "backoff's first pause")
    cap = _seconds(cap, "backoff's cap")
    if isinstance(factor, bool) or not isinstance(factor, (int, float)):
        raise TypeError(f"backoff's factor must be a number, not {type(factor).__name__}")
    if not 1.0 <= factor < float("inf"):
        raise ValueError(f"backoff's factor must be a finite number >= 1, not {factor!r}")
    if cap < first:
        raise ValueError(f"backoff's cap ({cap}) is below its first pause ({first})")
    return first, float(factor), cap


def retry_delay(deliveries: int, backoff: Backoff) -> float:
    """The pause before a message that failed on its `deliveries`-th delivery
    is due again: first * factor ** (deliveries - 1), at most cap."""
    first, factor, cap = backoff
    try:
        return min(cap, first * factor ** max(0, deliveries - 1))
    except OverflowError:
        return cap
