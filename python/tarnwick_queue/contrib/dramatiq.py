"""A dramatiq broker on a directory of tarnwick queues, or on PostgreSQL.

    from tarnwick_queue.contrib.dramatiq import TarnwickBroker
    dramatiq.set_broker(TarnwickBroker("/var/lib/myapp/tasks"))
    dramatiq.set_broker(TarnwickBroker(dsn="host=db dbname=app"))

Each dramatiq queue is a tarnwick queue in a subdirectory of `path` (or the
PostgresQueue of that name in the database `dsn` names); its delay queue
`<name>.DQ` is another one. A message enqueued with a delay is
put on the delay queue with the same delay, so nothing is delivered (and no
worker holds it) before it is due. A consumer leases messages, renews the
leases of those its worker still holds, acks a message when its actor is
done and moves a rejected one to the queue's dead letters (dramatiq's
`.XQ`). A worker that dies leaves its messages leased: they are delivered
again when their leases run out.

Priorities: a message's `broker_priority` option (as for dramatiq's
RabbitMQ broker: a higher number first) is its tarnwick priority; without
one, its actor's `priority` (dramatiq's convention: a lower number first)
is, negated: an actor of priority 10 is put at -10, one of -5 at 5. Both
are clamped to tarnwick's -100..100. The actor's name and the message id are
put in the message's tarnwick headers, for `tarnwick peek`.
"""

from __future__ import annotations

import collections
import contextlib
import logging
import os
import threading
import time
import weakref
from typing import Any, Deque, Dict, Iterable, Iterator, List, Optional, Set

import dramatiq
from dramatiq.broker import Broker, Consumer, MessageProxy
from dramatiq.common import current_millis, dq_name
from dramatiq.errors import ConnectionClosed, QueueJoinTimeout, QueueNotFound

from .. import LeaseLost, _checks
from .._fork import reset_after_fork
from ..leases import LeaseKeeper
from ._store import AnyQueue, DirectoryStore, store_for

__all__ = ["DeadLettered", "TarnwickBroker"]

log = logging.getLogger(__name__)

# How many exceptions of rejected messages join() can raise, per queue.
KEPT_FAILURES = 100


class DeadLettered(Exception):
    """Raised by TarnwickBroker.join(fail_fast=True) for a dead letter whose
    actor's exception is not known in this process."""


