"""Reading queue directories without the module: the log (format 1, as
docs/log-format.md describes it), dead-letter entries, and the bytes of every
file. Both make_fixtures.py and the compatibility tests use it, so that what
a fixture holds is known independently of the build that reads it."""

from __future__ import annotations

import hashlib
import os
import struct
import zlib
from dataclasses import dataclass, field
from typing import Dict, List, Optional

HEADER_LEN = 16
LOG_MAGIC = b"TWFL"
FRAME_MAGIC = b"TWR1"
MAX_RECORD_LEN = 536870912
# The fixed payload bytes of each record kind, the tag included.
PAYLOAD_SIZES = {1: 21, 2: 9, 3: 21, 4: 13, 5: 9}
ENQUEUE, ACK, LEASE, REQUEUE, DEAD = 1, 2, 3, 4, 5

DEAD_LETTER_MAGIC = b"TWDL"
# magic, version, original seq, deliveries, enqueued ms, died ms, reason length
DEAD_LETTER_HEADER = struct.Struct("<4sBQIQQI")


@dataclass
class LoggedMessage:
    seq: int
    body: bytes
    enqueued_ms: int
    deliveries: int = 0
    deadline_ms: Optional[int] = None  # set while a LEASE is the latest word on it


@dataclass
class DecodedLog:
    """The queue a log describes, read from its longest intact prefix."""

    generation: int
    size: int
    clean_end: int  # where the intact frames end; the file is cut back to it on open
    records: int
    messages: Dict[int, LoggedMessage] = field(default_factory=dict)
    next_seq: int = 0
    enqueued_total: int = 0
    acked_total: int = 0
    requeued_total: int = 0
    dead_total: int = 0


def _decodes(payload: bytes) -> bool:
    if not payload or payload[0] not in PAYLOAD_SIZES or len(payload) < PAYLOAD_SIZES[payload[0]]:
        return False
    return payload[0] != ENQUEUE or len(payload) >= 21 + struct.unpack_from("<I", payload, 17)[0]


def decode_log(data: bytes) -> DecodedLog:
    """Replays a format-1 log the way the documentation says a reader must."""
    if len(data) < HEADER_LEN or data[:4] != LOG_MAGIC:
        raise ValueError("not a format-1 queue log")
    (generation,) = struct.unpack_from("<Q", data, 8)
    out = DecodedLog(generation=generation, size=len(data), clean_end=HEADER_LEN, records=0)
    pos = HEADER_LEN
    while len(data) - pos >= 12 and data[pos:pos + 4] == FRAME_MAGIC:
        length, crc = struct.unpack_from("<II", data, pos + 4)
        payload = data[pos + 12:pos + 12 + length]
        if length > MAX_RECORD_LEN or len(payload) < length or zlib.crc32(payload) != crc:
            break
        if not _decodes(payload):
            break
        _apply(out, payload)
        out.records += 1
        pos += 12 + length
    out.clean_end = pos
    return out


def _apply(log: DecodedLog, payload: bytes) -> None:
    tag = payload[0]
    (seq,) = struct.unpack_from("<Q", payload, 1)
    if tag == ENQUEUE:
        ts, length = struct.unpack_from("<QI", payload, 9)
        log.messages[seq] = LoggedMessage(seq, bytes(payload[21:21 + length]), ts)
        log.next_seq = max(log.next_seq, seq + 1)
        log.enqueued_total += 1
        return
    message = log.messages.get(seq)
    if message is None:
        return
    if tag in (ACK, DEAD):
        del log.messages[seq]
        if tag == ACK:
            log.acked_total += 1
        else:
            log.dead_total += 1
    elif tag == LEASE:
        message.deadline_ms, message.deliveries = struct.unpack_from("<QI", payload, 9)
    else:
        (message.deliveries,) = struct.unpack_from("<I", payload, 9)
        message.deadline_ms = None
        log.requeued_total += 1


def encode_dead_letter(original_id: int, deliveries: int, enqueued_ms: int, died_ms: int,
                       reason: bytes, body: bytes) -> bytes:
    return DEAD_LETTER_HEADER.pack(DEAD_LETTER_MAGIC, 1, original_id, deliveries, enqueued_ms,
                                   died_ms, len(reason)) + reason + body


def decode_dead_letter(entry: bytes) -> dict:
    """A dead-letter entry's fields; raises ValueError for anything else."""
    if len(entry) < DEAD_LETTER_HEADER.size:
        raise ValueError("too short for a dead letter")
    magic, version, original, deliveries, enqueued, died, reason_len = \
        DEAD_LETTER_HEADER.unpack_from(entry)
    if magic != DEAD_LETTER_MAGIC or version != 1:
        raise ValueError("not a dead letter of version 1")
    start = DEAD_LETTER_HEADER.size
    return dict(original_id=original, deliveries=deliveries, enqueued_ms=enqueued,
                died_ms=died, reason=entry[start:start + reason_len].decode("utf-8"),
                body_hex=entry[start + reason_len:].hex())


def file_digests(directory: str) -> Dict[str, str]:
    """The sha256 of every file below `directory`, by relative path."""
    return {path: hashlib.sha256(data).hexdigest()
            for path, data in sorted(file_bytes(directory).items())}


def file_bytes(directory: str) -> Dict[str, bytes]:
    """The bytes of every file below `directory`, by relative path."""
    out = {}
    for root, _, names in os.walk(directory):
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                out[os.path.relpath(path, directory)] = f.read()
    return out


def read(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def live_letters(dead_log: DecodedLog) -> List[dict]:
    """The dead letters a dead-letter log holds, oldest first."""
    return [dict(id=seq, **decode_dead_letter(m.body))
            for seq, m in sorted(dead_log.messages.items())]
