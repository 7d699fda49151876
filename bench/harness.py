"""Timing, rounds, ratios and markdown tables shared by the bench scripts.

Every rate is counted against one clock, `now` (time.perf_counter: monotonic
and, on Linux, the same in every process, so a child's timestamps compare with
the parent's). Comparisons are made in one run, in rounds: a round measures
every case once, in turn, so a machine whose speed drifts (a shared disk's
fsync, the neighbours' load) moves all cases alike; a verdict is the median
over rounds, and the spread tells how far the rounds disagree.

Results a run writes go to SCRATCH (ignored by git) unless a script is told
otherwise; the committed results in RESULTS are refreshed by naming them
(`--out bench/results/NAME.md`). Paths in a report are written by `where`, so
a committed result names no directory of the machine that ran it.
"""

from __future__ import annotations

import os
import statistics
import sys
from itertools import repeat
from time import perf_counter, process_time, sleep
from typing import Any, Callable, Hashable, Iterable, NamedTuple, Optional, Sequence

BENCH = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(BENCH)
RESULTS = os.path.join(BENCH, "results")
SCRATCH = os.path.join(RESULTS, "scratch")

now = perf_counter


# --- timing ---


class Timed(NamedTuple):
    done: int  # calls made, or items handled when the timed unit reports how many
    seconds: float
    cpu_seconds: float  # this process's CPU time (every thread) over the same span

    @property
    def rate(self) -> float:
        return per_second(self.done, self.seconds)

    @property
    def cpu_rate(self) -> float:
        return per_second(self.done, self.cpu_seconds)


class Stopwatch:
    """`with Stopwatch() as watch: ...`, then watch.seconds and watch.cpu_seconds."""

    def __enter__(self) -> "Stopwatch":
        self.seconds = self.cpu_seconds = 0.0
        self._cpu = process_time()
        self._start = now()
        return self

    def __exit__(self, *exc: object) -> None:
        self.seconds = now() - self._start
        self.cpu_seconds = process_time() - self._cpu

    def elapsed(self) -> float:
        return now() - self._start


def per_second(count: float, seconds: float) -> float:
    """count / seconds; 0 when no time passed (there is nothing to rate)."""
    return count / seconds if seconds > 0 else 0.0


def rate(fn: Callable[[int], Any], count: int) -> float:
    """count / seconds of one call fn(count), which does `count` operations."""
    with Stopwatch() as watch:
        fn(count)
    return per_second(count, watch.seconds)


def run_for(fn: Callable[[Any], Any], arg: Any, seconds: float, min_calls: int = 1,
            max_calls: Optional[int] = None) -> Timed:
    """Calls fn(arg) for about `seconds`, at least min_calls and at most
    max_calls times. Calls go in chunks that double while a chunk takes under
    a fiftieth of the time, so the clock is read rarely in a fast loop."""
    calls, chunk = 0, 1
    cpu0 = process_time()
    start = now()
    while True:
        n = chunk if max_calls is None else min(chunk, max_calls - calls)
        chunk_start = now()
        for _ in repeat(None, n):
            fn(arg)
        calls += n
        t = now()
        elapsed = t - start
        if ((elapsed >= seconds and calls >= min_calls)
                or (max_calls is not None and calls >= max_calls)):
            return Timed(calls, elapsed, process_time() - cpu0)
        if (t - chunk_start) * 50 < seconds and chunk < 65536:
            chunk *= 2


def count_for(unit: Callable[[], int], seconds: float, until_empty: bool = False) -> Timed:
    """Calls unit(), which returns how many items it handled, for about
    `seconds`. A unit that handles nothing means its input ran out: the loop
    stops there when until_empty, else that is an error (prefill more)."""
    items = 0
    cpu0 = process_time()
    start = now()
    while True:
        done = unit()
        if not done and not until_empty:
            raise RuntimeError("the timed loop ran out of input: prefill more")
        items += done
        elapsed = now() - start
        if not done or elapsed >= seconds:
            return Timed(items, elapsed, process_time() - cpu0)


def counter_rate(read: Callable[[], float], seconds: float) -> float:
    """How fast read() grows: read, sleep `seconds`, read again; growth per
    second of the time that really passed."""
    first, start = read(), now()
    sleep(seconds)
    return per_second(read() - first, now() - start)