class TarnwickBroker(Broker):
    """A dramatiq broker whose queues live under the directory `path`, or,
    given `dsn` instead, in that PostgreSQL database.

    `lease` is how long a consumer holds a message before another may get
    it, should the first stop renewing it (a worker that was killed); the
    broker renews the leases of messages its worker still holds (with a
    LeaseKeeper: once a third of the lease has passed), so a long actor
    does not lose its message. `sync_interval` and
    `max_deliveries` are those of tarnwick_queue.Queue: 0.0 syncs every
    put and ack before it returns (threads that ack together share one
    sync; leases are not synced; on PostgreSQL every call commits and
    `sync_interval` is not used); a message delivered more than
    `max_deliveries` times (its worker crashed each time) goes to the dead
    letters. `fail_fast_default`
    is join()'s default, as with dramatiq's StubBroker."""

    def __init__(self, path: Optional[str | os.PathLike[str]] = None, *,
                 dsn: Optional[str] = None, middleware: Optional[List[Any]] = None,
                 lease: float = 30.0, sync_interval: float = 0.0,
                 max_deliveries: Optional[int] = None, fail_fast_default: bool = True) -> None:
        self.store = store_for(path, dsn)
        super().__init__(middleware=middleware)
        self.path = self.store.path if isinstance(self.store, DirectoryStore) else None
        self.lease = float(lease)
        self.fail_fast_default = fail_fast_default
        self._options: Dict[str, Any] = dict(lease=lease, sync_interval=sync_interval,
                                             max_deliveries=max_deliveries)
        self.queues: Dict[str, AnyQueue] = {}
        self._syncs: Dict[str, Any] = {}  # by queue name: called after a put or an ack
        self._forked = False  # a forked child that has not reopened its queues yet
        self._inherited: List[Dict[str, AnyQueue]] = []
        self._lock = threading.Lock()
        # Renews the leases of the messages consumers hand out until they
        # are settled, across consumer restarts.
        self._keeper = LeaseKeeper(name="tarnwick-dramatiq-leases")
        # By queue: messages a closed consumer leased whose actors have not
        # finished. The worker restarts a consumer after a connection error;
        # the new one counts them in its prefetch.
        self._unfinished: Dict[str, List[_TarnwickMessageProxy]] = collections.defaultdict(list)
        # The errors of the last messages rejected in this process, by queue
        # and message id, so that join() can raise them as the stub broker
        # does. Bounded, and no exception (with its traceback's frames) is
        # kept alive for it: see _Failure.
        self._failures: Dict[str, Dict[str, _Failure]] = collections.defaultdict(dict)
        reset_after_fork(self._forked_now)

    # --- queues ---

    def _forked_now(self) -> None:
        # In a forked child: the queues are reopened at their next use (that
        # is I/O, not for the moment of the fork). The lock is replaced: a
        # parent's thread may have held it.
        self._forked = True
        self._lock = threading.Lock()

    def _queue(self, queue_name: str) -> AnyQueue:
        if self._forked:
            self._after_fork()
        try:
            return self.queues[queue_name]
        except KeyError:
            raise QueueNotFound(queue_name) from None

    def _after_fork(self) -> None:
        # A child reopens every queue rather than share its parent's handles;
        # the parent's stay referenced (not closed) so nothing the parent
        # still uses is released from here.
        with self._lock:
            if not self._forked:
                return
            self._inherited.append(self.queues)
            self._unfinished = collections.defaultdict(list)  # the parent's to renew
            names, self.queues = list(self.queues), {}
            for name in names:
                self._open(name)
            self._forked = False

    def _open(self, queue_name: str) -> None:
        with _connection_errors():
            queue, sync = self.store.open(queue_name, **self._options)
        self._syncs[queue_name] = sync
        self.queues[queue_name] = queue

    def declare_queue(self, queue_name: str) -> None:
        """Opens (creating when new) the queue and its delay queue."""
        if not isinstance(queue_name, str):
            raise TypeError(f"queue_name must be str, not {type(queue_name).__name__}")
        self.store.check_name(queue_name)
        if self._forked:
            self._after_fork()
        delayed_name = dq_name(queue_name)
        # Both, since opening the delay queue may have failed (a database
        # out of reach) after the queue was opened.
        if queue_name in self.queues and delayed_name in self.queues:
            return
        if queue_name not in self.queues:
            self.emit_before("declare_queue", queue_name)
            with self._lock:
                if queue_name not in self.queues:
                    self._open(queue_name)
            self.emit_after("declare_queue", queue_name)

        with self._lock:
            if delayed_name not in self.queues:
                self._open(delayed_name)
        self.delay_queues.add(delayed_name)
        self.emit_after("declare_delay_queue", delayed_name)

    def get_declared_queues(self) -> Set[str]:
        declared: Set[str] = set(self.queues) - self.delay_queues
        return declared

    # --- producing ---

    def enqueue(self, message: dramatiq.Message, *,
                delay: Optional[int] = None) -> dramatiq.Message:
        """Puts the message on its queue, or on its delay queue when `delay`
        (milliseconds) is given: it is delivered no earlier than that."""
        queue_name = message.queue_name
        if delay is not None:
            queue_name = dq_name(queue_name)
            message = message.copy(queue_name=queue_name,
                                   options={"eta": current_millis() + delay})
        queue = self._queue(queue_name)
        self.emit_before("enqueue", message, delay)
        priority = self._priority_of(message)
        headers = {"actor": message.actor_name, "message_id": message.message_id}
        with _connection_errors():
            queue.put(message.encode(), delay=max(0, delay or 0) / 1000.0, priority=priority,
                      headers=headers)
            self._syncs[queue_name].wait()
        self.emit_after("enqueue", message, delay)
        return message

    def _priority_of(self, message: dramatiq.Message) -> int:
        """The tarnwick priority: `broker_priority` (higher first), else the
        actor's priority negated (dramatiq's actors run lower first)."""
        chosen = message.options.get("broker_priority")
        if isinstance(chosen, bool) or not isinstance(chosen, int):
            actor = self.actors.get(message.actor_name)
            own = getattr(actor, "priority", 0)
            chosen = -own if isinstance(own, int) and not isinstance(own, bool) else 0
        return max(_checks.PRIORITY_MIN, min(_checks.PRIORITY_MAX, chosen))

    # --- consuming ---

    def consume(self, queue_name: str, prefetch: int = 1, timeout: int = 30000) -> Consumer:
        """A consumer holding at most `prefetch` messages at a time, whose
        iteration waits up to `timeout` milliseconds for one."""
        queue = self._queue(queue_name)
        consumer = _TarnwickConsumer(self, queue_name, queue, self._syncs[queue_name], prefetch,
                                     timeout)
        with self._lock:
            unfinished = self._unfinished.pop(queue_name, [])
        consumer._adopt(unfinished)
        return consumer

    @property
    def dead_letters(self) -> List[dramatiq.Message]:
        """The dead-lettered messages of every declared queue."""
        found = []
        for name in sorted(self.queues):
            for entry in self._queue(name).dead_letters.list():
                found.append(dramatiq.Message.decode(entry.body))
        return found

    # --- maintenance ---

    def flush(self, queue_name: str) -> None:
        """Drops every message of the queue (its dead letters stay)."""
        self._queue(queue_name).purge()

    def flush_all(self) -> None:
        """Drops every message of every declared queue, and their dead letters."""
        for name in list(self.queues):
            queue = self._queue(name)
            queue.purge()
            queue.dead_letters.purge()
        self._failures.clear()

    def join(self, queue_name: str, *, timeout: Optional[int] = None,
             fail_fast: Optional[bool] = None) -> None:
        """Waits until the queue and its delay queue hold no message, ready,
        leased or scheduled: for tests. Raises QueueJoinTimeout after
        `timeout` milliseconds; with `fail_fast` (default
        `fail_fast_default`) raises the error of a dead-lettered message."""
        queue = self._queue(queue_name)
        delayed = self._queue(dq_name(queue_name))
        deadline = None if timeout is None else time.monotonic() + timeout / 1000.0
        # A message moves from the delay queue to the queue before it is
        # acked there, and a retry is put on the delay queue before the
        # failed message is acked: delay queue, queue, delay queue all empty
        # in that order means both are done.
        lost = 0

        def idle(q: AnyQueue) -> bool:
            # A look changes nothing, and the call after a lost connection
            # connects anew: the next poll looks again. Lost twice in a row
            # means the database is out of reach.
            nonlocal lost
            try:
                empty = _idle(q)
            except ConnectionError:
                lost += 1
                if lost > 1:
                    raise
                return False
            lost = 0
            return empty

        with _connection_errors():
            while not (idle(delayed) and idle(queue) and idle(delayed)):
                if deadline is not None and time.monotonic() >= deadline:
                    raise QueueJoinTimeout(queue_name)
                time.sleep(0.005)
        if fail_fast if fail_fast is not None else self.fail_fast_default:
            for failed in self._failures.get(queue_name, {}).values():
                raise failed.exception()
            entries = queue.dead_letters.list(limit=1)
            if entries:
                raise DeadLettered(f"a message on {queue_name!r} was dead-lettered: "
                                   f"{entries[0].reason or 'no reason given'}")

    def close(self) -> None:
        self._keeper.close()
        with self._lock:
            queues, self.queues = self.queues, {}
        if not self._forked:  # else they are the parent's
            for queue in queues.values():
                queue.close()

    def _hand_over(self, queue_name: str, unfinished: List[_TarnwickMessageProxy]) -> None:
        if unfinished:
            with self._lock:
                self._unfinished[queue_name].extend(unfinished)

    def _record_failure(self, message: MessageProxy) -> None:
        if message._exception is not None:
            failures = self._failures[_canonical(message.queue_name)]
            failures[message.message_id] = _Failure(message._exception)
            while len(failures) > KEPT_FAILURES:
                del failures[next(iter(failures))]


