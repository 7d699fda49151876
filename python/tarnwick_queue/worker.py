"""Worker: the loop every consumer writes, done once.

A Worker takes messages with a blocking get, calls the handler, acks when it
returns, retries with a growing pause when it raises, parks a message in the
dead letters after its last try, keeps long jobs' leases alive and stops
cleanly on a signal (the table of signals is in docs/workers.md).
`Supervisor` (supervisor.py) keeps N worker processes running.

Worker only orchestrates three parts: the loop (take, run, settle), a
LeaseKeeper (leases.py) that renews the running job's lease, and the
shutdown policy (the signal handlers and the grace period). It talks to its
queue only through the backend protocol (get, and settling through
Message), so any backend works.
"""

from __future__ import annotations

import functools
import logging
import signal
import threading
from queue import Empty
from typing import Any, Callable, Optional, Tuple, Union

from ._backoff import backoff as _backoff
from ._backoff import retry_delay
from ._checks import optional_count as _optional_count
from ._checks import positive_seconds as _positive_seconds
from ._checks import seconds as _seconds
from ._face import LeaseLost, Message, QueueBackend
from ._outage import Outage, describe
from .leases import LeaseKeeper
from .supervisor import EXIT_CONFIG, SUPERVISOR_FD_ENV, Supervisor, watch_supervisor
from .waiting import StopEvent

log = logging.getLogger("tarnwick_queue.worker")

Handler = Callable[[Message], Any]
QueueOrFactory = Union[QueueBackend, Callable[[], QueueBackend]]

# Pauses after the queue itself failed (a full disk, a lost connection, a
# server restarting): tried again after each, for as long as it takes. A
# low cap, so that workers are back within seconds of the server; a take
# every 5 s per worker costs a server nothing.
ERROR_PAUSE = (0.5, 2.0, 5.0)


class _Interrupted(BaseException):
    """Raised into a handler that outlived the shutdown grace period, or that
    a signal to stop now cut short. A BaseException, so that a handler's
    `except Exception` does not eat it."""


def failure_reason(exc: BaseException) -> str:
    """What a dead letter records about the exception that killed it."""
    text = str(exc)
    return f"{type(exc).__qualname__}: {text}" if text else type(exc).__qualname__


