"""Every method, called many times with good and bad arguments, must not leak
memory or references."""

import gc
import os
import sys

import pytest

from tarnwick import TarnwickCore

STATM = "/proc/self/statm"
# A sanitizer's allocator holds freed memory back on purpose, so resident
# size says nothing about leaks there; reference counts still do.
MEASURE_RSS = os.path.exists(STATM) and not os.environ.get("TARNWICK_SANITIZED")


def rss_bytes():
    if not MEASURE_RSS:
        return 0
    with open(STATM) as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


BAD_CALLS = [
    ("enqueue", ("text",)),
    ("enqueue", ([1, 256],)),
    ("enqueue_batch", ([b"ok", 5],)),
    ("dequeue", (-1,)),
    ("dequeue_batch", (1.5,)),
    ("ack", ("1",)),
    ("ack_batch", ([1, None],)),
    ("nack", (1, None)),
    ("extend_lease", (1, 2, 3)),
]


def one_round(q, body, bodies):
    seq = q.enqueue(body)
    q.enqueue_batch(bodies)
    q.dequeue(lease_ms=60_000)
    q.extend_lease(seq, lease_ms=60_000)
    q.dequeue_batch(2, lease_ms=0)
    q.available()
    q.in_flight()
    q.stats()
    q.nack(seq + 1)
    q.nack(seq + 2, requeue=False)
    q.ack(seq)
    q.ack_batch([seq + 1, seq + 2])
    q.verify_integrity()
    for name, args in BAD_CALLS:
        try:
            getattr(q, name)(*args)
        except (TypeError, OverflowError):
            pass


def test_memory_queue_methods_do_not_leak():
    q = TarnwickCore(":memory:")
    body, bodies = b"x" * 100, [b"a" * 50, b"b" * 50]
    counts = (sys.getrefcount(body), sys.getrefcount(bodies))
    for _ in range(20_000):
        one_round(q, body, bodies)
    q.flush()
    q.compact()
    q.purge()
    gc.collect()
    before = rss_bytes()
    for i in range(100_000):
        one_round(q, body, bodies)
        if i % 1000 == 0:
            q.flush()
            q.compact()
            q.purge()
    gc.collect()
    grown = rss_bytes() - before
    assert (sys.getrefcount(body), sys.getrefcount(bodies)) == counts
    assert q.stats()["total"] == 0
    assert grown < 1 << 20, f"RSS grew by {grown} bytes over 100000 rounds"


def test_disk_queue_methods_do_not_leak(tmp_path):
    q = TarnwickCore(str(tmp_path / "q"), sync_interval_ms=10**9, auto_compact_bytes=1 << 16)
    body, bodies = b"y" * 100, [b"c" * 50, b"d" * 50]
    for _ in range(3000):
        one_round(q, body, bodies)
    gc.collect()
    before = rss_bytes()
    for i in range(20_000):
        one_round(q, body, bodies)
        if i % 2000 == 0:
            q.flush()
            q.purge()
    gc.collect()
    grown = rss_bytes() - before
    assert q.verify_integrity()["ok"]
    assert grown < 1 << 20, f"RSS grew by {grown} bytes over 20000 rounds"


def test_results_hold_no_extra_references():
    # Counted outside the asserts: pytest's assertion rewriting keeps
    # references to the values inside an assert statement.
    q = TarnwickCore(":memory:")
    q.enqueue(b"payload")
    message = q.dequeue()
    counts = [sys.getrefcount(message), sys.getrefcount(message[1])]
    stats = q.stats()
    counts.append(sys.getrefcount(stats))
    batch = q.dequeue_batch(1)
    counts.append(sys.getrefcount(batch))
    assert counts == [2, 2, 2, 2]
