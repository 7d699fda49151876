"""TaskWorker: runs the tasks of a TarnwickBackend's queues, one at a time.

It takes a task's message, keeps its lease alive while the task runs (a
LeaseKeeper), and settles it itself so that the outcome carries what a
TaskResult shows: an ack with the return value, a nack with the attempt's
exception (due again after BACKOFF), or, on the last attempt, the dead
letters with it. A worker that dies leaves the lease to run out: another
takes the task again, and the queue's delivery limit (MAX_ATTEMPTS) moves
it to the dead letters once its attempts are spent.

SIGTERM, SIGINT and SIGHUP stop it warmly: no new task is taken and the
running one has `grace` seconds to finish, after which it is interrupted
and its message given back. SIGQUIT, or a second SIGTERM or SIGINT, stops
at once.
"""

from __future__ import annotations

import json
import logging
import signal
import threading
import traceback
from queue import Empty
from typing import Any, Callable, List, Optional, Sequence, Tuple

from django.db import close_old_connections
from django.utils import timezone

from .. import BaseQueue, LeaseLost, Message, StopEvent
from ..driver import MAX_ERROR_BYTES, MAX_RESULT_BYTES
from ..leases import LeaseKeeper
from ..waiting import LONGEST_WAIT, WATCHED_CAP, wait_readable
from ._compat import (
    TaskContext,
    TaskError,
    TaskResult,
    TaskResultStatus,
    normalize_json,
    task_finished,
    task_started,
)
from .backend import HEADER, TarnwickBackend, encode_error

log = logging.getLogger("tarnwick_queue.django")


class _Interrupted(BaseException):
    """Raised into a task cut short by a stop: a BaseException, so that the
    task's `except Exception` does not eat it."""