class Worker:
    """Runs `handler(message)` for message after message from `queue` (a
    queue, or a function that opens one: then run() opens it and closes it
    at the end, which is what a forked or spawned process wants).

    When the handler returns, the message is acked (unless the handler
    settled it itself). When it raises, the message is nacked, due again
    after backoff = (first, factor, cap): first * factor**(deliveries-1)
    seconds, at most cap; on its `max_deliveries`-th delivery it goes to the
    dead letters instead, with the exception's type and text as the reason.
    (With max_deliveries None the worker retries forever; a queue opened
    with its own max_deliveries still parks the message on the delivery
    after that.)

    `lease` is the lease each message is taken with (the queue's when
    None). While a handler runs, a LeaseKeeper renews the lease each time a
    third of it has passed; if a renewal finds the lease lost, that is
    logged and the message is not acked.

    When the queue fails (its server restarts, a full disk), the take is
    tried again after growing pauses until it works, logged once when the
    failures start and once when they end. A settling call that fails so
    has an unknown outcome: the message was settled, or it is delivered
    again when its lease ends; the worker goes on.

    run() in the main thread handles SIGTERM, SIGINT and SIGHUP: no new
    message is taken, the running handler has `grace` seconds to finish,
    then it is interrupted and its message goes back to the queue with a
    nack, and run() returns. SIGQUIT, or a second SIGTERM or SIGINT, stops
    now: the running handler is interrupted at once and its message nacked.
    stop() (from any thread) stops taking new messages and lets the running
    handler finish."""

    def __init__(self, queue: QueueOrFactory, handler: Handler, *,
                 lease: Optional[float] = None, max_deliveries: Optional[int] = None,
                 backoff: Tuple[float, float, float] = (1.0, 2.0, 300.0),
                 grace: float = 30.0) -> None:
        if hasattr(queue, "get"):
            self._queue: Optional[QueueBackend] = queue  # type: ignore[assignment]
            self._factory: Optional[Callable[[], QueueBackend]] = None
        elif callable(queue):
            self._queue, self._factory = None, queue
        else:
            raise TypeError("queue must be a queue or a function that opens one, "
                            f"not {type(queue).__name__}")
        if not callable(handler):
            raise TypeError(f"handler must be callable, not {type(handler).__name__}")
        self._handler = handler
        self._lease = None if lease is None else _positive_seconds(lease, "lease")
        self._max_deliveries = _optional_count(max_deliveries, "max_deliveries")
        self._backoff = _backoff(backoff)
        self._grace = _seconds(grace, "grace")

        self._stopping = threading.Event()
        self._stop_asked = False  # the same, read by the loop for each message
        # Ends the loop's blocking get when stop() is called or a signal comes
        # (it is the signal wake-up descriptor while run() runs).
        self._wake = StopEvent()
        self._running = False
        self._in_handler = False
        self._signalled = False  # a signal to stop has come
        self._cut_short = False  # the grace period is over, or a signal said stop now
        self._grace_timer: Optional[threading.Timer] = None
        # What happened so far: acked, retried (nacked after a failure), dead,
        # lost (lease gone before settling), returned (nacked at shutdown),
        # unknown (the settling call's connection broke: settled, or back by
        # its lease).
        self.counts = {"acked": 0, "retried": 0, "dead": 0, "lost": 0, "returned": 0,
                       "unknown": 0}

    # --- control ---

    def stop(self) -> None:
        """Stops taking messages; run() returns once the running handler is done."""
        self._stop_asked = True
        self._stopping.set()
        self._wake.set()

    @property
    def stopping(self) -> bool:
        return self._stopping.is_set()

    def run(self) -> None:
        """Processes messages until stop() or a signal to stop. A stopped
        worker stays stopped: run() on it again returns at once."""
        if self._running:
            raise RuntimeError("this worker is running already")
        self._running = True
        queue = self._factory() if self._factory is not None else self._queue
        assert queue is not None
        restore = self._install_signals()
        # Its thread starts with the first job: an idle worker has none.
        keeper = LeaseKeeper(name="tarnwick-worker-leases")
        try:
            self._loop(queue, keeper)
        finally:
            # The shutdown order. The loop has returned, so the last job is
            # settled (or given back) already: it ran, and was settled,
            # while the keeper still renewed its lease, and while the
            # signal handlers could still cut it short.
            self.stop()
            # The grace timer is joined before the handlers are restored: a
            # signal it is sending must reach ours, not the default one.
            if self._grace_timer is not None:
                self._grace_timer.cancel()
                self._grace_timer.join()
            restore()
            # Nothing is held any more; the keeper goes before the queue
            # its renewals would use.
            keeper.close()
            if self._factory is not None:
                queue.close()
            self._running = False

    # --- the loop ---

    def _loop(self, queue: QueueBackend, keeper: LeaseKeeper) -> None:
        # A queue that fails (its server restarting) is tried again after
        # growing pauses, logged once when it starts failing and once when
        # it works again.
        outage = Outage(log, "taking a message", ERROR_PAUSE)
        while not self._stop_asked:
            try:
                # While it fails, a look that finds nothing tells it is back
                # as well as a message does.
                message = queue.get(block=not outage.ongoing, lease=self._lease,
                                    stop=self._wake)
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
            keeper.hold(message, self._lease)
            self._process(message, keeper)

    def _process(self, message: Message, keeper: LeaseKeeper) -> None:
        try:
            try:
                self._in_handler = True
                # A signal that came after the take and before the line
                # above started no grace period: give the message back.
                if self._stop_asked:
                    raise _Interrupted
                self._handler(message)
            finally:
                self._in_handler = False
        except _Interrupted:
            self._finish(message, keeper, self._return)
            return
        except Exception as exc:
            self._finish(message, keeper, functools.partial(self._failed, exc=exc))
            return
        except BaseException:
            # KeyboardInterrupt, SystemExit from the handler: give the
            # message back before leaving.
            self._finish(message, keeper, self._return)
            raise
        self._finish(message, keeper, self._succeeded)

    def _finish(self, message: Message, keeper: LeaseKeeper,
                settle: Callable[[Message], None]) -> None:
        # Once released, no renewal of it is under way: one never races the
        # settling of the same lease.
        kept = keeper.release(message)
        if message.settled:
            return  # the handler settled it itself
        if not kept:
            self.counts["lost"] += 1
            log.warning("message %d: not settled, its lease was lost while it ran", message.id)
            return
        try:
            settle(message)
        except LeaseLost:
            self.counts["lost"] += 1
            log.warning("message %d: its lease ended before it was settled; "
                        "it will be delivered again", message.id)
        except OSError as exc:
            # The connection broke during the call (ConnectionLost is an
            # OSError), or the store failed: whether it was settled is
            # unknown. Either it was, or its lease runs out and it is
            # delivered again; the loop goes on, and its next take finds
            # out whether the queue is there.
            self.counts["unknown"] += 1
            log.warning("message %d: the outcome of settling it is unknown (%s); it was "
                        "settled, or it is delivered again when its lease ends",
                        message.id, describe(exc))

    def _succeeded(self, message: Message) -> None:
        message.ack()
        self.counts["acked"] += 1

    def _failed(self, message: Message, exc: Exception) -> None:
        if self._max_deliveries is not None and message.deliveries >= self._max_deliveries:
            message.dead(failure_reason(exc))
            self.counts["dead"] += 1
            log.error("message %d failed on delivery %d of %d, moved to the dead letters",
                      message.id, message.deliveries, self._max_deliveries,
                      exc_info=(type(exc), exc, exc.__traceback__))
            return
        delay = retry_delay(message.deliveries, self._backoff)
        message.nack(delay=delay)
        self.counts["retried"] += 1
        log.warning("message %d failed on delivery %d, due again in %.3g s: %s",
                    message.id, message.deliveries, delay, failure_reason(exc),
                    exc_info=(type(exc), exc, exc.__traceback__)
                    if log.isEnabledFor(logging.DEBUG) else None)

    def _return(self, message: Message) -> None:
        message.nack()
        self.counts["returned"] += 1
        log.warning("message %d: unfinished at shutdown, returned to the queue", message.id)

    # --- signals ---

    def _install_signals(self) -> Callable[[], None]:
        if threading.current_thread() is not threading.main_thread():
            return lambda: None
        previous = {signum: signal.signal(signum, self._on_signal)
                    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGQUIT)}
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


__all__ = ["EXIT_CONFIG", "SUPERVISOR_FD_ENV", "Supervisor", "Worker", "failure_reason",
           "retry_delay", "watch_supervisor"]
