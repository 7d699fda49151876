"""Writes a seed corpus of valid and slightly damaged logs for the fuzzer."""

import os
import struct
import sys
import zlib


def frame(payload):
    return b"TWR1" + struct.pack("<II", len(payload), zlib.crc32(payload)) + payload


def flip(data, at, mask=0x10):
    return data[:at] + bytes([data[at] ^ mask]) + data[at + 1:]


def header(generation=0):
    return b"TWFL" + struct.pack("<IQ", 1, generation)


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
        "unknown-tag": header() + enq(0, b"a") + frame(b"\x09" + bytes(8)),
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
