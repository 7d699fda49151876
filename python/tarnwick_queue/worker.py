"""Worker: the loop every consumer writes, done once.

A Worker takes messages with a blocking get, calls the handler, acks when it
returns, retries with a growing pause when it raises, parks a message in the
dead letters after its last try, keeps long jobs' leases alive and stops
cleanly on a signal (the table of signals is in docs/workers.md).
`Supervisor` keeps N worker processes running.

It talks to its queue only through the backend protocol (get, and settling
through Message), so any backend works.
"""

from __future__ import annotations

import collections
import functools
import logging
import os
import select
import signal
import subprocess
import threading
import time
from queue import Empty
from typing import Any, Callable, Deque, List, Optional, Sequence, Tuple, Union

from ._checks import (optional_count as _optional_count, positive_seconds as _positive_seconds,
                      seconds as _seconds)
from ._face import LeaseLost, Message, QueueBackend
from .waiting import StopEvent

log = logging.getLogger("tarnwick_queue.worker")

Handler = Callable[[Message], Any]
QueueOrFactory = Union[QueueBackend, Callable[[], QueueBackend]]

# Pauses after the queue itself failed (a full disk, a lost connection).
ERROR_PAUSE = (0.5, 2.0, 30.0)


class _Interrupted(BaseException):
    """Raised into a handler that outlived the shutdown grace period, or that
    a signal to stop now cut short. A BaseException, so that a handler's
    `except Exception` does not eat it."""


class _Job:
    __slots__ = ("message", "lease", "lost")

    def __init__(self, message: Message, lease: float) -> None:
        self.message = message
        self.lease = lease  # the lease length this message runs under, in seconds
        self.lost = False   # an extension found the lease gone


def _backoff(value: Any) -> Tuple[float, float, float]:
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


