# The package's native module (src/face_module), as its local driver calls it.
# Every argument is positional only and already checked by the Python side:
# times are whole milliseconds, bodies bytes. The names starting with "_"
# exist only here, for type checkers.
from typing import Dict, Final, List, Optional, Tuple, TypedDict, final

# The largest message body, in bytes.
MAX_BODY_LEN: Final[int]

# (seq, enqueued_ms, deliveries, deadline_ms): the lease a message was taken with.
_LeaseToken = Tuple[int, int, int, int]
# (seq, body, deliveries, enqueued_ms, deadline_ms)
_Taken = Tuple[int, bytes, int, int, int]
# What a taken message was put with: (priority, key, group, headers), key and
# group None when not given, headers the bytes put gave (None when none).
_Options = Tuple[int, Optional[str], Optional[str], Optional[bytes]]
# (seq, state, deliveries, enqueued_ms, due_ms, size, body, started_ms,
# extensions, consumer, priority, key, group, headers); state is "ready",
# "leased" or "scheduled"; body is None unless asked for; started_ms and
# consumer None when unknown.
_Summary = Tuple[int, str, int, int, Optional[int], int, Optional[bytes], Optional[int], int,
                 Optional[str], int, Optional[str], Optional[str], Optional[bytes]]
# (seq, state, deliveries, enqueued_ms, started_ms, finished_ms, result, errors,
# consumers, priority, key, group, headers, dead_letter_id): a message as
# status() and outcomes() tell it; state is one of "ready", "scheduled",
# "leased", "acked", "dead", "cancelled".
_Outcome = Tuple[int, str, int, int, Optional[int], Optional[int], Optional[bytes], List[str],
                 List[str], int, Optional[str], Optional[str], Optional[bytes], Optional[int]]
# (body, priority, key, unique_for_ms, headers): a message schedule_change() puts.
_SchedulePut = Tuple[bytes, int, Optional[str], int, Optional[bytes]]
# (id, original_id, body, deliveries, enqueued_ms, died_ms, reason)
_DeadLetter = Tuple[int, int, bytes, int, int, int, str]

class _Stats(TypedDict):
    ready: int
    in_flight: int
    total: int
    enqueued_total: int
    acked_total: int
    requeued_total: int
    dead_total: int
    expired_total: int
    nacked_total: int
    next_seq: int
    live_bytes: int
    log_bytes: int
    generation: int
    persistent: bool
    scheduled: int
    dead_letters: int
    oldest_running: Optional[Tuple[int, int]]  # (seq, started_ms)
    oldest_ready_ms: Optional[int]
    paused: bool

# Functional form: a "bytes" key would shadow the builtin inside a class body.
class _DamagedRange(TypedDict):
    offset: int
    bytes: int
    reason: str
class _IntegrityReport(TypedDict):
    ok: bool
    records: int
    bytes: int
    message: str
    damaged: List[_DamagedRange]
    tail: Optional[_DamagedRange]
    intact_records: int

class _RepairReport(TypedDict):
    skipped: List[_DamagedRange]
    cut_tail: Optional[_DamagedRange]
    records_kept: int
    orphan_records: int
    damaged_copy: Optional[str]
    generation: int

@final
class Engine:
    def __new__(
        cls,
        path: str,
        sync_interval_ms: int,
        lease_ms: int,
        auto_compact_bytes: int,
        read_only: bool = False,
        keep_acked_ms: int = 0,
        keep_dead_ms: int = 0,
        keep_cancelled_ms: int = 0,
    ) -> Engine: ...
    @property
    def closed(self) -> bool: ...
    @property
    def directory(self) -> Optional[str]: ...
    @property
    def consumer(self) -> str: ...
    def set_consumer(self, consumer: str, /) -> None: ...
    def put(self, bodies: List[bytes], delay_ms: int, priority: int = 0,
            group: Optional[str] = None, headers: Optional[bytes] = None, /) -> List[int]: ...
    def put_one(self, body: bytes, delay_ms: int, priority: int = 0, key: Optional[str] = None,
                unique_for_ms: int = 0, group: Optional[str] = None,
                headers: Optional[bytes] = None, /) -> int: ...
    def cancel(self, seq: int, /) -> bool: ...
    def set_paused(self, paused: bool, /) -> None: ...
    def is_paused(self) -> bool: ...
    def group_limit(self) -> int: ...
    def set_group_limit(self, limit: int, /) -> None: ...
    def schedules(self) -> Dict[str, bytes]: ...
    def schedule_change(self, name: str, expected: Optional[bytes], new: Optional[bytes],
                        puts: List[_SchedulePut], /) -> Optional[List[int]]: ...
    def take(
        self, max: int, lease_ms: Optional[int], max_deliveries: int, /
    ) -> Tuple[List[_Taken], Optional[int], Optional[List[Optional[_Options]]]]: ...
    def ack_then_take(
        self, token: _LeaseToken, max: int, lease_ms: Optional[int], max_deliveries: int, /
    ) -> Tuple[bool, List[_Taken], Optional[int], Optional[List[Optional[_Options]]]]: ...
    def ack(self, token: _LeaseToken, result: Optional[bytes] = None, /) -> bool: ...
    def ack_many(self, tokens: List[_LeaseToken], /) -> List[int]: ...
    def nack(self, token: _LeaseToken, delay_ms: int, error: Optional[str] = None, /) -> bool: ...
    def bury(self, token: _LeaseToken, reason: str, /) -> bool: ...
    def extend(self, token: _LeaseToken, lease_ms: Optional[int], /) -> Optional[int]: ...
    def peek(self, limit: int, bodies: bool, /) -> List[_Summary]: ...
    def status(self, seq: int, /) -> Optional[_Outcome]: ...
    def outcomes(self, state: Optional[str], limit: int, since_ms: Optional[int], /
                 ) -> List[_Outcome]: ...
    def next_due(self) -> Optional[int]: ...
    def stats(self) -> _Stats: ...
    def dead_count(self) -> int: ...
    def dead_list(self, limit: int, /) -> List[_DeadLetter]: ...
    def dead_requeue(self, ids: Optional[List[int]], /) -> int: ...
    def dead_purge(self) -> int: ...
    def compact(self) -> None: ...
    def preallocate_log(self) -> None: ...
    def purge(self) -> None: ...
    def flush(self) -> None: ...
    def verify(self) -> _IntegrityReport: ...
    def last_repair(self) -> Optional[_RepairReport]: ...
    def close(self) -> None: ...

@final
class Watch:
    def __new__(cls, directory: str, file_name: str) -> Watch: ...
    def fileno(self) -> int: ...
    def drain(self) -> None: ...
    def close(self) -> None: ...

def verify(directory: str, /) -> _IntegrityReport: ...
def repair(directory: str, /) -> Optional[_RepairReport]: ...
