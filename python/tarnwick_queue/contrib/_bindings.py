"""Exchange bindings that every process sees, for the kombu transport.

kombu's virtual transports keep exchanges and bindings in each process, so
a queue bound in one process (a Flower's event queue, a worker's pidbox
queue, a client's reply queue) is unknown to a publisher in another. Here
each exchange's bindings are also kept in the store, as the messages of a
table queue of its own that no one consumes: one message per binding, put
with a unique key, so that binding twice (in any number of processes at
once) keeps one, and unbinding cancels it. The store's own atomic put and
cancel are all it needs, on a directory and on PostgreSQL alike.

A publisher may read a table at most once a second, and again at once when
its cached copy routes a message nowhere (the transport reads afresh for a
broadcast); bindings to queues that no longer exist (an auto_delete queue
whose process ended) are dropped when a delivery meets them. A binding of
a claimed queue records the claim's owner, by which a store that cannot
tell a gone queue by looking for it (PostgreSQL) tells it.
"""

from __future__ import annotations

import hashlib
import json
import time
from typing import Dict, List, NamedTuple, Optional, Tuple

from ._store import AnyQueue, QueueStore

# A cached table is read again after this many seconds.
REFRESH_SECONDS = 1.0
# The most bindings one exchange's table is read with.
MOST_BINDINGS = 100_000


class Binding(NamedTuple):
    """One row of kombu's routing table, the exchange's type, and the owner
    of the queue's claim when it has one (see QueueStore.claim)."""

    routing_key: str
    pattern: Optional[str]
    queue: str
    type: str
    owner: Optional[str] = None


class SharedBindings:
    """The bindings of the exchanges of one store, as this process last read
    them."""

    def __init__(self, store: QueueStore) -> None:
        self._store = store
        self._tables: Dict[str, AnyQueue] = {}
        self._cache: Dict[str, Tuple[float, List[Binding]]] = {}

    def add(self, exchange: str, binding: Binding) -> None:
        self._table(exchange).put(_encode(binding), key=_key(binding))
        self._cache.pop(exchange, None)

    def remove(self, exchange: str, routing_key: str, queue: str) -> None:
        table = self._table(exchange)
        for info in table.peek(MOST_BINDINGS, bodies=True):
            found = _decode(info.body)
            if found is not None and (found.routing_key, found.queue) == (routing_key, queue):
                table.cancel(info.id)
        self._cache.pop(exchange, None)

    def of(self, exchange: str, *, fresh: bool = False) -> List[Binding]:
        """The exchange's bindings: read again when `fresh` or when the copy
        is older than REFRESH_SECONDS."""
        now = time.monotonic()
        cached = self._cache.get(exchange)
        if cached is not None and not fresh and now - cached[0] < REFRESH_SECONDS:
            return cached[1]
        rows = [_decode(info.body) for info in
                self._table(exchange).peek(MOST_BINDINGS, bodies=True)]
        bindings = [b for b in rows if b is not None]
        self._cache[exchange] = (now, bindings)
        return bindings

    def forget_queue(self, exchange: str, queue: str) -> None:
        """Drops every binding of `queue` to `exchange` (the queue is gone)."""
        table = self._table(exchange)
        for info in table.peek(MOST_BINDINGS, bodies=True):
            found = _decode(info.body)
            if found is not None and found.queue == queue:
                table.cancel(info.id)
        self._cache.pop(exchange, None)

    def close(self) -> None:
        for table in self._tables.values():
            table.close()
        self._tables.clear()
        self._cache.clear()

    def _table(self, exchange: str) -> AnyQueue:
        table = self._tables.get(exchange)
        if table is None:
            table = self._tables[exchange] = self._store.open_table(exchange)
        return table


def _key(binding: Binding) -> str:
    # A key is at most 255 bytes; kombu's names are not.
    raw = json.dumps([binding.routing_key, binding.queue]).encode("utf-8", "surrogatepass")
    return "binding-" + hashlib.sha256(raw).hexdigest()


def _encode(binding: Binding) -> bytes:
    return json.dumps(binding._asdict()).encode()


def _decode(body: Optional[bytes]) -> Optional[Binding]:
    """A table row, or None for one that is not (written by hand)."""
    try:
        fields = json.loads(body or b"")
        owner = fields.get("owner")  # absent from rows of earlier releases
        return Binding(str(fields["routing_key"]),
                       None if fields["pattern"] is None else str(fields["pattern"]),
                       str(fields["queue"]), str(fields["type"]),
                       None if owner is None else str(owner))
    except (ValueError, KeyError, TypeError):
        return None