def retry_delay(deliveries: int, backoff: Tuple[float, float, float]) -> float:
    """The pause before a message that failed on its `deliveries`-th delivery
    is due again: first * factor ** (deliveries - 1), at most cap."""
    first, factor, cap = backoff
    try:
        return min(cap, first * factor ** max(0, deliveries - 1))
    except OverflowError:
        return cap


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
    None). While a handler runs past half its lease, the lease is extended;
    if an extension finds the lease lost, that is logged and the message is
    not acked.

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
        # Wakes the heartbeat: when run() ends, when a job starts while it
        # sleeps with no job, and when a job's lease is too short for its tick.
        self._kick = threading.Event()
        self._halted = False
        self._heartbeat_idle = False  # it sleeps until kicked: no job to keep
        self._idle_tick = 1.0
        self._running = False
        self._job: Optional[_Job] = None
        # Held while the loop settles a message and while the heartbeat
        # extends it, so an extension never races the ack of the same lease.
        self._settle_lock = threading.Lock()
        self._in_handler = False
        self._signalled = False  # a signal to stop has come
        self._cut_short = False  # the grace period is over, or a signal said stop now
        self._grace_timer: Optional[threading.Timer] = None
        # What happened so far: acked, retried (nacked after a failure), dead,
        # lost (lease gone before settling), returned (nacked at shutdown).
        self.counts = {"acked": 0, "retried": 0, "dead": 0, "lost": 0, "returned": 0}

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
        self._halted = False
        queue = self._queue if self._factory is None else self._factory()
        restore = self._install_signals()
        heartbeat = threading.Thread(target=self._heartbeat, name="tarnwick-heartbeat",
                                     daemon=True)
        heartbeat.start()
        try:
            self._loop(queue)
        finally:
            self.stop()
            self._job = None
            if self._grace_timer is not None:
                # Joined before the handlers are restored: a signal it is
                # sending must reach ours, not the default one.
                self._grace_timer.cancel()
                self._grace_timer.join()
            restore()
            self._halted = True
            self._kick.set()
            heartbeat.join()
            if self._factory is not None:
                queue.close()
            self._running = False

    # --- the loop ---

    def _loop(self, queue: QueueBackend) -> None:
        errors = 0
        while not self._stop_asked:
            try:
                message = queue.get(lease=self._lease, stop=self._wake)
            except Empty:
                continue  # stopped
            except ValueError:
                raise  # a closed queue: nothing to wait for
            except Exception:
                errors += 1
                pause = retry_delay(errors, ERROR_PAUSE)
                log.exception("taking a message failed; trying again in %.1f s", pause)
                self._stopping.wait(pause)
                continue
            errors = 0
            self._process(message)

    def _process(self, message: Message) -> None:
        lease = self._lease
        if lease is None:
            lease = max(0.001, message.lease_expires_at - time.time())
        job = _Job(message, lease)
        self._job = job
        if self._heartbeat_idle or lease / 4 < self._idle_tick:
            self._kick.set()
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
            self._finish(job, self._return)
            return
        except Exception as exc:
            self._finish(job, functools.partial(self._failed, exc=exc))
            return
        except BaseException:
            # KeyboardInterrupt, SystemExit from the handler: give the
            # message back before leaving.
            self._finish(job, self._return)
            raise
        self._finish(job, self._succeeded)

    def _finish(self, job: _Job, settle: Callable[[Message], None]) -> None:
        message = job.message
        with self._settle_lock:
            self._job = None
            if message.settled:
                return  # the handler settled it itself
            if job.lost:
                self.counts["lost"] += 1
                log.warning("message %d: not settled, its lease was lost while it ran",
                            message.id)
                return
            try:
                settle(message)
            except LeaseLost:
                self.counts["lost"] += 1
                log.warning("message %d: its lease ended before it was settled; "
                            "it will be delivered again", message.id)

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

    # --- the lease heartbeat ---

    def _heartbeat(self) -> None:
        """Extends the running job's lease once less than half of it is left.
        Sleeps until that point for the job it sees; a job that starts later
        reaches its own point later, so waking for the earlier one is never
        too late for it, and a job with a shorter lease wakes it. With no job
        it sleeps until the next job starts (or run() ends) wakes it."""
        while True:
            # Cleared before the flags are read: a kick after this line ends
            # the wait below.
            self._kick.clear()
            if self._halted:
                return
            self._heartbeat_idle = True
            job = self._job
            if job is None or job.lost:
                self._kick.wait()
                self._heartbeat_idle = False
                continue
            self._heartbeat_idle = False
            self._idle_tick = min(1.0, job.lease / 4)
            wait = job.message.lease_expires_at - job.lease / 2 - time.time()
            if wait <= 0:
                self._extend(job)
                continue
            self._kick.wait(wait)

    def _extend(self, job: _Job) -> None:
        with self._settle_lock:
            message = job.message
            if self._job is not job or message.settled:
                return
            try:
                message.extend(self._lease)
            except LeaseLost:
                if not message.settled:  # else the handler acked it meanwhile
                    job.lost = True
                    log.warning("message %d: lease lost while its handler runs "
                                "(it may be with another consumer now)", message.id)
            except Exception:
                log.exception("message %d: extending its lease failed", message.id)
                # Try again a little later rather than spin.
                self._kick.wait(min(1.0, job.lease / 10))

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
        signal.pthread_kill(threading.main_thread().ident, signal.SIGTERM)


# --- the supervisor ---

# Exit status of a worker process that cannot load its handler: restarting
# it cannot help.
EXIT_CONFIG = 78
# How long workers told to stop now (SIGQUIT, a second SIGTERM) have before
# they are killed.
STOP_NOW_WAIT = 10.0
# A worker that exits with an error sooner than this after its start is
# restarted after a growing pause (first, factor, cap), so a crash on start
# does not spin. One killed by a signal is restarted at once.
QUICK_DEATH = 1.0
RESTART_PAUSE = (0.5, 2.0, 30.0)
# File descriptor number, in the environment of each worker process, of a
# pipe that reads end-of-file when the supervisor is gone.
SUPERVISOR_FD_ENV = "TARNWICK_SUPERVISOR_FD"


class _Slot:
    __slots__ = ("index", "process", "started", "quick_deaths", "due")

    def __init__(self, index: int) -> None:
        self.index = index
        self.process: Optional[subprocess.Popen] = None
        self.started = 0.0
        self.quick_deaths = 0
        self.due = 0.0  # monotonic time of the next start


