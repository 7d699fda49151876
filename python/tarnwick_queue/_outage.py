"""An outage: a queue's calls failing in a row (its server restarting or out
of reach, a full disk), told as one story rather than once per try.

The first failure logs at WARNING that the calls are failing and will be
tried again; the tries after it log at DEBUG; the first success after them
logs at INFO how long it lasted. Each failure gives the pause before the next
try, growing with retry_delay."""

from __future__ import annotations

import logging
import time
from typing import Optional

from ._backoff import Backoff, retry_delay

# The pauses between tries (first, factor, cap): 0.5 s, doubling, at most 5 s.
PAUSES: Backoff = (0.5, 2.0, 5.0)


class Outage:
    """Counts the failures of `what` (a few words: "taking a message") in a
    row, logging on `log`. Not thread-safe: one per loop."""

    def __init__(self, log: logging.Logger, what: str, pauses: Backoff = PAUSES) -> None:
        self._log = log
        self._what = what
        self._pauses = pauses
        self.failures = 0
        self._since: Optional[float] = None  # time.monotonic() of the first failure

    @property
    def ongoing(self) -> bool:
        return self.failures > 0

    def failed(self, exc: BaseException) -> float:
        """Counts a failure; returns the pause before the next try."""
        self.failures += 1
        pause = retry_delay(self.failures, self._pauses)
        if self.failures == 1:
            self._since = time.monotonic()
            # An error that is not the queue's store or connection (which
            # are OSErrors, as ConnectionLost is) may be a fault of the
            # code: its traceback is worth the lines.
            self._log.warning("%s failed (%s): the queue is out of reach; trying again, with "
                              "growing pauses, until it is back", self._what, describe(exc),
                              exc_info=None if isinstance(exc, OSError) else exc)
        else:
            self._log.debug("%s failed again (try %d): %s", self._what, self.failures,
                            describe(exc))
        return pause

    def succeeded(self) -> None:
        """Ends the outage, if there was one."""
        if not self.failures:
            return
        assert self._since is not None
        lasted = time.monotonic() - self._since
        self._log.info("the queue is back after %.1f s (%s failed %d time%s)", lasted,
                       self._what, self.failures, "" if self.failures == 1 else "s")
        self.failures = 0
        self._since = None


    def forget(self) -> None:
        """Ends the outage without a success to tell of (nothing is left
        to try): the next failure starts another."""
        if self.failures:
            self._log.debug("%s: nothing left to try after %d failure(s)", self._what,
                            self.failures)
        self.failures = 0
        self._since = None


def describe(exc: BaseException) -> str:
    """`exc` on one line: its type and its text."""
    text = " ".join(str(exc).split())
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__
