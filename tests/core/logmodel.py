"""An independent reader of queue.log (resynchronising after damage in the
middle as the engine does) and a replay model of the queue state, used to
check what the module rebuilds from damaged logs."""

import struct
import zlib

MAX_RECORD_LEN = 536870912
SIZES = {1: 21, 2: 9, 3: 21, 4: 13, 5: 9}


def decodes(payload):
    if not payload or payload[0] not in SIZES:
        return False
    if len(payload) < SIZES[payload[0]]:
        return False
    if payload[0] == 1:
        return len(payload) >= 21 + struct.unpack_from("<I", payload, 17)[0]
    return True


def frame_length(data, pos):
    """The length of the frame at `pos` when its framing and CRC check, else None."""
    if len(data) - pos < 12 or data[pos : pos + 4] != b"TWR1":
        return None
    length, crc = struct.unpack_from("<II", data, pos + 4)
    payload = data[pos + 12 : pos + 12 + length]
    if length > MAX_RECORD_LEN or len(payload) < length or zlib.crc32(payload) != crc:
        return None
    return 12 + length


def _resumes(data, pos, model):
    """Whether a frame as the engine writes it, continuing `model`, is at `pos`."""
    if pos > len(data) or frame_length(data, pos) is None:
        return False
    length = struct.unpack_from("<I", data, pos + 4)[0]
    payload = data[pos + 12 : pos + 12 + length]
    if len(payload) < 9 or payload[0] not in SIZES:
        return False
    tag, seq = payload[0], struct.unpack_from("<Q", payload, 1)[0]
    if tag == 1:
        if len(payload) < 21 or length != 21 + struct.unpack_from("<I", payload, 17)[0]:
            return False
    elif length != SIZES[tag]:
        return False
    unseen = seq >= model.next_seq
    return unseen if tag == 1 else unseen or seq in model.messages


def _run_end(data, pos):
    while pos < len(data):
        n = frame_length(data, pos)
        if n is None:
            return pos
        pos += n
    return pos


def next_frame(data, at, model):
    """Where intact frames go on after damage at `at`, or None (a torn tail)."""
    end, torn = len(data), False
    if end - at >= 12:
        length, crc = struct.unpack_from("<II", data, at + 4)
        if length <= MAX_RECORD_LEN:
            following = at + 12 + length
            if following == end:
                return None
            if following < end:
                if _resumes(data, following, model):
                    start = at + 12
                    while True:
                        found = data.find(b"TWR1", start)
                        if found < 0 or found >= following:
                            return following
                        if _resumes(data, found, model) and zlib.crc32(data[at + 12 : found]) == crc:
                            return found
                        start = found + 1
            else:
                torn = data[at : at + 4] == b"TWR1"
    start = at + 1
    while True:
        found = data.find(b"TWR1", start)
        if found < 0:
            return None
        if not _resumes(data, found, model):
            start = found + 1
        elif not torn:
            return found
        else:
            run = _run_end(data, found)
            if run == end:
                return found
            start = run + 1


class Scan:
    """A log read as the engine reads it: the intact frames as (offset,
    payload), the damaged ranges (offset, bytes) with intact frames after
    them, a torn tail (offset, bytes) or None, and the replayed model."""

    def __init__(self, data, decode):
        self.model, self.frames, self.skipped, self.tail = Model(), [], [], None
        self.before_damage = None  # frames before the first damage
        pos = 16
        while pos < len(data):
            n = frame_length(data, pos)
            if n is not None:
                payload = data[pos + 12 : pos + n]
                if decodes(payload):
                    self.model.apply(payload)
                if decodes(payload) or not decode:
                    self.frames.append((pos, payload))
                    pos += n
                    continue
            if self.before_damage is None:
                self.before_damage = len(self.frames)
            following = next_frame(data, pos, self.model)
            if following is None:
                self.tail = (pos, len(data) - pos)
                break
            self.skipped.append((pos, following - pos))
            pos = following
        if self.before_damage is None:
            self.before_damage = len(self.frames)

    @property
    def clean(self):
        return not self.skipped and self.tail is None

    @property
    def first_damage(self):
        return self.skipped[0][0] if self.skipped else self.tail[0]


def scan(data, decode):
    """Returns (frames, end, clean) of the frames before the first damage:
    the intact frames as (offset, payload), the offset where the first
    damage begins (the end when clean), and whether the log ended cleanly."""
    read = Scan(data, decode)
    frames = read.frames[: read.before_damage]
    return frames, len(data) if read.clean else read.first_damage, read.clean


class Model:
    """The queue state as the records describe it."""

    def __init__(self):
        self.messages = {}  # seq -> [body, deliveries]
        self.in_flight = {}  # seq -> deadline
        self.next_seq = 0
        self.counters = dict(enqueued_total=0, acked_total=0, requeued_total=0, dead_total=0)

    def apply(self, payload):
        tag = payload[0]
        seq = struct.unpack_from("<Q", payload, 1)[0]
        if tag == 1:
            (length,) = struct.unpack_from("<I", payload, 17)
            self.next_seq = max(self.next_seq, seq + 1)
            self.messages[seq] = [bytes(payload[21 : 21 + length]), 0]
            self.counters["enqueued_total"] += 1
        elif seq not in self.messages:
            return
        elif tag in (2, 5):
            del self.messages[seq]
            self.in_flight.pop(seq, None)
            self.counters["acked_total" if tag == 2 else "dead_total"] += 1
        elif tag == 3:
            deadline, deliveries = struct.unpack_from("<QI", payload, 9)
            self.messages[seq][1] = deliveries
            self.in_flight[seq] = deadline
        else:
            self.messages[seq][1] = struct.unpack_from("<I", payload, 9)[0]
            self.in_flight.pop(seq, None)
            self.counters["requeued_total"] += 1

    def reclaim(self, now_ms):
        """Requeues expired leases; returns how many (each appends a REQUEUE)."""
        expired = [s for s, deadline in self.in_flight.items() if deadline <= now_ms]
        for seq in expired:
            del self.in_flight[seq]
            self.counters["requeued_total"] += 1
        return len(expired)

    def ready(self):
        return sorted(s for s in self.messages if s not in self.in_flight)

    def live_bytes(self):
        return sum(len(body) + 33 for body, _ in self.messages.values())


def compacted_size(model):
    """The length of the log that compaction writes for `model`."""
    size = 16
    for seq, (body, deliveries) in model.messages.items():
        size += 33 + len(body) + (25 if deliveries else 0) + (33 if seq in model.in_flight else 0)
    return size


def replay(data):
    """The model of a log as an open rebuilds it, and the log's length after
    the open: a torn tail is cut; damage with intact frames after it is
    skipped and the log rewritten (compacted) as the next generation."""
    read = Scan(data, decode=True)
    if read.skipped:
        return read.model, compacted_size(read.model)
    return read.model, len(data) if read.tail is None else read.tail[0]
