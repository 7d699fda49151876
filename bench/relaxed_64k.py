#!/usr/bin/env python3
"""The relaxed 64 KiB enqueue beside raw writes of frames of the same size.

    python bench/relaxed_64k.py [--rounds 5] [--count 3000] [--dir /var/tmp]

Each round writes COUNT frames of 65,569 bytes (a 64 KiB body's frame, as
misaligned to pages as the log's) with os.write to a file opened O_APPEND,
then enqueues COUNT 64 KiB bodies into a new TarnwickCore queue with no sync
during the run; each on a fresh directory, with os.sync() between them so
that one's writeback does not slow the other. Prints records per second of
each and their ratio per round.
"""

import argparse
import os
import shutil
import tempfile
import time

from tarnwick import TarnwickCore

FRAME_BYTES = 65_569   # 12 bytes of frame header, 21 of ENQUEUE fields, the body
BODY = os.urandom(65_536)
FRAME = os.urandom(FRAME_BYTES)


def raw_writes(directory: str, count: int) -> float:
    fd = os.open(os.path.join(directory, "raw"), os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    try:
        start = time.perf_counter()
        for _ in range(count):
            os.write(fd, FRAME)
        return count / (time.perf_counter() - start)
    finally:
        os.close(fd)


def relaxed_enqueues(directory: str, count: int) -> float:
    queue = TarnwickCore(os.path.join(directory, "q"), sync_interval_ms=10**9)
    start = time.perf_counter()
    for _ in range(count):
        queue.enqueue(BODY)
    return count / (time.perf_counter() - start)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--count", type=int, default=3000)
    parser.add_argument("--dir", default="/var/tmp")
    args = parser.parse_args()
    print(f"load average before: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    for round_no in range(1, args.rounds + 1):
        rates = []
        for case in (raw_writes, relaxed_enqueues):
            directory = tempfile.mkdtemp(dir=args.dir)
            try:
                rates.append(case(directory, args.count))
            finally:
                shutil.rmtree(directory)
            os.sync()
        print(f"round {round_no}: raw writes {rates[0]:,.0f}/s, relaxed enqueue "
              f"{rates[1]:,.0f}/s, ratio {rates[1] / rates[0]:.2f}")
    print(f"load average after: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