class Supervisor:
    """Keeps `processes` copies of the command `argv` running, each in a
    process group of its own (a terminal's Ctrl-C reaches the supervisor
    only): one that dies, however it died, is started again.

    SIGTERM or SIGINT stops them all warmly (SIGTERM to each, SIGKILL to any
    still running `grace` + 5 seconds later); a second one, or SIGQUIT,
    stops them now (a second SIGTERM or a SIGQUIT to each, SIGKILL
    STOP_NOW_WAIT seconds later); then run() returns 0. SIGHUP replaces
    every worker: new ones start at once, the old ones get SIGTERM and
    finish their jobs. A worker that exits with EXIT_CONFIG stops them all
    and run() returns 1."""

    def __init__(self, argv: Sequence[str], processes: int, *, grace: float = 30.0,
                 env: Optional[dict] = None) -> None:
        if isinstance(processes, bool) or not isinstance(processes, int) or processes < 1:
            raise ValueError(f"processes must be an int >= 1, not {processes!r}")
        self._argv = list(argv)
        self._grace = _seconds(grace, "grace")
        self._env = dict(os.environ if env is None else env)
        self._slots = [_Slot(i) for i in range(processes)]
        self._signals: Deque[int] = collections.deque()  # not yet acted on
        self._stop_signal: Optional[int] = None
        # Workers replaced after a SIGHUP, finishing their jobs.
        self._retiring: List["subprocess.Popen[bytes]"] = []
        self.restarts = 0

    def pids(self) -> List[int]:
        return [s.process.pid for s in self._slots if s.process is not None]

    def run(self) -> int:
        wake_r, wake_w = os.pipe()
        life_r, life_w = os.pipe()
        for fd in (wake_r, wake_w):
            os.set_blocking(fd, False)
        env = dict(self._env, **{SUPERVISOR_FD_ENV: str(life_r)})
        old_wakeup = signal.set_wakeup_fd(wake_w)
        previous = {signum: signal.signal(signum, self._on_signal)
                    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGQUIT,
                                   signal.SIGHUP, signal.SIGCHLD)}
        status = 0
        try:
            status = self._supervise(env, life_r, wake_r)
        finally:
            self._stop_all(wake_r)
            for signum, handler in previous.items():
                signal.signal(signum, handler)
            signal.set_wakeup_fd(old_wakeup)
            for fd in (wake_r, wake_w, life_r, life_w):
                os.close(fd)
        return status

    def _on_signal(self, signum: int, frame: Any) -> None:
        if signum != signal.SIGCHLD:  # that one only wakes the loop
            self._signals.append(signum)

    def _supervise(self, env: dict, life_r: int, wake_r: int) -> int:
        log.info("starting %d worker process(es)", len(self._slots))
        while True:
            while self._signals:
                signum = self._signals.popleft()
                if signum != signal.SIGHUP:
                    self._stop_signal = signum
                    log.info("%s: stopping %d worker process(es)%s", _signal_name(signum),
                             len(self.pids()), " now" if signum == signal.SIGQUIT else "")
                    return 0
                self._replace_all()
            now = time.monotonic()
            self._reap_retired()
            for slot in self._slots:
                if slot.process is not None and slot.process.poll() is not None:
                    if self._reap(slot, now) == EXIT_CONFIG:
                        log.error("worker %d cannot load its handler; stopping", slot.index)
                        return 1
                if slot.process is None and slot.due <= now:
                    slot.process = subprocess.Popen(self._argv, env=env, pass_fds=(life_r,),
                                                    start_new_session=True)
                    slot.started = now
                    log.info("worker %d started (pid %d)", slot.index, slot.process.pid)
            pending = [s.due for s in self._slots if s.process is None]
            timeout = max(0.0, min(pending) - time.monotonic()) if pending else None
            _wait_and_drain(wake_r, timeout)

    def _replace_all(self) -> None:
        """SIGHUP: the slots start new workers (which load the handler
        afresh); the old ones stop as on SIGTERM."""
        log.info("SIGHUP: replacing %d worker process(es)", len(self.pids()))
        for slot in self._slots:
            if slot.process is not None:
                _send(slot.process, signal.SIGTERM)
                self._retiring.append(slot.process)
                slot.process = None
                slot.due = time.monotonic()

    def _reap_retired(self) -> None:
        for process in list(self._retiring):
            if process.poll() is not None:
                self._retiring.remove(process)
                log.info("replaced worker (pid %d) %s", process.pid, _how(process.returncode))

    def _reap(self, slot: _Slot, now: float) -> int:
        process = slot.process
        assert process is not None
        code = process.returncode
        how = _how(code)
        slot.process = None
        if code == EXIT_CONFIG:
            return code
        if code > 0 and now - slot.started < QUICK_DEATH:
            slot.quick_deaths += 1
            slot.due = now + retry_delay(slot.quick_deaths, RESTART_PAUSE)
        else:
            slot.quick_deaths = 0
            slot.due = now
        self.restarts += 1
        log.warning("worker %d (pid %d) %s; restarting it%s", slot.index, process.pid, how,
                    f" in {slot.due - now:.1f} s" if slot.due > now else "")
        return code

    def _stop_all(self, wake_r: int) -> None:
        """Stops every worker, replaced ones too, as the stop signal says
        (SIGTERM when there was none: an error); a further SIGTERM, SIGINT
        or SIGQUIT meanwhile makes it a stop now."""
        workers = [s.process for s in self._slots if s.process is not None]
        running = workers + self._retiring
        if self._stop_signal == signal.SIGQUIT:
            for process in running:
                _send(process, signal.SIGQUIT)
            give_up = time.monotonic() + STOP_NOW_WAIT
        else:
            for process in workers:
                _send(process, signal.SIGTERM)  # those replaced have had theirs
            give_up = time.monotonic() + self._grace + 5.0
        while True:
            while self._signals:
                signum = self._signals.popleft()
                if signum == signal.SIGHUP:
                    continue
                if signum != signal.SIGQUIT:
                    log.info("%s again: stopping the workers now", _signal_name(signum))
                    signum = signal.SIGTERM  # a worker's second one
                for process in running:
                    if process.poll() is None:
                        _send(process, signum)
                give_up = min(give_up, time.monotonic() + STOP_NOW_WAIT)
            if all(p.poll() is not None for p in running):
                break
            left = give_up - time.monotonic()
            if left <= 0:
                for process in running:
                    if process.poll() is None:
                        log.warning("worker pid %d did not stop; killing it", process.pid)
                        _send(process, signal.SIGKILL)
                for process in running:
                    process.wait()
                break
            _wait_and_drain(wake_r, min(left, 0.5))
        for slot in self._slots:
            slot.process = None
        self._retiring = []