class TaskWorker:
    """Runs the tasks of `backend`'s queues named `queue_names`, the first
    queue's before the second's, and so on. `batch`: run what is due now,
    then return; `max_tasks`: return after that many; `worker_id` names the
    worker in the tasks' worker_ids (None: host:pid)."""

    def __init__(self, backend: TarnwickBackend, queue_names: Sequence[str], *,
                 worker_id: Optional[str] = None, batch: bool = False,
                 max_tasks: Optional[int] = None, grace: float = 30.0) -> None:
        if not queue_names:
            raise ValueError("a worker needs at least one queue name")
        unknown = [n for n in queue_names if n not in backend.queues]
        if unknown:
            raise ValueError(f"the task backend {backend.alias!r} has no queue {unknown[0]!r}")
        self.backend = backend
        self.queue_names = list(queue_names)
        self.worker_id = worker_id
        self.batch = batch
        self.max_tasks = max_tasks
        self.grace = grace
        self.done = 0  # tasks whose attempt ended (succeeded, failed or retried)
        self._wake = StopEvent()
        self._stop_asked = False
        self._signalled = False
        self._cut_short = False
        self._in_task = False
        self._grace_timer: Optional[threading.Timer] = None

    def stop(self) -> None:
        """Takes no new task; run() returns once the running one is done."""
        self._stop_asked = True
        self._wake.set()

    def run(self) -> int:
        """Runs tasks until stopped (or, in batch mode, until none is due);
        returns how many attempts ended."""
        queues = [self.backend.open_worker_queue(n, self.worker_id) for n in self.queue_names]
        keeper = LeaseKeeper(name="tarnwick-django-leases")
        restore = self._install_signals()
        try:
            while not self._stop_asked:
                taken = self._next(queues)
                if taken is None:
                    if self.batch:
                        break
                    continue
                name, queue, message = taken
                self._run(name, queue, message, keeper)
                self.done += 1
                if self.max_tasks is not None and self.done >= self.max_tasks:
                    break
        finally:
            if self._grace_timer is not None:
                self._grace_timer.cancel()
                self._grace_timer.join()
            restore()
            keeper.close()
            for queue in queues:
                queue.close()
            self._wake.close()
        return self.done

    # --- taking ---

    def _next(self, queues: List[BaseQueue]) -> Optional[Tuple[str, BaseQueue, Message]]:
        """The next task's message, by the queues' order; None when stopped
        (or, in batch mode, when none is due)."""
        if len(queues) == 1 and not self.batch:
            try:
                return self.queue_names[0], queues[0], queues[0].get(stop=self._wake)
            except Empty:
                return None
        watches = [q.watch() for q in queues]
        while True:
            for watch in watches:
                watch.arm()
            self._wake.drain()
            if self._stop_asked:
                return None
            soonest: Optional[float] = None
            for name, queue in zip(self.queue_names, queues):
                taken, due = queue.take(1)
                if taken:
                    return name, queue, taken[0]
                if due is not None:
                    soonest = due if soonest is None else min(soonest, due)
            if self.batch:
                return None
            fds = [w.fileno() for w in watches]
            wait = LONGEST_WAIT if soonest is None else soonest + 0.001
            if any(fd is None for fd in fds):
                wait = min(wait, WATCHED_CAP)  # a queue with no descriptor: looked at again
            wait_readable([fd for fd in fds if fd is not None] + [self._wake.fileno()], wait)

    # --- running ---

    def _run(self, queue_name: str, queue: BaseQueue, message: Message,
             keeper: LeaseKeeper) -> None:
        keeper.hold(message)
        close_old_connections()
        try:
            self._attempt(queue_name, queue, message, keeper)
        finally:
            keeper.release(message)
            close_old_connections()

    def _attempt(self, queue_name: str, queue: BaseQueue, message: Message,
                 keeper: LeaseKeeper) -> None:
        backend = self.backend
        sender = type(backend)
        result: Optional[TaskResult] = None
        try:
            try:
                payload = json.loads(message.headers[HEADER])
                status = queue.status(message.id)
                if status is None:  # settled meanwhile: nothing to run
                    return
                result = backend.result_of(queue_name, status, payload, running=True)
                task_started.send(sender=sender, task_result=result)
                if self._cut_short:
                    raise _Interrupted
                self._in_task = True
                try:
                    if result.task.takes_context:
                        value = result.task.call(TaskContext(task_result=result),
                                                 *result.args, **result.kwargs)
                    else:
                        value = result.task.call(*result.args, **result.kwargs)
                finally:
                    self._in_task = False
                value = normalize_json(value)
                body = json.dumps(value).encode("utf-8")
                if len(body) > MAX_RESULT_BYTES:
                    raise ValueError(f"the task's return value is {len(body)} bytes of JSON, "
                                     f"more than the {MAX_RESULT_BYTES} a result keeps")
            except _Interrupted:
                self._settle(message, keeper, lambda m: m.nack())
                log.warning("task %s: unfinished at shutdown, given back to its queue",
                            message.id)
                return
            except (KeyboardInterrupt, SystemExit):
                self._settle(message, keeper, lambda m: m.nack())
                raise
            except BaseException as exc:
                self._failed(message, keeper, result, exc)
                return
            if not self._settle(message, keeper, lambda m: m.ack(result=body)):
                return
            if result is not None:
                self._finished(result, TaskResultStatus.SUCCESSFUL, value)
        except _Interrupted:
            # A stop that came after the task returned, while it was settled.
            pass

    def _failed(self, message: Message, keeper: LeaseKeeper, result: Optional[TaskResult],
                exc: BaseException) -> None:
        text = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
        error = encode_error(exc, text, MAX_ERROR_BYTES)
        attempts = self.backend.config.max_attempts
        if message.deliveries < attempts:
            delay = self.backend.config.retry_delay(message.deliveries)
            if self._settle(message, keeper, lambda m: m.nack(delay, error=error)):
                log.warning("task %s failed on attempt %d of %d, due again in %.3g s: %s",
                            message.id, message.deliveries, attempts, delay,
                            text.splitlines()[-1] if text else type(exc).__name__)
            return
        if not self._settle(message, keeper, lambda m: m.dead(error)):
            return
        if result is not None:
            kind = type(exc)
            result.errors.append(TaskError(
                exception_class_path=f"{kind.__module__}.{kind.__qualname__}", traceback=text))
            # Sent while the exception is handled, as Django's backends do.
            self._finished(result, TaskResultStatus.FAILED, None)

    def _settle(self, message: Message, keeper: LeaseKeeper,
                settle: Callable[[Message], None]) -> bool:
        """Settles the message once the keeper no longer renews it; False
        when its lease was lost (another worker may run it now)."""
        if not keeper.release(message):
            log.warning("task %s: its lease was lost while it ran; not settled", message.id)
            return False
        try:
            settle(message)
        except LeaseLost:
            log.warning("task %s: its lease ended before it was settled; it runs again",
                        message.id)
            return False
        return True

    def _finished(self, result: TaskResult, status: Any, value: Any) -> None:
        object.__setattr__(result, "status", status)
        object.__setattr__(result, "finished_at", timezone.now())
        object.__setattr__(result, "_return_value", value)
        for _receiver, response in task_finished.send_robust(type(self.backend),
                                                            task_result=result):
            if isinstance(response, Exception):
                log.error("a task_finished receiver failed: %r", response, exc_info=response)

    # --- signals ---

    def _install_signals(self) -> Callable[[], None]:
        if threading.current_thread() is not threading.main_thread():
            return lambda: None
        previous = {signum: signal.signal(signum, self._on_signal)
                    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGQUIT)}
        old_wakeup = signal.set_wakeup_fd(self._wake.wakeup_fd(), warn_on_full_buffer=False)

        def restore() -> None:
            signal.set_wakeup_fd(old_wakeup)
            for signum, handler in previous.items():
                signal.signal(signum, handler)
        return restore

    def _on_signal(self, signum: int, frame: Any) -> None:
        if self._cut_short:
            if self._in_task:
                raise _Interrupted
            return
        now = signum == signal.SIGQUIT or (self._signalled and signum != signal.SIGHUP)
        if self._signalled and not now:
            return
        self._signalled = True
        self.stop()
        log.info("%s: stopping%s", signal.Signals(signum).name, " now" if now else "")
        if now or self.grace == 0:
            self._cut_short = True
            if self._in_task:
                raise _Interrupted
        else:
            # Also when no task runs: one taken just now may be about to start.
            self._grace_timer = threading.Timer(self.grace, self._end_grace)
            self._grace_timer.daemon = True
            self._grace_timer.start()

    def _end_grace(self) -> None:
        self._cut_short = True  # a task that has not started yet never does
        if not self._in_task:
            return
        log.warning("the running task did not finish within %.3g s", self.grace)
        main = threading.main_thread().ident
        assert main is not None
        signal.pthread_kill(main, signal.SIGTERM)
