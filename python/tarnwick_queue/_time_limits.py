"""A worker's time limits: the jobs it runs, each with its deadline, and the
watchdog thread that acts on the jobs still running at theirs."""

from __future__ import annotations

import heapq
import itertools
import logging
import threading
import time
from typing import Callable, List, Optional, Tuple

from ._face import Message, QueueBackend

log = logging.getLogger("tarnwick_queue.worker")


def timed_out_reason(seconds: float) -> str:
    """The failure of a handler stopped at its time limit: "timed out after
    2 s", "timed out after 2.5 s"."""
    shown = str(int(seconds)) if seconds == int(seconds) else f"{seconds:g}"
    return f"timed out after {shown} s"


class Job:
    """One message being worked on. `owner` says who settles it: the loop
    once the handler is done ("done"), the time limit ("limit") or the end
    of a shutdown ("shutdown"); whoever claims it first, once."""

    __slots__ = ("message", "deadline", "owner", "running", "queue", "started_at", "started")

    def __init__(self, message: Message, deadline: Optional[float],
                 queue: Optional[QueueBackend] = None) -> None:
        self.message = message
        self.deadline = deadline  # time.monotonic() of its time limit
        self.owner: Optional[str] = None
        self.running = True  # its handler has not returned
        self.queue = queue    # the one the message came from
        self.started_at = time.time()
        self.started = time.monotonic()


class Watchdog:
    """The watchdog: a thread that calls `expire(job)` for each job still
    running at its deadline. It starts with the first job and sleeps until
    the earliest deadline."""

    def __init__(self, expire: Callable[[Job], None]) -> None:
        self._expire = expire
        self._lock = threading.Condition(threading.Lock())
        self._heap: List[Tuple[float, int, Job]] = []
        self._order = itertools.count()
        self._live = 0
        # When the thread's wait ends; a job due sooner must wake it, one
        # due later need not (waking per job costs a thread switch each).
        self._wake_at = float("inf")
        self._thread: Optional[threading.Thread] = None
        self._closed = False

    def add(self, job: Job) -> None:
        assert job.deadline is not None
        with self._lock:
            if self._closed:
                return
            heapq.heappush(self._heap, (job.deadline, next(self._order), job))
            self._live += 1
            if self._thread is None:
                self._thread = threading.Thread(target=self._run, daemon=True,
                                                name="tarnwick-worker-limits")
                self._thread.start()
            elif job.deadline < self._wake_at:
                self._lock.notify()

    def remove(self, job: Job) -> None:
        with self._lock:
            self._live -= 1
            # Finished jobs stay in the heap until they come up: rebuild it
            # when they outnumber the running ones.
            if len(self._heap) > 2 * self._live + 64:
                self._heap = [item for item in self._heap if item[2].running]
                heapq.heapify(self._heap)

    def close(self) -> None:
        with self._lock:
            self._closed = True
            thread, self._thread = self._thread, None
            self._lock.notify()
        if thread is not None:
            thread.join()

    def _run(self) -> None:
        with self._lock:
            while not self._closed:
                if not self._heap:
                    self._wake_at = float("inf")
                    self._lock.wait()
                    continue
                # A finished job on top is left until its deadline: sleeping
                # until then, the thread need not be woken for later ones.
                left = self._heap[0][0] - time.monotonic()
                if left > 0:
                    self._wake_at = self._heap[0][0]
                    self._lock.wait(left)
                    continue
                _, _, job = heapq.heappop(self._heap)
                while self._heap and not self._heap[0][2].running:
                    heapq.heappop(self._heap)
                if not job.running:
                    continue
                self._lock.release()
                try:
                    self._expire(job)
                except Exception:
                    log.exception("stopping message %d at its time limit failed", job.message.id)
                finally:
                    self._lock.acquire()


__all__ = ["Job", "Watchdog", "timed_out_reason"]
