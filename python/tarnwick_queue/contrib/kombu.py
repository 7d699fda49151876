"""A kombu transport on a directory of tarnwick queues, or on PostgreSQL,
for Celery.

    import tarnwick_queue.contrib.kombu        # registers the "tarnwick" alias
    app = Celery("tasks", broker="tarnwick:///var/lib/myapp/broker")

or, without the import, `broker_transport="tarnwick_queue.contrib.kombu:Transport"`
with `broker_url="tarnwick:///var/lib/myapp/broker"`. On PostgreSQL the URL
is `tarnwick://` with the transport option `dsn`:

    app = Celery("tasks", broker="tarnwick://",
                 broker_transport_options={"dsn": "host=db dbname=app"})

Each kombu queue is a tarnwick queue in a subdirectory of the broker
directory, or the PostgresQueue of that name. A delivered message stays
leased until it is settled: `ack` removes it, `reject(requeue=True)` puts
it back, `reject(requeue=False)` moves it to the queue's dead letters. A
consumer renews the leases of the messages it holds (a LeaseKeeper per
transport: once a third of the lease has passed); when its process dies
they come back once their leases run out. A message whose headers carry an
`eta` (Celery's countdown and eta) is put with the matching delay, so it is
not delivered before it is due.

A message's `priority` (kombu's and Celery's 0 to 9, AMQP's sense: 9 first;
kombu's virtual transports clamp it to that range, and a message without one
has 0) becomes the tarnwick priority 10 times it, so 0 stays the plain
priority and 9 is 90. With the transport option `priority_order="lower"`,
as Celery's Redis transport orders them (0 first), it becomes -10 times it.
The task's name and id (Celery's `task` and `id` headers) are put in the
message's tarnwick headers, for `tarnwick peek`.

Direct, topic and fanout exchanges route across processes: a binding is
kept in each process, as in kombu's other virtual transports, and also in
the store (see _bindings.py), so that a publisher reaches queues that other
processes bound: a worker's pidbox queue (`celery inspect`, `celery
control`), a Flower's or `celery events`' event queue, a client's reply
queue.

A queue that a channel declares `auto_delete` or `exclusive` (the reply
queues of Celery's rpc:// result backend) is deleted, with its messages,
when that channel's last consumer of it is cancelled. Consumers are not
counted across processes: such a queue belongs to the process that
declared it, which holds a claim on it (a locked file in its directory);
when that process ends without cancelling (a Celery client that exits, or
is killed), the next channel opened on the directory, in any process,
deletes the queues whose claims have all ended. Another process that still
has a deleted queue open (a worker that sent it a reply) opens it again at
its next put, as a new queue. On PostgreSQL the claim is the advisory lock
of a session of the declaring process, named in the queue's bindings; a
channel that routes through a binding whose claim has ended (for longer
than a server restart takes) drops the binding and deletes the queue.
"""

from __future__ import annotations

import datetime
import errno
import logging
import os
import threading
import time
from queue import Empty
from typing import Any, Callable, Dict, List, Optional, Tuple, TypeVar
from urllib.parse import quote

from kombu.transport import TRANSPORT_ALIASES, virtual
from kombu.utils.json import dumps, loads

from .. import LeaseLost
from ..leases import LeaseKeeper
from ._bindings import Binding, SharedBindings
from ._store import AnyQueue, Claim, QueueStore, store_for

__all__ = ["Channel", "QoS", "Transport"]

log = logging.getLogger(__name__)

T = TypeVar("T")

TRANSPORT_ALIASES.setdefault("tarnwick", "tarnwick_queue.contrib.kombu:Transport")


class QoS(virtual.QoS):
    """Settles deliveries on the queue as well as in kombu's books."""

    def ack(self, delivery_tag: str) -> None:
        self.channel._settle(delivery_tag, "ack")
        super().ack(delivery_tag)

    def reject(self, delivery_tag: str, requeue: bool = False) -> None:
        self.channel._settle(delivery_tag, "nack" if requeue else "dead")
        self._quick_ack(delivery_tag)

    def restore_unacked(self) -> List[Any]:
        """Returns every unsettled delivery to its queue, due now."""
        self._flush()
        self._delivered.clear()
        self.channel._settle_all("nack")
        return []