class _Failure:
    """An actor's exception as join() raises it: the object itself while
    something else keeps it alive, else one made anew from its type and
    arguments (DeadLettered when that cannot be done)."""

    def __init__(self, exception: BaseException) -> None:
        try:
            self._ref: Any = weakref.ref(exception)
        except TypeError:  # a built-in type without weak references
            self._ref = lambda: None
        self._type = type(exception)
        self._args = exception.args
        self._text = repr(exception)

    def exception(self) -> BaseException:
        alive: Optional[BaseException] = self._ref()
        if alive is not None:
            return alive
        try:
            return self._type(*self._args)
        except Exception:
            return DeadLettered(self._text)


def _idle(queue: AnyQueue) -> bool:
    # Scheduled messages (a delay, a retry's backoff) count too.
    return queue.stats()["total"] == 0


def _canonical(queue_name: str) -> str:
    return queue_name[:-3] if queue_name.endswith((".DQ", ".XQ")) else queue_name


@contextlib.contextmanager
def _connection_errors() -> Iterator[None]:
    """A lost database connection as dramatiq's ConnectionClosed: its worker
    then retries an ack, or restarts the consumer, where any other error is
    taken for a bug in the broker."""
    try:
        yield
    except ConnectionError as exc:
        raise ConnectionClosed(str(exc)) from exc


class _TarnwickMessageProxy(MessageProxy):
    def __init__(self, message: dramatiq.Message, leased: Any,
                 holder: _TarnwickConsumer) -> None:
        super().__init__(message)
        self._leased = leased
        self._holder = holder  # the consumer whose prefetch it fills
        self._done = False  # settled, or found no longer ours
        # Not yet due by this process's clock: dramatiq's consumer thread
        # keeps such a message aside, and forgets it after a connection
        # error without putting it back. (It treats an eta that is not a
        # number as due now.)
        eta = message.options.get("eta")
        self._may_wait_aside = isinstance(eta, (int, float)) and eta > current_millis()
        # Settling and a consumer's adoption of one message never overlap.
        self._settling = threading.Lock()


