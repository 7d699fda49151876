"""Worker: the loop every consumer writes, done once.

A Worker takes messages with a blocking get, calls the handler, acks when it
returns, retries with a growing pause when it raises, parks a message in the
dead letters after its last try, keeps long jobs' leases alive, stops a
handler that outlives its time limit and stops cleanly on a signal (the
table of signals is in docs/workers.md). It runs one handler at a time in
the calling thread, N at once in threads of its own (`threads=N`), or
coroutines on an event loop (an `async def` handler, `concurrency=N`), and
takes from one queue or several, in order of priority. `Supervisor`
(supervisor.py) keeps N worker processes running.

Worker only orchestrates its parts: the loop (take, run, settle), a
LeaseKeeper (leases.py) that renews the running jobs' leases, the time
limits (a watchdog thread, or the event loop's timers), and the shutdown
policy (the signal handlers and the grace period). It talks to its queues
only through the backend protocol (get, or take and watch for several
queues, and settling through Message), so any backend works.
"""

from __future__ import annotations

import functools
import inspect
import logging
import signal
import threading
import time
from queue import Empty
from typing import (
    TYPE_CHECKING,
    Any,
    Callable,
    Dict,
    List,
    NamedTuple,
    Optional,
    Sequence,
    Set,
    Tuple,
    Union,
)

from . import _failure
from ._backoff import backoff as _backoff
from ._backoff import retry_delay
from ._checks import count as _count
from ._checks import optional_count as _optional_count
from ._checks import positive_seconds as _positive_seconds
from ._checks import seconds as _seconds
from ._face import BaseQueue, LeaseLost, Message, QueueBackend
from ._gathering import Gathering
from ._outage import Outage, describe
from ._queue_set import QueueSet, Taken
from ._time_limits import Job, Watchdog, timed_out_reason
from .leases import LeaseKeeper
from .supervisor import (
    EXIT_CONFIG,
    SUPERVISOR_FD_ENV,
    Supervisor,
    TimeLimitReport,
    watch_supervisor,
)
from .waiting import LONGEST_WAIT, StopEvent, wait_readable

if TYPE_CHECKING:
    import asyncio

log = logging.getLogger("tarnwick_queue.worker")

Handler = Callable[[Message], Any]
QueueOrFactory = Union[QueueBackend, Callable[[], QueueBackend]]

# Pauses after the queue itself failed (a full disk, a lost connection, a
# server restarting): tried again after each, for as long as it takes. A
# low cap, so that workers are back within seconds of the server; a take
# every 5 s per worker costs a server nothing.
ERROR_PAUSE = (0.5, 2.0, 5.0)
# A handler's time limit when none is given, in seconds (None: no limit).
DEFAULT_TIMEOUT = 600.0
#: Functions that wrap the handler of every Worker made from then on
#: (tarnwick_queue.telemetry adds one): wrap(handler, is_async) returns what
#: the worker calls instead, an async def function for an async handler.
HANDLER_WRAPPERS: List[Callable[[Handler, bool], Handler]] = []
# The signal that stops a handler running in the main thread at its limit.
LIMIT_SIGNAL = signal.SIGALRM
# With prefetch, the longest a finished job's ack waits to be sent with
# others: a worker killed within it runs those jobs again.
ACK_WINDOW = 0.005


class _Interrupted(BaseException):
    """Raised into a handler that outlived the shutdown grace period, or that
    a signal to stop now cut short. A BaseException, so that a handler's
    `except Exception` does not eat it."""


class _TimedOut(BaseException):
    """Raised into a handler in the main thread that outlived its time limit
    (its message is settled already). A BaseException, as _Interrupted."""


def failure_reason(exc: BaseException) -> str:
    """What a dead letter records about the exception that killed it: its
    type and text, within what a reason may hold."""
    text = str(exc)
    reason = f"{type(exc).__qualname__}: {text}" if text else type(exc).__qualname__
    return _failure.trim(reason, _failure.MAX_HEAD_BYTES)


def is_async_handler(handler: Any) -> bool:
    """Whether calling `handler` makes a coroutine (an `async def` function,
    a partial of one, or an object whose __call__ is one)."""
    while isinstance(handler, functools.partial):
        handler = handler.func
    call = None if inspect.isroutine(handler) else inspect.getattr_static(handler, "__call__", None)
    return inspect.iscoroutinefunction(handler) or inspect.iscoroutinefunction(call)


