"""Supervisor: keeps N worker processes running, restarts those that die,
and passes the signals on to them (the table is in docs/workers.md).

Each worker process runs a Worker (`tarnwick worker ... --child`); it learns
that its supervisor is gone through watch_supervisor().
"""

from __future__ import annotations

import collections
import logging
import os
import select
import signal
import subprocess
import threading
import time
from typing import Any, Deque, Dict, List, Optional, Sequence

from ._backoff import retry_delay
from ._checks import seconds as _seconds

# The workers' logger: what the supervisor says is part of the same story.
log = logging.getLogger("tarnwick_queue.worker")

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
# File descriptor number, in the environment of each worker process, of the
# pipe on which it tells its supervisor when its running handlers' time limits
# end (see TimeLimitReport).
LIMITS_FD_ENV = "TARNWICK_LIMITS_FD"
# A worker process whose handler is still running this long after its time
# limit (its own stop did not work: a handler stuck in C code) is killed and
# replaced.
KILL_MARGIN = 5.0


class _Slot:
    __slots__ = ("index", "process", "started", "quick_deaths", "due", "limits", "pending",
                 "kill_at")

    def __init__(self, index: int) -> None:
        self.index = index
        self.process: Optional[subprocess.Popen[bytes]] = None
        self.started = 0.0
        self.quick_deaths = 0
        self.due = 0.0  # monotonic time of the next start
        self.limits: Optional[int] = None  # read end of the worker's time-limit pipe
        self.pending = b""  # a part line read from it
        self.kill_at: Optional[float] = None  # monotonic time to kill the worker at

    def close_limits(self) -> None:
        if self.limits is not None:
            os.close(self.limits)
        self.limits, self.pending, self.kill_at = None, b"", None

    def read_limits(self, now: float) -> None:
        """Reads what the worker said: its last line is the seconds left
        until its earliest time limit ends, or "-" when none runs."""
        assert self.limits is not None
        try:
            while True:
                data = os.read(self.limits, 4096)
                if not data:
                    os.close(self.limits)
                    self.limits = None  # the worker is gone; kill_at stays until it is reaped
                    break
                self.pending += data
        except BlockingIOError:
            pass
        lines = self.pending.split(b"\n")
        self.pending = lines.pop()
        if lines:
            last = lines[-1].strip()
            try:
                self.kill_at = None if last == b"-" else now + float(last) + KILL_MARGIN
            except ValueError:
                self.kill_at = None


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
                 env: Optional[Dict[str, str]] = None) -> None:
        if isinstance(processes, bool) or not isinstance(processes, int) or processes < 1:
            raise ValueError(f"processes must be an int >= 1, not {processes!r}")
        self._argv = list(argv)
        self._grace = _seconds(grace, "grace")
        self._env = dict(os.environ if env is None else env)
        self._slots = [_Slot(i) for i in range(processes)]
        self._signals: Deque[int] = collections.deque()  # not yet acted on
        self._stop_signal: Optional[int] = None
        # Workers replaced after a SIGHUP, finishing their jobs.
        self._retiring: List[subprocess.Popen[bytes]] = []
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

    def _supervise(self, env: Dict[str, str], life_r: int, wake_r: int) -> int:
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
                    self._start(slot, env, life_r, now)
                self._enforce_limit(slot, now)
            pending = [s.due for s in self._slots if s.process is None]
            pending += [s.kill_at for s in self._slots if s.kill_at is not None]
            timeout = max(0.0, min(pending) - time.monotonic()) if pending else None
            self._wait(wake_r, timeout)

    def _start(self, slot: _Slot, env: Dict[str, str], life_r: int, now: float) -> None:
        limits_r, limits_w = os.pipe()
        os.set_blocking(limits_r, False)
        try:
            slot.process = subprocess.Popen(
                self._argv, env=dict(env, **{LIMITS_FD_ENV: str(limits_w)}),
                pass_fds=(life_r, limits_w), start_new_session=True)
        except BaseException:
            os.close(limits_r)
            raise
        finally:
            os.close(limits_w)
        slot.limits, slot.pending, slot.kill_at = limits_r, b"", None
        slot.started = now
        log.info("worker %d started (pid %d)", slot.index, slot.process.pid)

    def _enforce_limit(self, slot: _Slot, now: float) -> None:
        """Kills a worker whose handler outlived its time limit by KILL_MARGIN:
        its own stop did not reach it. The slot starts a new worker once the
        old one is reaped."""
        if slot.process is None or slot.kill_at is None or now < slot.kill_at:
            return
        log.warning("worker %d (pid %d): a handler is still running %.3g s past its time "
                    "limit; killing the process", slot.index, slot.process.pid, KILL_MARGIN)
        _send(slot.process, signal.SIGKILL)
        slot.kill_at = None

    def _wait(self, wake_r: int, timeout: Optional[float]) -> None:
        """Sleeps until a signal, a worker's word on its time limits, or
        `timeout` seconds."""
        watched = {s.limits: s for s in self._slots if s.limits is not None}
        readable, _, _ = select.select([wake_r, *watched], [], [], timeout)
        now = time.monotonic()
        for fd in readable:
            if fd in watched:
                watched[fd].read_limits(now)
        _drain(wake_r)

    def _replace_all(self) -> None:
        """SIGHUP: the slots start new workers (which load the handler
        afresh); the old ones stop as on SIGTERM."""
        log.info("SIGHUP: replacing %d worker process(es)", len(self.pids()))
        for slot in self._slots:
            if slot.process is not None:
                _send(slot.process, signal.SIGTERM)
                self._retiring.append(slot.process)
                slot.process = None
                slot.close_limits()  # a retiring worker is killed at the end of its grace
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
        slot.close_limits()
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
            slot.close_limits()
        self._retiring = []


def _send(process: subprocess.Popen[bytes], signum: int) -> None:
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
    _drain(fd)


def _drain(fd: int) -> None:
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


class TimeLimitReport:
    """In a worker process started by a Supervisor: tells it when the
    earliest time limit of the running handlers ends, so that it can kill
    and replace the process if a handler outlives it (one stuck in C code,
    which no signal handler reaches). Lines on a pipe: the seconds left, or
    "-" when no handler with a limit runs."""

    _taken = False

    def __init__(self, fd: int) -> None:
        self._fd = fd
        os.set_blocking(fd, False)

    @classmethod
    def from_environment(cls) -> Optional[TimeLimitReport]:
        """The report of this process (one per process: the first caller
        gets it), or None when no supervisor started it."""
        fd = os.environ.pop(LIMITS_FD_ENV, None)
        if fd is None or cls._taken:
            return None
        try:
            report = cls(int(fd))
        except (ValueError, OSError):
            return None
        cls._taken = True
        return report

    def left(self, seconds: Optional[float]) -> None:
        line = b"-\n" if seconds is None else b"%.3f\n" % max(0.0, seconds)
        try:
            os.write(self._fd, line)  # shorter than PIPE_BUF: written whole or not at all
        except BlockingIOError:
            log.warning("the supervisor does not read its time-limit pipe")
        except OSError:
            pass  # the supervisor is gone: watch_supervisor stops this process


__all__ = ["EXIT_CONFIG", "KILL_MARGIN", "SUPERVISOR_FD_ENV", "Supervisor", "TimeLimitReport",
           "watch_supervisor"]