class Channel(virtual.Channel):
    QoS = QoS
    do_restore = True
    supports_fanout = True
    from_transport_options = virtual.Channel.from_transport_options + (
        "path", "dsn", "lease", "sync_interval", "max_deliveries", "priority_order")

    path: Optional[str] = None
    dsn: Optional[str] = None
    lease = 60.0
    sync_interval = 0.0
    max_deliveries: Optional[int] = None
    priority_order = "higher"  # "higher": 9 first (AMQP's); "lower": 0 first (Redis's)

    def __init__(self, connection: Transport, **kwargs: Any) -> None:
        super().__init__(connection, **kwargs)
        if self.priority_order not in ("higher", "lower"):
            raise ValueError("the transport option priority_order must be 'higher' or "
                             f"'lower', not {self.priority_order!r}")
        self._priority_scale = PRIORITY_SCALE if self.priority_order == "higher" \
            else -PRIORITY_SCALE
        self.store = _store(self.path, self.connection.client.virtual_host, self.dsn)
        self._queues: Dict[str, AnyQueue] = {}
        self._syncs: Dict[str, Any] = {}  # by queue name: called after a put or an ack
        self._leased: Dict[str, _Held] = {}  # by delivery tag
        self._leased_lock = threading.Lock()
        # Declared auto_delete or exclusive here: their claims, by queue name.
        self._auto_delete: Dict[str, Claim] = {}
        self._keeper = connection._keeper  # closing clears self.connection
        self._bindings = SharedBindings(self.store)
        self.store.remove_unclaimed()

    # --- exchanges: bindings every process sees ---

    def _queue_bind(self, exchange: str, routing_key: str, pattern: Any, queue: str) -> None:
        claim = self._auto_delete.get(queue)
        self._bindings.add(exchange, Binding(routing_key, pattern, queue,
                                             self.typeof(exchange).type,
                                             None if claim is None else claim.owner))

    def queue_unbind(self, queue: str, exchange: Optional[str] = None, routing_key: str = "",
                     arguments: Any = None, **kwargs: Any) -> None:
        super().queue_unbind(queue, exchange, routing_key, arguments, **kwargs)
        if exchange:
            self._bindings.remove(exchange, routing_key, queue)

    def get_table(self, exchange: str) -> List[Tuple[str, Any, str]]:
        return self._table(exchange, fresh=False)

    def _table(self, exchange: str, *, fresh: bool) -> List[Tuple[str, Any, str]]:
        """The bindings made here and those of every process, each once."""
        try:
            own: List[Tuple[str, Any, str]] = list(super().get_table(exchange))
        except KeyError:
            own = []
        seen = {(key, queue) for key, _, queue in own}
        shared = [b for b in self._bindings.of(exchange, fresh=fresh)
                  if (b.routing_key, b.queue) not in seen]
        return own + self._held(exchange, shared)

    def _held(self, exchange: str, bindings: List[Binding]) -> List[Tuple[str, Any, str]]:
        # A binding whose queue went away (an auto_delete queue whose
        # process ended) is dropped: delivering would make the queue anew.
        # Where the store cannot see that (PostgreSQL), the binding's
        # owner tells it, and the queue is deleted here.
        owners = {b.owner for b in bindings if b.owner is not None}
        gone = self.store.gone(owners) if owners else set()
        kept, dropped = [], set()
        for b in bindings:
            if b.queue in dropped:
                continue
            if b.owner in gone:
                self._bindings.forget_queue(exchange, b.queue)
                self._remove_gone(b.queue)
                dropped.add(b.queue)
            elif not self.store.holds(b.queue):
                self._bindings.forget_queue(exchange, b.queue)
                dropped.add(b.queue)
            else:
                kept.append((b.routing_key, b.pattern, b.queue))
        return kept

    def _remove_gone(self, name: str) -> None:
        """Deletes a queue whose owner's claim has ended."""
        self._forget(name)
        try:
            self.store.remove(name)
        except OSError as exc:
            log.warning("Could not delete the queue %r of an ended process: %s", name, exc)

    def typeof(self, exchange: str, default: str = "direct") -> Any:
        if exchange and exchange not in self.state.exchanges:
            # Declared in another process only: its bindings say its type.
            for binding in self._bindings.of(exchange):
                return self.exchange_types[binding.type]
        return super().typeof(exchange, default)

    def _lookup(self, exchange: str, routing_key: str, default: Any = None) -> List[str]:
        if exchange:
            # A copy that routes nowhere may predate the binding: read again.
            for fresh in (False, True):
                found = self.typeof(exchange).lookup(self._table(exchange, fresh=fresh),
                                                     exchange, routing_key, None)
                if found:
                    return list(found)
        return list(super()._lookup(exchange, routing_key, default))

    def _put_fanout(self, exchange: str, message: Dict[str, Any], routing_key: str,
                    **kwargs: Any) -> None:
        # Read afresh: broadcasts are rare, and a copy could name a queue that
        # went since (on PostgreSQL, a put would leave messages no one reads).
        for queue in sorted({queue for _, _, queue in self._table(exchange, fresh=True)}):
            self._put(queue, message, **kwargs)

    # --- queues ---

    def _queue(self, name: str) -> AnyQueue:
        queue = self._queues.get(name)
        if queue is None:
            if not name:
                raise ValueError("a queue needs a name")
            queue, self._syncs[name] = self.store.open(
                name, lease=self.lease, sync_interval=float(self.sync_interval),
                max_deliveries=self.max_deliveries)
            self._queues[name] = queue
        return queue

    def _on_queue(self, name: str, op: Callable[[AnyQueue], T]) -> T:
        """op(the queue `name`); once more on a fresh opening when the
        queue's directory went away under the open one (another process
        deleted it as an auto_delete queue)."""
        try:
            return op(self._queue(name))
        except OSError as exc:
            if exc.errno != errno.ENOENT or isinstance(exc, ConnectionError):
                raise
            self._forget(name)
            return op(self._queue(name))

    def _forget(self, name: str) -> None:
        """Closes this channel's opening of the queue `name`."""
        self._syncs.pop(name, None)
        queue = self._queues.pop(name, None)
        if queue is not None:
            queue.close()

    def _new_queue(self, queue: str, **kwargs: Any) -> None:
        self._queue(queue)
        if (kwargs.get("auto_delete") or kwargs.get("exclusive")) and \
                queue not in self._auto_delete:
            self._auto_delete[queue] = self.store.claim(queue)

    def basic_cancel(self, consumer_tag: str) -> None:
        queue = self._tag_to_queue.get(consumer_tag)
        super().basic_cancel(consumer_tag)
        if queue in self._auto_delete and queue not in self._active_queues:
            self._remove_queue(queue)

    def _remove_queue(self, name: str) -> None:
        """Deletes an auto_delete queue whose last consumer here went. The
        messages this channel holds of it go with it."""
        claim = self._auto_delete.pop(name, None)
        with self._leased_lock:
            for tag in [t for t, held in self._leased.items() if held.queue == name]:
                # A later ack or reject of it finds nothing to settle.
                self._keeper.release(self._leased.pop(tag).message)
        self._forget(name)
        for exchange, _, _ in self.state.queue_bindings(name):
            self._forget_binding(exchange, name)
        try:
            self.store.remove(name)
        except OSError as exc:
            log.warning("Could not delete the auto_delete queue %r: %s", name, exc)
        finally:
            if claim is not None:
                claim.close()

    def _has_queue(self, queue: str, **kwargs: Any) -> bool:
        return queue in self._queues or self.store.holds(queue)

    def _size(self, queue: str) -> int:
        return self._queue(queue).stats()["ready"]

    def _purge(self, queue: str) -> int:
        target = self._queue(queue)
        stats = target.stats()
        target.purge()
        return stats["total"]

    def _delete(self, queue: str, *args: Any, **kwargs: Any) -> None:
        # Called once for each of the queue's bindings: (exchange, meta...).
        if args and args[0]:
            self._forget_binding(args[0], queue)
        self._purge(queue)

    def _forget_binding(self, exchange: str, queue: str) -> None:
        try:
            self._bindings.forget_queue(exchange, queue)
        except OSError as exc:
            log.warning("Could not drop the bindings of queue %r to %r: %s", queue, exchange,
                        exc)

    # --- messages ---

    def _put(self, queue: str, message: Dict[str, Any], **kwargs: Any) -> None:
        body, delay = dumps(message).encode(), _eta_delay(message)
        # Only the options a message has: a plain put takes the queue's fast path.
        options: Dict[str, Any] = {}
        priority = self._priority_scale * self._get_message_priority(message)
        if priority:
            options["priority"] = priority
        headers = _task_headers(message)
        if headers:
            options["headers"] = headers
        self._on_queue(queue, lambda q: q.put(body, delay=delay, **options))
        self._syncs[queue].wait()

    def _get(self, queue: str, timeout: Optional[float] = None) -> Dict[str, Any]:
        self.store.keep_claims()
        leased = self._on_queue(queue, lambda q: q.get(block=timeout is not None,
                                                       timeout=timeout))
        try:
            payload: Dict[str, Any] = loads(leased.body)
            tag = payload["properties"]["delivery_tag"]
        except (ValueError, KeyError, TypeError) as exc:
            leased.dead(f"not a kombu message: {exc}")
            raise Empty from None
        payload["properties"].setdefault("delivery_info", {})["redelivered"] = leased.deliveries > 1
        with self._leased_lock:
            self._leased[tag] = _Held(queue, leased)
            self._keeper.hold(leased, float(self.lease))
        return payload

    def _settle(self, delivery_tag: str, how: str) -> None:
        with self._leased_lock:
            held = self._leased.pop(delivery_tag, None)
            if held is None:
                return
            queue, leased = held.queue, held.message
            self._keeper.release(leased)  # no renewal of it is under way now
            try:
                if how == "ack":
                    leased.ack()
                elif how == "nack":
                    leased.nack()
                else:
                    leased.dead("rejected")
            except LeaseLost:
                # Its lease ran out, so it is back in the queue (or with another
                # consumer): it will be delivered again.
                return
        if how == "ack":
            self._syncs[queue].wait()

    def _settle_all(self, how: str) -> None:
        for tag in list(self._leased):
            self._settle(tag, how)

    def close(self) -> None:
        try:
            super().close()  # restores unacked messages through the QoS
        finally:
            # Also when the database could not take them back: their leases
            # run out instead.
            with self._leased_lock:
                for held in self._leased.values():
                    self._keeper.release(held.message)
            for queue in self._queues.values():
                queue.close()
            self._queues.clear()
            self._bindings.close()
            # Auto_delete queues declared here but never consumed: the next
            # channel on the directory deletes them.
            for claim in self._auto_delete.values():
                claim.close()
            self._auto_delete.clear()
            self.store.close()


