import os
from typing import Final, List, Optional, Sequence, SupportsIndex, Tuple, TypedDict, Union, final

__version__: Final[str]
__all__ = ["TarnwickCore", "__version__"]

# bytes and bytearray are taken as they stand; any other sequence must hold ints 0..255.
_Body = Union[bytes, bytearray, Sequence[SupportsIndex]]
# (seq, body, deliveries, enqueued_ts_ms)
_Delivery = Tuple[int, bytes, int, int]

class _Stats(TypedDict):
    ready: int
    in_flight: int
    total: int
    enqueued_total: int
    acked_total: int
    requeued_total: int
    dead_total: int
    next_seq: int
    live_bytes: int
    log_bytes: int
    generation: int
    persistent: bool

# Functional form: a "bytes" field would shadow the builtin inside a class body.
_IntegrityReport = TypedDict(
    "_IntegrityReport", {"ok": bool, "records": int, "bytes": int, "message": str}
)

@final
class TarnwickCore:
    def __new__(
        cls,
        path: Union[str, "os.PathLike[str]"],
        sync_interval_ms: Optional[SupportsIndex] = None,
        default_lease_ms: Optional[SupportsIndex] = None,
        auto_compact_bytes: Optional[SupportsIndex] = None,
    ) -> "TarnwickCore": ...
    def enqueue(self, body: _Body) -> int: ...
    def enqueue_batch(self, bodies: Sequence[_Body]) -> List[int]: ...
    def dequeue(self, lease_ms: Optional[SupportsIndex] = None) -> Optional[_Delivery]: ...
    def dequeue_batch(
        self, max: SupportsIndex, lease_ms: Optional[SupportsIndex] = None
    ) -> List[_Delivery]: ...
    def ack(self, seq: SupportsIndex) -> bool: ...
    def ack_batch(self, seqs: Sequence[SupportsIndex]) -> int: ...
    def nack(self, seq: SupportsIndex, requeue: bool = True) -> bool: ...
    def extend_lease(
        self, seq: SupportsIndex, lease_ms: Optional[SupportsIndex] = None
    ) -> bool: ...
    def available(self) -> int: ...
    def in_flight(self) -> int: ...
    def stats(self) -> _Stats: ...
    def flush(self) -> None: ...
    def compact(self) -> None: ...
    def purge(self) -> None: ...
    def verify_integrity(self) -> _IntegrityReport: ...
