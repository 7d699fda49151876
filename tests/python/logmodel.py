"""An independent reader of queue.log and a replay model of the queue state,
used to check what the module rebuilds from damaged logs."""

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


def scan(data, decode):
    """Returns (frames, end, clean): the intact frames as (offset, payload),
    the offset where reading stopped, and whether the log ended cleanly."""
    frames, pos = [], 16
    while True:
        if pos == len(data):
            return frames, pos, True
        if len(data) - pos < 12 or data[pos : pos + 4] != b"TWR1":
            return frames, pos, False
        length, crc = struct.unpack_from("<II", data, pos + 4)
        payload = data[pos + 12 : pos + 12 + length]
        if length > MAX_RECORD_LEN or len(payload) < length or zlib.crc32(payload) != crc:
            return frames, pos, False
        if decode and not decodes(payload):
            return frames, pos, False
        frames.append((pos, payload))
        pos += 12 + length


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


def replay(data):
    """The model of the longest intact, decodable prefix of a log."""
    model = Model()
    frames, end, _ = scan(data, decode=True)
    for _, payload in frames:
        model.apply(payload)
    return model, end