class _Held:
    """A delivered message not yet settled (the transport's LeaseKeeper
    renews its lease meanwhile)."""

    __slots__ = ("queue", "message")

    def __init__(self, queue: str, message: Any) -> None:
        self.queue = queue  # its kombu queue's name
        self.message = message


class Transport(virtual.Transport):
    """kombu's transport for `tarnwick:///absolute/path` URLs (the path may
    also be given as the transport option `path`), or for `tarnwick://`
    with the transport option `dsn`, a PostgreSQL connection string. Transport options:
    `lease` (seconds, default 60), `sync_interval` (0.0: every operation is
    synced), `max_deliveries`, `polling_interval` (how often a consumer of
    several queues looks at them; one queue is waited on without looking)."""

    Channel = Channel
    driver_type = "tarnwick"
    driver_name = "tarnwick"
    polling_interval = 0.05
    implements = virtual.Transport.implements.extend(
        asynchronous=False, exchange_type=frozenset(["direct", "topic", "fanout"]),
        heartbeats=False)
    # A lost database connection (tarnwick_queue.postgres.ConnectionLost is
    # a built-in ConnectionError): Celery then connects again rather than
    # stopping the worker.
    connection_errors = virtual.Transport.connection_errors + (ConnectionError,)

    def __init__(self, client: Any, **kwargs: Any) -> None:
        super().__init__(client, **kwargs)
        # One thread per transport renews the leases of every channel's
        # messages while they wait in the worker.
        self._keeper = LeaseKeeper(name="tarnwick-kombu-leases")

    def driver_version(self) -> str:
        from .. import __version__
        return __version__

    def drain_events(self, connection: Any, timeout: Optional[float] = None) -> Any:
        """Delivers one message. With a single queue to consume, waits on it
        (woken by the queue); with several, looks at each in turn every
        `polling_interval`."""
        started = time.monotonic()
        while True:
            try:
                return self.cycle.get(self._deliver, timeout=0)
            except Empty:
                pass
            left = None if timeout is None else timeout - (time.monotonic() - started)
            if left is not None and left <= 0:
                import socket
                raise socket.timeout()
            consuming = [(channel, queue) for channel in self.channels
                         if channel._consumers and channel.qos.can_consume()
                         for queue in channel._active_queues]
            if len(consuming) == 1:
                channel, queue = consuming[0]
                wait = 1.0 if left is None else min(left, 1.0)
                try:
                    payload = channel._get(queue, timeout=wait)
                except Empty:
                    continue
                return self._deliver(payload, queue)
            time.sleep(self.polling_interval if left is None else min(left, self.polling_interval))

    def register_with_event_loop(self, connection: Any, loop: Any) -> None:
        """With kombu's event loop, the queues are looked at every
        `polling_interval` (a directory watch has no descriptor per queue
        that the loop could wait on)."""
        loop.call_repeatedly(self.polling_interval, self._deliver_ready)

    def _deliver_ready(self) -> None:
        for _ in range(100):  # bounded, so one busy queue cannot hold the loop
            try:
                self.cycle.get(self._deliver, timeout=0)
            except Empty:
                return

    def close_connection(self, connection: Any) -> None:
        super().close_connection(connection)
        self._keeper.close()


