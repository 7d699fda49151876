"""Writes a seed corpus of valid and slightly damaged logs for the fuzzer."""

import os
import struct
import sys
import zlib


def frame(payload):
    return b"TWR1" + struct.pack("<II", len(payload), zlib.crc32(payload)) + payload


def flip(data, at, mask=0x10):
    return data[:at] + bytes([data[at] ^ mask]) + data[at + 1:]


def header(generation=0, format=1):
    magic = b"TWFL" if format == 1 else b"TWF" + str(format).encode()
    return magic + struct.pack("<IQ", format, generation)


def text(value):
    return struct.pack("<B", len(value)) + value


def enq2(seq, body, priority=0, key=b"", unique_for=0, group=b"", headers=b""):
    """Format 2's ENQUEUE with options."""
    return frame(struct.pack("<BQQbQ", 6, seq, 1700000000000, priority, unique_for) + text(key)
                 + text(group) + struct.pack("<I", len(headers)) + headers
                 + struct.pack("<I", len(body)) + body)


def schedule(name, state=None, puts=()):
    """Format 4's SCHEDULE: a state (None: removed) and the (seq, body, key) it puts."""
    payload = struct.pack("<B", 12) + text(name) + struct.pack(
        "<BI", 0 if state is None else 1, 0 if state is None else len(state)) + (state or b"")
    payload += struct.pack("<I", len(puts))
    for seq, body, key in puts:
        payload += (struct.pack("<QQbQ", seq, 1700000000000, 0, 0) + text(key) + text(b"")
                    + struct.pack("<I", 0) + struct.pack("<I", len(body)) + body)
    return frame(payload)


def main(out):
    os.makedirs(out, exist_ok=True)
    enq = lambda seq, body: frame(struct.pack("<BQQI", 1, seq, 1700000000000, len(body)) + body)
    lease = lambda seq, d: frame(struct.pack("<BQQI", 3, seq, 2**40, d))
    # With the trailing fields: started, extensions, then the consumer.
    held = lambda seq, d, who: frame(struct.pack("<BQQIQIB", 3, seq, 2**40, d, 1700000000000, 2,
                                                 len(who)) + who)
    requeue = lambda seq, d: frame(struct.pack("<BQI", 4, seq, d))
    ack = lambda seq: frame(struct.pack("<BQ", 2, seq))
    dead = lambda seq: frame(struct.pack("<BQ", 5, seq))
    full = header(3) + enq(0, b"hi") + enq(1, b"x" * 100) + lease(0, 1) + requeue(0, 1) \
        + lease(0, 2) + ack(1) + enq(2, b"") + dead(2) + enq(7, b"seven")
    seeds = {
        "empty": header(),
        "one": header() + enq(0, b"hello"),
        "full": full,
        "torn": full[:-3],
        "short": full[:10],
        "held": header() + enq(0, b"a") + held(0, 1, b"host:42") + held(0, 1, b"")
        + held(0, 1, b"x" * 64),
        # A whole frame whose consumer is shorter than its length says.
        "held-short-consumer": header() + enq(0, b"a")
        + frame(struct.pack("<BQQIQIB", 3, 0, 2**40, 1, 1700000000000, 0, 10) + b"abc"),
        # A kind no format has (kinds are numbered from 1 up as formats grow).
        "unknown-tag": header() + enq(0, b"a") + frame(b"\xff" + bytes(8)),
        # Format 2: every new kind, a delay's LEASE, groups under a limit.
        "format-2": header(1, 2) + frame(struct.pack("<BBI", 8, 0, 2))
        + enq2(0, b"a", 5, b"key", 60000, b"g", b'{"h":"v"}') + enq2(1, b"b", group=b"g")
        + enq2(2, b"c", group=b"g") + enq(3, b"plain") + enq2(4, b"low", -7)
        + lease(0, 1) + lease(1, 1) + frame(struct.pack("<BQQIB", 3, 2, 2**40, 0, 1))
        + ack(0) + frame(struct.pack("<BQQB", 9, 0, 2**41, 3) + b"key")
        + frame(struct.pack("<BQ", 7, 4)) + frame(struct.pack("<BBI", 8, 1, 1)) + requeue(1, 1),
        "format-2-torn": (header(1, 2) + enq2(0, b"a", 5, b"k", 1, b"g", b"h"))[:-2],
        "format-2-middle": flip(header(0, 2) + enq2(0, b"body", 1, b"k") + enq2(1, b"next", 2)
                                + frame(struct.pack("<BQ", 7, 1)), 16 + 12 + 30),
        # Format 4: a schedule set with two messages, changed, removed.
        "format-4": header(0, 4) + enq(0, b"a")
        + schedule(b"nightly", b"s1", [(1, b"fired", b"nightly:1"), (2, b"also", b"")])
        + schedule(b"nightly", b"s2") + schedule(b"other", b"") + lease(1, 1) + ack(1)
        + schedule(b"other"),
        "format-4-torn": (header(0, 4) + schedule(b"n", b"s", [(0, b"body", b"k")]))[:-3],
        # Format 5: frames over zeros written ahead; torn over them; a frame
        # standing after zeros (what a power cut may leave of unsynced writes).
        "format-5": header(0, 5) + enq(0, b"a") + lease(0, 1) + enq(1, b"b") + bytes(300),
        "format-5-torn": header(0, 5) + enq(0, b"a") + enq(1, b"b" * 40)[:30] + bytes(300),
        "format-5-stale": header(0, 5) + enq(0, b"a") + bytes(45) + enq(1, b"b") + ack(0)
        + bytes(200),
        # Damage in the middle, with intact frames after it: resynchronised.
        "middle-crc": flip(full, 16 + 35 + 20),
        "middle-length": flip(full, 16 + 35 + 5),
        "middle-magic": flip(full, 16 + 35 + 1),
        "middle-zeroed": full[:40] + bytes(60) + full[100:],
        "middle-and-torn": flip(full, 16 + 35 + 20)[:-3],
        "torn-body-with-frames": header() + enq(0, b"a")
        + enq(1, enq(5, b"inside") + ack(0) + enq(6, b"also"))[:-4],
    }
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main(sys.argv[1])