# --- rounds ---


def rounds(cases: Sequence[tuple[Hashable, Callable[[], Any]]], count: int, turns: bool = False,
           before: Optional[Callable[[], None]] = None) -> dict[Hashable, list[Any]]:
    """Measures each case once per round, for `count` rounds: {name: one
    value per round}. A case is (name, fn) and fn() returns its measurement
    (a rate, or whatever record the script keeps of a run). before() runs at
    the start of each round. With turns, the order rotates from round to
    round, so no case always goes first."""
    values: dict[Hashable, list[Any]] = {name: [] for name, _ in cases}
    for r in range(count):
        if before is not None:
            before()
        shift = r % len(cases) if turns else 0
        for name, fn in list(cases[shift:]) + list(cases[:shift]):
            values[name].append(fn())
    return values


def bracketed(measure: Callable[[], float], floor: Callable[[], float]) -> tuple[float, float]:
    """floor(), measure(), floor(): (the measurement, the mean of the floors
    taken right before and after it)."""
    before = floor()
    value = measure()
    return value, (before + floor()) / 2


def median(values: Iterable[float]) -> float:
    return statistics.median(values)


def spread(values: Sequence[float]) -> float:
    """(largest - smallest) / median: how far the rounds disagree, as a fraction."""
    mid = median(values)
    return (max(values) - min(values)) / mid if mid else 0.0


def ratio(a: Any, b: Any) -> Optional[float]:
    """a / b when both are numbers and b is positive, else None."""
    if is_number(a) and is_number(b) and b > 0:
        return float(a) / float(b)
    return None


def ratios(a: Sequence[float], b: Sequence[float]) -> list[float]:
    """The ratio of each round: a[i] / b[i]."""
    if len(a) != len(b):
        raise ValueError("rounds differ in number: %d and %d" % (len(a), len(b)))
    return [x / y for x, y in zip(a, b)]


def is_number(v: Any) -> bool:
    return isinstance(v, (int, float)) and not isinstance(v, bool)


# --- reporting ---


def number(v: Any) -> str:
    """A rate for a table: 3.93M, 324,397, 54.2, 0.98; text and None as they are."""
    if isinstance(v, str):
        return v
    if v is None:
        return "—"
    if v >= 1e6:
        return "%.2fM" % (v / 1e6)
    if v >= 100:
        return "{:,.0f}".format(v)
    if v >= 10:
        return "%.1f" % v
    return "%.2f" % v


def times(a: Any, b: Any) -> str:
    """a / b as "0.98×", or "—" when there is no ratio."""
    r = ratio(a, b)
    return "—" if r is None else "%.2f×" % r


def table(header: Sequence[str], rows: Iterable[Sequence[Any]], align: str = "") -> list[str]:
    """Markdown table lines. align has one letter per column, "l" or "r"
    (missing letters: left); cells are turned into text with str()."""
    header = list(header)
    if len(align) > len(header) or set(align) - {"l", "r"}:
        raise ValueError("align %r does not fit %d columns" % (align, len(header)))
    marks = ["---:" if a == "r" else "---" for a in align.ljust(len(header), "l")]
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join(marks) + "|"]
    for row in rows:
        cells = [str(c) for c in row]
        if len(cells) != len(header):
            raise ValueError("a row of %d cells under %d columns" % (len(cells), len(header)))
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def where(path: str) -> str:
    """A path for a report: relative to the repository when inside it, else
    only its last part, so that results carry no machine's directories."""
    full = os.path.abspath(path)
    if full == REPO or full.startswith(REPO + os.sep):
        return os.path.relpath(full, REPO)
    return "…/" + os.path.basename(full.rstrip(os.sep))


def output(name: str, out: Optional[str] = None) -> str:
    """Where a run writes its result: `out` if given, else SCRATCH/name; the
    directory is created."""
    path = out or os.path.join(SCRATCH, name)
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    return path


def progress(*args: Any) -> None:
    """A progress line on stderr (stdout carries the result)."""
    print(*args, file=sys.stderr, flush=True)