class _TarnwickConsumer(Consumer):
    def __init__(self, broker: TarnwickBroker, queue_name: str, queue: AnyQueue, sync: Any,
                 prefetch: int, timeout: int) -> None:
        self.broker = broker
        self.queue_name = queue_name
        self.queue = queue
        self._sync = sync
        self.prefetch = max(1, int(prefetch))
        self.timeout = max(0, timeout) / 1000.0
        self._held: Dict[int, _TarnwickMessageProxy] = {}  # leased, not yet settled
        self._buffer: Deque[_TarnwickMessageProxy] = collections.deque()  # not yet handed out
        self._room = threading.Condition()
        self._keeper = broker._keeper

    def __next__(self) -> Optional[MessageProxy]:
        with _connection_errors():
            return self._next()

    def _next(self) -> Optional[MessageProxy]:
        if self._buffer:
            return self._buffer.popleft()
        with self._room:
            if not self._room.wait_for(lambda: len(self._held) < self.prefetch, self.timeout):
                return None
            room = self.prefetch - len(self._held)
        leased = self.queue.get_many(room, timeout=self.timeout)
        for message in leased:
            try:
                decoded = dramatiq.Message.decode(message.body)
            except Exception as exc:
                log.error("Message %d on %r cannot be decoded (%s); moving it to the dead "
                          "letters.", message.id, self.queue_name, exc)
                _settle(message.dead, f"cannot be decoded: {exc}")
                continue
            proxy = _TarnwickMessageProxy(decoded, message, self)
            self._keeper.hold(message, self.broker.lease)
            with self._room:
                self._held[id(proxy)] = proxy
            self._buffer.append(proxy)
        return self._buffer.popleft() if self._buffer else None

    def ack(self, message: _TarnwickMessageProxy) -> None:
        holder = _finish(message, message._leased.ack)
        self._sync.wait()
        holder._release(message)

    def nack(self, message: _TarnwickMessageProxy) -> None:
        reason = "rejected" if message._exception is None else repr(message._exception)
        # Noted before the dead letter appears, which is what join() looks for.
        try:
            self.broker._record_failure(message)
        except Exception:  # the message is settled all the same
            log.exception("Could not note the error of message %s.", message.message_id)
        _finish(message, message._leased.dead, reason[:1000])._release(message)

    def requeue(self, messages: Iterable[MessageProxy]) -> None:
        """Puts messages the worker did not finish back on the queue, due now."""
        for message in messages:
            _finish(message, message._leased.nack)._release(message)

    def close(self) -> None:
        buffered, self._buffer = list(self._buffer), collections.deque()
        self.requeue(buffered)
        with self._room:
            held, self._held = list(self._held.values()), {}
        # Those the worker's threads are running go on being renewed, and
        # fill the next consumer's prefetch; one the worker may have
        # forgotten is left to its lease, which brings it back, rather than
        # renewed for ever.
        running = []
        for message in held:
            if message._may_wait_aside:
                self._keeper.release(message._leased)
            else:
                running.append(message)
        self.broker._hand_over(self.queue_name, running)

    def _adopt(self, messages: List[_TarnwickMessageProxy]) -> None:
        """Takes over renewing the leases of a closed consumer's messages;
        they fill part of the prefetch, as the worker still holds them."""
        for message in messages:
            with message._settling:
                if message._done:
                    continue
                message._holder = self
                with self._room:
                    self._held[id(message)] = message

    def _release(self, message: _TarnwickMessageProxy) -> None:
        with self._room:
            self._held.pop(id(message), None)
            self._room.notify()


def _finish(message: _TarnwickMessageProxy, action: Any, *args: Any) -> _TarnwickConsumer:
    """Settles the message with `action`; returns the consumer to release it
    from, read under the same lock as an adoption changes it."""
    with message._settling:
        leased = message._leased
        # Released first: no renewal of it is under way while it is settled.
        keeper = message._holder._keeper
        keeper.release(leased)
        try:
            _settle(action, *args)
        except BaseException:
            # Not settled (the connection broke): held on, as before, for
            # the worker may settle it again.
            keeper.hold(leased, message._holder.broker.lease)
            raise
        message._done = True
        return message._holder


def _settle(action: Any, *args: Any) -> None:
    try:
        with _connection_errors():
            action(*args)
    except LeaseLost as exc:
        # The message was flushed, or its lease ran out and it went back to
        # the queue: it is settled there, and may run again.
        log.warning("%s", exc)