def _send(process: subprocess.Popen, signum: int) -> None:
    try:
        process.send_signal(signum)
    except ProcessLookupError:
        pass


def _how(code: int) -> str:
    return f"was killed by {_signal_name(-code)}" if code < 0 else f"exited with status {code}"


def _signal_name(signum: int) -> str:
    try:
        return signal.Signals(signum).name
    except ValueError:
        return f"signal {signum}"


def _wait_and_drain(fd: int, timeout: Optional[float]) -> None:
    """Sleeps until a signal arrives (the wake-up fd turns readable) or
    `timeout` seconds pass."""
    select.select([fd], [], [], timeout)
    try:
        while os.read(fd, 512):
            pass
    except BlockingIOError:
        pass


def watch_supervisor() -> None:
    """In a worker process started by a Supervisor: once the supervisor is
    gone (even killed), stop this process warmly, as SIGHUP does (unlike a
    SIGTERM, it never cuts short a stop that has begun)."""
    fd = os.environ.pop(SUPERVISOR_FD_ENV, None)
    if fd is None:
        return

    def wait_for_eof() -> None:
        try:
            while os.read(int(fd), 64):
                pass
        except OSError:
            return
        log.warning("the supervisor is gone; stopping")
        os.kill(os.getpid(), signal.SIGHUP)

    threading.Thread(target=wait_for_eof, name="tarnwick-supervisor-watch", daemon=True).start()


__all__ = ["Supervisor", "Worker", "failure_reason", "retry_delay", "watch_supervisor"]