def _store(path: Optional[str], virtual_host: Optional[str], dsn: Optional[str]) -> QueueStore:
    """Where the channel's queues live: the `dsn` option's database, else
    the directory of the `path` option or of the URL's path (kombu hands it
    over without its leading slash)."""
    directory = _directory(path, virtual_host)
    if dsn is not None and directory is not None:
        raise ValueError("the tarnwick transport takes a directory or the transport option "
                         "'dsn', not both (with 'dsn' the URL is tarnwick://)")
    if dsn is None and directory is None:
        raise ValueError("the tarnwick transport needs a directory: tarnwick:///absolute/path "
                         "or the transport option 'path' (or 'dsn' for PostgreSQL)")
    return store_for(directory, dsn, directory_of=_directory_name)


def _directory(path: Optional[str], virtual_host: Optional[str]) -> Optional[str]:
    if path:
        return os.path.abspath(path)
    if not virtual_host or virtual_host == "/":
        return None
    return "/" + virtual_host.lstrip("/")


def _directory_name(queue: str) -> str:
    if queue in (".", ".."):  # quote() leaves them as they are
        return queue.replace(".", "%2E")
    return quote(queue, safe="@.-_")


# kombu's 0..9 times this is tarnwick's priority: 0..90 (or 0..-90).
PRIORITY_SCALE = 10


def _task_headers(message: Dict[str, Any]) -> Optional[Dict[str, str]]:
    """The task's name and id, from Celery's headers, as tarnwick headers."""
    found = message.get("headers") or {}
    # Only what any store keeps as it is; the body holds the whole message.
    out = {name: found[name] for name in ("task", "id")
           if isinstance(found.get(name), str) and len(found[name]) <= 1024
           and found[name].isprintable()}
    return out or None


def _eta_delay(message: Dict[str, Any]) -> float:
    """Seconds until the message's `eta` header (Celery's countdown and
    eta), 0.0 when it has none or it is past."""
    eta = (message.get("headers") or {}).get("eta")
    if not isinstance(eta, str):
        return 0.0
    try:
        when = datetime.datetime.fromisoformat(eta)
    except ValueError:
        return 0.0
    if when.tzinfo is None:
        return 0.0  # a local time whose zone is unknown: the worker waits for it
    return max(0.0, (when - datetime.datetime.now(datetime.timezone.utc)).total_seconds())