class JobDone(NamedTuple):
    """What on_job_done is told when a job ends: the queue the message came
    from, the message, its outcome ("acked", "retried", "dead", "returned",
    "lost", "unknown", or "settled" by the handler itself), when its handler
    started (epoch seconds) and how long the job took, settling included."""

    queue: Optional[QueueBackend]
    message: Message
    outcome: str
    started_at: float
    duration: float


class Worker:
    """Runs `handler(message)` for message after message from `queue`: a
    queue, a function that opens one (then run() opens it and closes it at
    the end, which is what a forked or spawned process wants), or a list of
    those, taken in order of priority: a message of the first queue before
    any of the second, and so on.

    When the handler returns, the message is acked (unless the handler
    settled it itself). When it raises, the message is nacked, due again
    after backoff = (first, factor, cap): first * factor**(deliveries-1)
    seconds, at most cap; on its `max_deliveries`-th delivery it goes to the
    dead letters instead, with the exception's type and text as the reason.
    (With max_deliveries None the worker retries forever; a queue opened
    with its own max_deliveries still parks the message on the delivery
    after that.)

    `timeout` is each handler's time limit in seconds (None: none). A
    handler running longer is stopped: its message fails with the error
    "timed out after S s" (nacked with the backoff, or dead after its last
    try) and the worker goes on. Run in the main thread, the handler is
    interrupted by a signal (which also ends a blocking system call); in
    other threads, and for a handler stuck in C code, the stop is soft: the
    message is settled at the limit and the handler's late result is
    dropped. Under a Supervisor, a process whose handler is still running
    KILL_MARGIN seconds past its limit is killed and replaced.

    `threads` runs that many handlers at once, each in a thread of its own.
    An `async def` handler runs on an event loop, `concurrency` coroutines
    at once, stopped at its limit by cancellation.

    `lease` is the lease each message is taken with (the queue's when
    None). While a handler runs, a LeaseKeeper renews the lease each time a
    third of it has passed, up to the time limit; if a renewal finds the
    lease lost, that is logged and the message is not acked.

    When the queue fails (its server restarts, a full disk), the take is
    tried again after growing pauses until it works, logged once when the
    failures start and once when they end. A settling call that fails so
    has an unknown outcome: the message was settled, or it is delivered
    again when its lease ends; the worker goes on.

    run() in the main thread handles SIGTERM, SIGINT and SIGHUP: no new
    message is taken, the running handlers have `grace` seconds to finish,
    then they are interrupted and their messages go back to the queue with
    a nack, and run() returns. SIGQUIT, or a second SIGTERM or SIGINT, stops
    now: the running handlers are interrupted at once and their messages
    nacked. stop() (from any thread) stops taking new messages and lets the
    running handlers finish.

    With `fire_schedules` (the default) the worker also fires its queues'
    due schedules (queue.schedules) as it goes, waking at each next slot;
    any number of workers may: each slot is fired once.

    `prefetch` takes up to that many messages at once (in each handler
    thread) and runs them one after another, holding the leases of those
    waiting their turn; the acks of jobs that succeed are sent together
    (one ack_many, one commit) at the next take or ACK_WINDOW seconds after
    the first of them finished, whichever comes first. For many short jobs
    on a store where each commit costs a round trip (PostgreSQL). A worker
    killed within that window runs the jobs of those acks again, as it
    would a job killed before its ack; messages taken and not yet started
    when it stops go back to the queue, each delivery counted. Leave it at
    1 for long jobs: a prefetched message waits behind the running one
    while other workers may be idle.

    `on_job_done(JobDone)` is called after each job, in the thread that
    settled it (tarnwick_queue.metrics.JobMetrics is one); what it raises
    is logged and dropped."""

    def __init__(self, queue: Union[QueueOrFactory, Sequence[QueueOrFactory]],
                 handler: Handler, *,
                 lease: Optional[float] = None, max_deliveries: Optional[int] = None,
                 backoff: Tuple[float, float, float] = (1.0, 2.0, 300.0),
                 grace: float = 30.0, timeout: Optional[float] = DEFAULT_TIMEOUT,
                 threads: int = 1, concurrency: Optional[int] = None,
                 prefetch: int = 1, fire_schedules: bool = True,
                 on_job_done: Optional[Callable[[JobDone], None]] = None) -> None:
        given = list(queue) if isinstance(queue, (list, tuple)) else [queue]
        if not given:
            raise ValueError("a worker needs at least one queue")
        self._sources: List[Tuple[Optional[QueueBackend], Optional[Callable[[], QueueBackend]]]]
        self._sources = []
        for one in given:
            if hasattr(one, "get"):
                self._sources.append((one, None))  # type: ignore[arg-type]
            elif callable(one):
                self._sources.append((None, one))
            else:
                raise TypeError("queue must be a queue or a function that opens one, "
                                f"not {type(one).__name__}")
        if not callable(handler):
            raise TypeError(f"handler must be callable, not {type(handler).__name__}")
        self._async = is_async_handler(handler)
        for wrap in HANDLER_WRAPPERS:
            handler = wrap(handler, self._async)
        self._handler = handler
        self._lease = None if lease is None else _positive_seconds(lease, "lease")
        self._max_deliveries = _optional_count(max_deliveries, "max_deliveries")
        self._backoff = _backoff(backoff)
        self._grace = _seconds(grace, "grace")
        self._timeout = None if timeout is None else _positive_seconds(timeout, "timeout")
        self._threads = _count(threads, "threads")
        self._concurrency = _count(1 if concurrency is None else concurrency, "concurrency")
        self._prefetch = _count(prefetch, "prefetch")
        if not isinstance(fire_schedules, bool):
            raise TypeError("fire_schedules must be True or False")
        self._fire_schedules = fire_schedules
        if on_job_done is not None and not callable(on_job_done):
            raise TypeError("on_job_done must be callable")
        self._on_job_done = on_job_done
        if self._async and self._threads != 1:
            raise ValueError("an async handler runs on an event loop: give concurrency=N, "
                             "not threads")
        if self._async and self._prefetch != 1:
            raise ValueError("prefetch is for plain handlers: an async handler takes a "
                             "message for each free slot")
        if not self._async and concurrency is not None:
            raise ValueError("concurrency is for async handlers; a plain function runs in "
                             "threads=N")

        self._stopping = threading.Event()
        self._stop_asked = False  # the same, read by the loop for each message
        # Ends the loop's blocking get when stop() is called or a signal comes
        # (it is the signal wake-up descriptor while run() runs).
        self._wake = StopEvent()
        # The stop events of the handler threads' gets (threads=N).
        self._thread_stops: List[StopEvent] = []
        self._running = False
        self._in_handler = False  # the main thread runs the handler (signals reach it)
        self._signalled = False  # a signal to stop has come
        self._cut_short = False  # the grace period is over, or a signal said stop now
        self._grace_timer: Optional[threading.Timer] = None
        self._jobs_lock = threading.Lock()
        self._jobs: Dict[int, Job] = {}  # by id() of the job, while the handler runs
        self._current: Optional[Job] = None  # the main thread's job
        self._interrupt: Optional[Job] = None  # the job the limit signal is for
        self._keeper: Optional[LeaseKeeper] = None
        self._limits: Optional[Watchdog] = None
        self._acks: Optional[Gathering[Job]] = None  # with prefetch
        self._report: Optional[TimeLimitReport] = None
        self._told_idle = True  # the supervisor knows no handler runs
        self._error: Optional[BaseException] = None  # what ended a handler thread
        # What happened so far: acked, retried (nacked after a failure), dead,
        # lost (lease gone before settling), returned (nacked at shutdown),
        # unknown (the settling call's connection broke: settled, or back by
        # its lease).
        self.counts = {"acked": 0, "retried": 0, "dead": 0, "lost": 0, "returned": 0,
                       "unknown": 0}

    # --- control ---

    def stop(self) -> None:
        """Stops taking messages; run() returns once the running handlers are done."""
        self._stop_asked = True
        self._stopping.set()
        self._wake.set()
        for stop in list(self._thread_stops):
            stop.set()

    @property
    def stopping(self) -> bool:
        return self._stopping.is_set()

    def run(self) -> None:
        """Processes messages until stop() or a signal to stop. A stopped
        worker stays stopped: run() on it again returns at once."""
        if self._running:
            raise RuntimeError("this worker is running already")
        self._running = True
        queues: List[QueueBackend] = []
        restore: Callable[[], None] = lambda: None  # noqa: E731
        # Its thread starts with the first job: an idle worker has none.
        keeper = self._keeper = LeaseKeeper(name="tarnwick-worker-leases")
        if self._prefetch > 1:
            self._acks = Gathering(self._ack_gathered, ACK_WINDOW, "tarnwick-worker-acks")
        try:
            for given, factory in self._sources:
                queues.append(factory() if factory is not None else given)  # type: ignore[arg-type]
            restore = self._install_signals()
            if self._timeout is not None:  # else there is nothing to tell
                self._report = TimeLimitReport.from_environment() or self._report
            if self._async:
                self._run_async(QueueSet(queues, self._lease, self._fire_schedules), keeper)
            elif self._threads > 1:
                self._limits = Watchdog(self._expire)
                self._run_threads(QueueSet(queues, self._lease, self._fire_schedules), keeper)
            else:
                self._limits = Watchdog(self._expire)
                self._loop(QueueSet(queues, self._lease, self._fire_schedules), keeper, self._wake)
        finally:
            # The shutdown order. The loop has returned, so the last jobs are
            # settled (or given back) already: they ran, and were settled,
            # while the keeper still renewed their leases, and while the
            # signal handlers could still cut them short.
            self.stop()
            # The grace timer is joined before the handlers are restored: a
            # signal it is sending must reach ours, not the default one.
            if self._grace_timer is not None:
                self._grace_timer.cancel()
                self._grace_timer.join()
            if self._limits is not None:
                self._limits.close()
            restore()
            # The gathered acks go while the keeper still renews their leases.
            if self._acks is not None:
                self._acks.close()
            # Nothing is held any more; the keeper goes before the queue
            # its renewals would use.
            keeper.close()
            for (_, factory), opened in zip(self._sources, queues):
                if factory is not None:
                    opened.close()
            self._running = False
        if self._error is not None:
            raise self._error

    # --- the loop ---

    def _loop(self, queues: QueueSet, keeper: LeaseKeeper, stop: StopEvent) -> None:
        # A queue that fails (its server restarting) is tried again after
        # growing pauses, logged once when it starts failing and once when
        # it works again.
        outage = Outage(log, "taking a message", ERROR_PAUSE)
        # A job of the first queue that succeeded, its ack left to the next
        # look at that queue: one step, and one sync, for both.
        succeeded: Optional[Job] = None
        try:
            while not self._stop_asked:
                if self._acks is not None:
                    self._acks.flush()  # what finished is acked before more is taken
                taken: List[Taken] = []
                if succeeded is not None:
                    job, succeeded = succeeded, None
                    taken = self._ack_in_look(job, keeper, queues)
                if taken:
                    outage.succeeded()
                else:
                    try:
                        # While it fails, a look that finds nothing tells it
                        # is back as well as a message does.
                        taken = queues.take(stop, block=not outage.ongoing, count=self._prefetch)
                    except Empty:
                        if not self._stop_asked:
                            outage.succeeded()
                        continue  # stopped, or back without a message
                    except ValueError:
                        raise  # a closed queue: nothing to wait for
                    except Exception as exc:
                        self._stopping.wait(outage.failed(exc))
                        continue
                    outage.succeeded()
                for waiting in taken[1:]:
                    keeper.hold(waiting.message, self._lease)  # renewed while it waits its turn
                for i, one in enumerate(taken):
                    if self._stop_asked:
                        self._give_back(taken[i:], keeper)
                        break
                    try:
                        succeeded = self._process(one.message, keeper, one.queue,
                                                  defer_ack=one.queue is queues.queues[0])
                    except BaseException:
                        # SystemExit or KeyboardInterrupt from the handler: the
                        # rest go back now, not at the end of their leases.
                        self._give_back(taken[i + 1:], keeper)
                        raise
        finally:
            if succeeded is not None:  # stopping: no look follows
                self._settle_now(succeeded, keeper, self._succeeded)

    def _ack_in_look(self, job: Job, keeper: LeaseKeeper, queues: QueueSet) -> List[Taken]:
        """Acks a job of the first queue that succeeded in the same step as a
        look at the queues; returns what the look took."""
        found: List[Taken] = []

        def ack_in_look(message: Message) -> str:
            nonlocal found
            found, _ = queues.look(self._prefetch, ack=message)
            if not message.settled:
                raise LeaseLost(message.id)
            return "acked"

        # A failed look (OSError) leaves the ack's outcome unknown; the take
        # that follows meets the failure too.
        self._settle_now(job, keeper, ack_in_look)
        return found

    def _give_back(self, unstarted: List[Taken], keeper: LeaseKeeper) -> None:
        """Prefetched messages not started when the worker stops: nacked."""
        if not unstarted:
            return
        for one in unstarted:
            if keeper.release(one.message) and not one.message.settled:
                try:
                    one.message.nack()
                except (LeaseLost, OSError):
                    pass  # back when its lease ends
        with self._jobs_lock:
            self.counts["returned"] += len(unstarted)
        log.info("%d message(s) taken and not started returned to the queue", len(unstarted))

    def _process(self, message: Message, keeper: LeaseKeeper,
                 queue: Optional[QueueBackend] = None, defer_ack: bool = False) -> Optional[Job]:
        """Runs the handler on `message` and settles it; with `defer_ack`, a
        success whose ack is left to the caller returns its job, still held."""
        job = self._begin(message, keeper, queue)
        inline = threading.current_thread() is threading.main_thread() and self._threads == 1
        try:
            try:
                if inline:
                    self._current = job
                    self._in_handler = True
                # A signal that came after the take and before the line
                # above started no grace period: give the message back.
                if self._stop_asked:
                    raise _Interrupted
                result = self._handler(message)
                if inspect.isawaitable(result):
                    _discard(result)
                    raise TypeError("the handler returned an awaitable: give an async def "
                                    "function, which the worker runs on an event loop")
            finally:
                if inline:
                    self._in_handler = False
                    self._current = None
        except (_Interrupted, _TimedOut):
            self._finish(job, keeper, self._return)
            return None
        except Exception as exc:
            self._finish(job, keeper, functools.partial(self._failed, reason=failure_reason(exc),
                                                        exc=exc))
            return None
        except BaseException:
            # KeyboardInterrupt, SystemExit from the handler: give the
            # message back before leaving.
            self._finish(job, keeper, self._return)
            raise
        return self._finish(job, keeper, self._succeeded, gather=True, defer=defer_ack)

    def _begin(self, message: Message, keeper: LeaseKeeper,
               queue: Optional[QueueBackend] = None) -> Job:
        deadline = None if self._timeout is None else time.monotonic() + self._timeout
        job = Job(message, deadline, queue)
        # The keeper renews the lease up to the limit, not past it.
        keeper.hold(message, self._lease, until=deadline)
        with self._jobs_lock:
            self._jobs[id(job)] = job
            self._tell_supervisor()
        if deadline is not None and self._limits is not None:
            self._limits.add(job)
        return job

    def _end(self, job: Job) -> None:
        """The job's handler is done (or, in a thread, given up on)."""
        with self._jobs_lock:
            if not job.running:
                return
            job.running = False
            del self._jobs[id(job)]
            self._tell_supervisor()
        if job.deadline is not None and self._limits is not None:
            self._limits.remove(job)

    def _claim(self, job: Job, owner: str) -> bool:
        with self._jobs_lock:
            if job.owner is not None:
                return False
            job.owner = owner
            return True

    def _tell_supervisor(self) -> None:
        """With the jobs' lock held: the earliest time limit of the running
        handlers, for the supervisor's hard limit."""
        if self._report is None:
            return
        deadlines = [j.deadline for j in self._jobs.values() if j.deadline is not None]
        if deadlines:
            self._report.left(min(deadlines) - time.monotonic())
            self._told_idle = False
        elif not self._told_idle:
            self._report.left(None)
            self._told_idle = True

    def _finish(self, job: Job, keeper: LeaseKeeper, settle: Callable[[Message], str],
                gather: bool = False, defer: bool = False) -> Optional[Job]:
        """Settles a job whose handler is done; with `gather`, its ack is sent
        with others' with prefetch (see _ack_gathered), or, with `defer` and
        a queue of the face, left to the caller, which gets the job back."""
        self._end(job)
        if not self._claim(job, "done"):
            # Settled at its time limit or at the end of a shutdown: this
            # late result is dropped (the message may be with another
            # consumer by now).
            log.debug("message %d: its handler ended after it was settled", job.message.id)
            return None
        if gather and job.queue is not None and not job.message.settled:
            # Still held: its lease is renewed until the ack.
            if self._acks is not None:
                self._acks.add(job)
                return None
            if defer and isinstance(job.queue, BaseQueue):
                return job
        self._settle_now(job, keeper, settle)
        return None

    def _settle_now(self, job: Job, keeper: LeaseKeeper,
                    settle: Callable[[Message], str]) -> None:
        message = job.message
        # Once released, no renewal of it is under way: one never races the
        # settling of the same lease.
        kept = keeper.release(message)
        if message.settled:
            self._done(job, "settled")  # by the handler itself
            return
        if not kept:
            self._done(job, "lost")
            log.warning("message %d: not settled, its lease was lost while it ran", message.id)
            return
        try:
            self._done(job, settle(message))
        except LeaseLost:
            self._done(job, "lost")
            log.warning("message %d: its lease ended before it was settled; "
                        "it will be delivered again", message.id)
        except OSError as exc:
            # The connection broke during the call (ConnectionLost is an
            # OSError), or the store failed: whether it was settled is
            # unknown. Either it was, or its lease runs out and it is
            # delivered again; the loop goes on, and its next take finds
            # out whether the queue is there.
            self._done(job, "unknown")
            log.warning("message %d: the outcome of settling it is unknown (%s); it was "
                        "settled, or it is delivered again when its lease ends",
                        message.id, describe(exc))

    def _ack_gathered(self, jobs: List[Job]) -> None:
        """Acks finished jobs together: one ack_many per queue. Within the
        window a time limit may have passed: a lease outlives the last
        renewal by two thirds of its length, more than the window."""
        keeper = self._keeper
        batches: Dict[int, Tuple[QueueBackend, List[Job]]] = {}
        for job in jobs:
            queue = job.queue
            assert queue is not None  # _finish gathers only a job with its queue
            if keeper is not None and not keeper.release(job.message):
                self._done(job, "lost")
                log.warning("message %d: not settled, its lease was lost while it ran",
                            job.message.id)
            else:
                batches.setdefault(id(queue), (queue, []))[1].append(job)
        for queue, batch in batches.values():
            lost: Set[int] = set()
            try:
                queue.ack_many([job.message for job in batch])
            except LeaseLost as exc:
                lost = set(exc.lost)
                log.warning("message(s) %s: their lease ended before they were acked; they "
                            "will be delivered again", ", ".join(map(str, sorted(lost))))
            except OSError as exc:
                log.warning("%d message(s): the outcome of acking them is unknown (%s); they "
                            "were acked, or they are delivered again when their leases end",
                            len(batch), describe(exc))
                for job in batch:
                    self._done(job, "unknown")
                continue
            for job in batch:
                self._done(job, "lost" if job.message.id in lost else "acked")

    def _done(self, job: Job, outcome: str) -> None:
        """Counts the job's outcome and tells on_job_done."""
        if outcome in self.counts:
            with self._jobs_lock:  # handler threads settle at the same time
                self.counts[outcome] += 1
        if self._on_job_done is None:
            return
        try:
            self._on_job_done(JobDone(job.queue, job.message, outcome, job.started_at,
                                      time.monotonic() - job.started))
        except Exception:
            log.exception("on_job_done failed for message %d", job.message.id)

    def _succeeded(self, message: Message) -> str:
        message.ack()
        return "acked"

    def _failed(self, message: Message, reason: str, exc: Optional[BaseException] = None) -> str:
        info = None if exc is None else (type(exc), exc, exc.__traceback__)
        if self._max_deliveries is not None and message.deliveries >= self._max_deliveries:
            message.dead(reason)
            log.error("message %d failed on delivery %d of %d, moved to the dead letters: %s",
                      message.id, message.deliveries, self._max_deliveries, reason,
                      exc_info=info)
            return "dead"
        delay = retry_delay(message.deliveries, self._backoff)
        # The delivery's error, for status(): with the traceback, when there is one.
        message.nack(delay, error=reason if exc is None else _failure.describe(exc))
        log.warning("message %d failed on delivery %d, due again in %.3g s: %s",
                    message.id, message.deliveries, delay, reason,
                    exc_info=info if log.isEnabledFor(logging.DEBUG) else None)
        return "retried"

    def _return(self, message: Message) -> str:
        message.nack()
        log.warning("message %d: unfinished at shutdown, returned to the queue", message.id)
        return "returned"

    def _settle_for(self, job: Job, settle: Callable[[Message], str]) -> None:
        """Settles a job whose handler may still run (at its time limit, at
        the end of a shutdown), once claimed."""
        message = job.message
        kept = self._keeper.release(message) if self._keeper is not None else True
        if message.settled or not kept:
            return
        try:
            self._done(job, settle(message))
        except LeaseLost:
            pass  # the handler settled it meanwhile, or its lease ran out
        except Exception:
            log.exception("message %d: settling it failed; it comes back at its lease's end",
                          message.id)

    # --- time limits ---

    def _expire(self, job: Job) -> None:
        """At a job's time limit (the watchdog's thread): fails its message
        and stops its handler, with a signal if it runs in the main thread."""
        if not job.running or not self._claim(job, "limit"):
            return
        assert self._timeout is not None
        reason = timed_out_reason(self._timeout)
        log.warning("message %d: %s; stopping its handler", job.message.id, reason)
        self._settle_for(job, functools.partial(self._failed, reason=reason))
        if self._current is job and self._in_handler:
            self._interrupt = job
            main = threading.main_thread().ident
            assert main is not None
            # A real signal, so that a handler blocked in a system call is woken.
            signal.pthread_kill(main, LIMIT_SIGNAL)

    def _on_limit(self, signum: int, frame: Any) -> None:
        job, self._interrupt = self._interrupt, None
        if job is not None and self._in_handler and self._current is job:
            raise _TimedOut

    # --- threads ---

    def _run_threads(self, queues: QueueSet, keeper: LeaseKeeper) -> None:
        stops = [StopEvent() for _ in range(self._threads)]
        self._thread_stops = stops
        if self._stop_asked:
            for stop in stops:
                stop.set()
        threads = [threading.Thread(target=self._thread_main, args=(queues, keeper, stop),
                                    name=f"tarnwick-worker-{i}", daemon=True)
                   for i, stop in enumerate(stops)]
        for thread in threads:
            thread.start()
        try:
            # The main thread waits for a stop (a signal's handler runs here).
            while not self._stop_asked and all(t.is_alive() for t in threads):
                self._wake.drain()
                if self._stop_asked:
                    break
                wait_readable([self._wake.fileno()], LONGEST_WAIT)
            self.stop()
            give_up = time.monotonic() + self._grace
            while any(t.is_alive() for t in threads) and not self._cut_short:
                left = give_up - time.monotonic()
                if left <= 0:
                    log.warning("the running handlers did not finish within %.3g s",
                                self._grace)
                    break
                self._wake.drain()
                wait_readable([self._wake.fileno()], left)
            # A thread cannot be interrupted: its message goes back, and its
            # late result is dropped.
            with self._jobs_lock:
                left_running = list(self._jobs.values())
            for job in left_running:
                if self._claim(job, "shutdown"):
                    self._settle_for(job, self._return)
        finally:
            for stop in stops:
                stop.close()
            self._thread_stops = []

    def _thread_main(self, queues: QueueSet, keeper: LeaseKeeper,
                     stop: StopEvent) -> None:
        try:
            self._loop(queues, keeper, stop)
        except BaseException as exc:
            if self._error is None:
                self._error = exc
            self.stop()
        finally:
            self._wake.poke()

    # --- async handlers ---

    def _run_async(self, queues: QueueSet, keeper: LeaseKeeper) -> None:
        import asyncio
        asyncio.run(self._dispatch(queues, keeper))

    async def _dispatch(self, queues: QueueSet, keeper: LeaseKeeper) -> None:
        import asyncio
        loop = asyncio.get_running_loop()
        changed = asyncio.Event()  # a stop, a signal, a free slot
        tasks: Dict[asyncio.Task[None], Job] = {}

        def woken() -> None:
            self._wake.drain()
            changed.set()
            if self._cut_short:
                for task in tasks:
                    task.cancel()

        loop.add_reader(self._wake.fileno(), woken)
        outage = Outage(log, "taking a message", ERROR_PAUSE)
        try:
            while not self._stop_asked:
                if len(tasks) >= self._concurrency:
                    changed.clear()
                    await changed.wait()
                    continue
                try:
                    taken = await self._take_async(queues, changed, outage)
                except ValueError:
                    raise  # a closed queue: nothing to wait for
                except Exception as exc:
                    changed.clear()
                    try:  # the pause, which a stop ends
                        await asyncio.wait_for(changed.wait(), outage.failed(exc))
                    except asyncio.TimeoutError:
                        pass
                    continue
                if taken is None:
                    continue
                job = self._begin(taken.message, keeper, taken.queue)
                task = loop.create_task(self._process_async(job, keeper))
                tasks[task] = job
                task.add_done_callback(functools.partial(_forget, tasks, changed))
            give_up = loop.time() + self._grace
            while tasks and not self._cut_short:
                left = give_up - loop.time()
                if left <= 0:
                    log.warning("the running handlers did not finish within %.3g s",
                                self._grace)
                    break
                changed.clear()
                try:
                    await asyncio.wait_for(changed.wait(), left)
                except asyncio.TimeoutError:
                    pass
            for task in list(tasks):
                task.cancel()
            if tasks:
                await asyncio.wait(list(tasks))
        finally:
            loop.remove_reader(self._wake.fileno())

    async def _take_async(self, queues: QueueSet, changed: asyncio.Event,
                          outage: Outage) -> Optional[Taken]:
        """The next message by the queues' order, waiting on their watches;
        None when `changed` was set meanwhile (the caller looks at why). A
        look that works ends an `outage`."""
        import asyncio
        loop = asyncio.get_running_loop()
        while True:
            changed.clear()
            if self._stop_asked:
                return None
            watches = queues.arm()
            taken, due = queues.look()
            outage.succeeded()
            if taken:
                return taken[0]
            fds, wait = queues.wait_for(watches, due)
            ready: asyncio.Future[None] = loop.create_future()
            for fd in fds:
                loop.add_reader(fd, _resolve, ready)
            other: asyncio.Future[Any] = loop.create_task(changed.wait())
            try:
                await asyncio.wait([ready, other], timeout=wait,
                                   return_when=asyncio.FIRST_COMPLETED)
            finally:
                for fd in fds:
                    loop.remove_reader(fd)
                other.cancel()
            if changed.is_set():
                return None

    async def _process_async(self, job: Job, keeper: LeaseKeeper) -> None:
        import asyncio
        message = job.message
        handler = asyncio.ensure_future(self._handler(message))
        try:
            done, _ = await asyncio.wait([handler], timeout=self._timeout)
        except asyncio.CancelledError:
            # A shutdown cut it short: the message goes back.
            handler.cancel()
            self._finish(job, keeper, self._return)
            return
        if not done:
            # Past its time limit: cancelled; the message fails now, and
            # whatever the coroutine does after is dropped.
            assert self._timeout is not None
            reason = timed_out_reason(self._timeout)
            if self._claim(job, "limit"):
                log.warning("message %d: %s; cancelling its handler", message.id, reason)
                self._settle_for(job, functools.partial(self._failed, reason=reason))
            handler.add_done_callback(lambda _: self._end(job))
            handler.cancel()
            return
        if handler.cancelled():
            self._finish(job, keeper, self._return)
            return
        exc = handler.exception()
        if exc is None:
            self._finish(job, keeper, self._succeeded)
        elif isinstance(exc, Exception):
            self._finish(job, keeper, functools.partial(self._failed, reason=failure_reason(exc),
                                                        exc=exc))
        else:
            self._finish(job, keeper, self._return)
            raise exc

    # --- signals ---

    def _install_signals(self) -> Callable[[], None]:
        if threading.current_thread() is not threading.main_thread():
            return lambda: None
        previous = {signum: signal.signal(signum, self._on_signal)
                    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGQUIT)}
        if self._timeout is not None and self._threads == 1 and not self._async:
            previous[LIMIT_SIGNAL] = signal.signal(LIMIT_SIGNAL, self._on_limit)
        # A signal that reaches another thread must still end the main
        # thread's wait in get, so that the handler runs.
        old_wakeup = signal.set_wakeup_fd(self._wake.wakeup_fd(), warn_on_full_buffer=False)

        def restore() -> None:
            signal.set_wakeup_fd(old_wakeup)
            for signum, handler in previous.items():
                signal.signal(signum, handler)
        return restore

    def _on_signal(self, signum: int, frame: Any) -> None:
        """SIGTERM, SIGINT, SIGHUP: a warm stop, within the grace period.
        SIGQUIT, or SIGTERM or SIGINT after a stop began: stop now. SIGHUP
        never cuts a stop short (a worker whose supervisor is gone sends
        itself one)."""
        if self._cut_short:
            if self._in_handler:
                raise _Interrupted
            return
        name = signal.Signals(signum).name
        now = signum == signal.SIGQUIT or (self._signalled and signum != signal.SIGHUP)
        if self._signalled and not now:
            return
        self._signalled = True
        self.stop()
        log.info("%s: stopping%s", name, " now" if now else "")
        if now or self._grace == 0:
            self._cut_short = True
            self._wake.poke()  # threads and the event loop look at it
            if self._in_handler:
                raise _Interrupted
        elif self._in_handler:
            self._grace_timer = threading.Timer(self._grace, self._end_grace)
            self._grace_timer.daemon = True
            self._grace_timer.start()

    def _end_grace(self) -> None:
        if not self._in_handler:
            return
        log.warning("the running handler did not finish within %.3g s", self._grace)
        self._cut_short = True
        # A real signal, so that a handler blocked in a system call is woken.
        main = threading.main_thread().ident
        assert main is not None  # it has started
        signal.pthread_kill(main, signal.SIGTERM)


def _resolve(future: asyncio.Future[None]) -> None:
    if not future.done():
        future.set_result(None)


def _forget(tasks: Dict[Any, Job], changed: asyncio.Event, task: Any) -> None:
    tasks.pop(task, None)
    changed.set()  # a slot is free


def _discard(awaitable: Any) -> None:
    close = getattr(awaitable, "close", None)
    if close is not None:
        close()  # no "never awaited" warning


__all__ = ["DEFAULT_TIMEOUT", "EXIT_CONFIG", "HANDLER_WRAPPERS", "JobDone", "SUPERVISOR_FD_ENV",
           "Supervisor", "Worker", "failure_reason", "retry_delay", "timed_out_reason",
           "watch_supervisor"]
