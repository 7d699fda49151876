"""The message life cycle as Python sees it: leasing, settling, redelivery,
compaction and what other objects and processes observe."""

import os
import struct
import time

import pytest

from interpreters import run_python, start_python
from tarnwick import TarnwickCore


def test_delivery_order_and_redelivery(queue):
    seqs = [queue.enqueue(b"m%d" % i) for i in range(3)]
    assert seqs == [0, 1, 2]
    first = queue.dequeue()
    assert first[:3] == (0, b"m0", 1)
    assert queue.dequeue()[:3] == (1, b"m1", 1)
    assert queue.nack(0) is True
    again = queue.dequeue()
    assert again[:3] == (0, b"m0", 2)
    assert again[3] == first[3]  # the enqueue time travels with the message
    assert queue.dequeue()[0] == 2
    assert queue.dequeue() is None


def test_expired_lease_is_reclaimed_before_larger_seqs(queue):
    queue.enqueue(b"a")
    queue.enqueue(b"b")
    assert queue.dequeue(lease_ms=0)[:3] == (0, b"a", 1)
    assert queue.in_flight() == 1  # no reclaim yet
    assert queue.dequeue()[:3] == (0, b"a", 2)
    assert queue.stats()["requeued_total"] == 1


def test_result_types(queue):
    queue.enqueue(bytearray(b"xy"))
    seq, body, deliveries, ts = queue.dequeue(None)
    assert type(seq) is int and type(body) is bytes and type(deliveries) is int
    assert abs(ts - time.time() * 1000) < 60_000
    assert queue.dequeue_batch(5) == []
    assert queue.ack(seq) is True and queue.ack(seq) is False


def test_empty_body_round_trip(queue):
    queue.enqueue(b"")
    queue.enqueue([])
    assert [m[1] for m in queue.dequeue_batch(10)] == [b"", b""]


def test_dequeue_batch_shares_one_deadline_and_order(queue):
    for i in range(3):
        queue.enqueue(bytes([i]))
    got = queue.dequeue_batch(10, lease_ms=60_000)
    assert [m[0] for m in got] == [0, 1, 2]
    assert [m[1] for m in got] == [b"\x00", b"\x01", b"\x02"]
    assert queue.dequeue_batch(0) == []
    assert queue.in_flight() == 3 and queue.available() == 0


def test_extend_lease_cases(queue):
    queue.enqueue(b"a")
    queue.enqueue(b"b")
    assert queue.extend_lease(0) is False  # ready, not leased
    assert queue.extend_lease(99) is False  # never enqueued
    seq = queue.dequeue(lease_ms=0)[0]
    # expired but not reclaimed: still renewable, and the count stays
    assert queue.extend_lease(seq, lease_ms=60_000) is True
    assert queue.dequeue()[:3] == (1, b"b", 1)
    assert queue.available() == 0 and queue.in_flight() == 2
    # shortening works too
    assert queue.extend_lease(seq, lease_ms=0) is True
    assert queue.dequeue()[:3] == (seq, b"a", 2)
    queue.ack(seq)
    assert queue.extend_lease(seq) is False


def test_settling_counts(queue):
    for i in range(5):
        queue.enqueue(b"x")
    assert queue.ack_batch([3, 3, 99]) == 1
    assert queue.nack(4, requeue=False) is True
    assert queue.nack(4) is False
    assert queue.nack(1) is True  # a ready message stays where it was
    assert queue.dequeue()[0] == 0
    stats = queue.stats()
    assert (stats["acked_total"], stats["dead_total"], stats["requeued_total"]) == (1, 1, 1)
    assert stats["total"] == 3 and stats["live_bytes"] == 3 * 34


def test_ack_of_unleased_message_removes_it(queue):
    queue.enqueue(b"x")
    assert queue.ack(0) is True
    assert queue.dequeue() is None
    assert queue.ack(12345) is False


# --- on-disk behaviour across objects and processes ---


def frames(path):
    """(offset, tag, payload) of every frame in a log."""
    data = open(path, "rb").read()
    out, pos = [], 16
    while pos < len(data):
        length = struct.unpack_from("<I", data, pos + 4)[0]
        out.append((pos, data[pos + 12], data[pos + 12 : pos + 12 + length]))
        pos += 12 + length
    return out


def test_second_object_sees_leases_and_acks(tmp_path):
    path = str(tmp_path / "q")
    a, b = TarnwickCore(path), TarnwickCore(path)
    a.enqueue(b"one")
    a.enqueue(b"two")
    assert b.available() == 2
    assert a.dequeue(lease_ms=60_000)[0] == 0
    assert b.dequeue(lease_ms=60_000)[:2] == (1, b"two")
    assert b.ack(0) is True and a.ack(0) is False
    assert a.stats()["total"] == 1


def test_compaction_rewrites_live_messages(tmp_path):
    path = str(tmp_path / "q")
    log = os.path.join(path, "queue.log")
    q = TarnwickCore(path, auto_compact_bytes=0)
    other = TarnwickCore(path)
    for body in (b"aaaa", b"bb", b"c", b"dddddd"):
        q.enqueue(body)
    q.ack(0)
    q.dequeue(lease_ms=0)  # seq 1, deliveries 1
    q.available()  # reclaimed: ready with deliveries 1
    q.dequeue(lease_ms=600_000)  # seq 1 again, deliveries 2, leased
    generation = q.stats()["generation"]
    q.compact()
    # seq 1: ENQUEUE + REQUEUE + LEASE; seqs 2 and 3: ENQUEUE only
    expected = 16 + (33 + 2 + 25 + 33) + (33 + 1) + (33 + 6)
    assert os.path.getsize(log) == expected
    assert [(f[1], struct.unpack_from("<Q", f[2], 1)[0]) for f in frames(log)] == [
        (1, 1), (4, 1), (3, 1), (1, 2), (1, 3)]
    stats = q.stats()
    assert (stats["generation"], stats["log_bytes"]) == (generation + 1, expected)
    assert other.stats()["generation"] == generation + 1
    assert other.stats()["log_bytes"] == expected
    assert [m[1] for m in q.dequeue_batch(5)] == [b"c", b"dddddd"]
    assert other.nack(1) is True
    assert q.dequeue()[:3] == (1, b"bb", 3)
    assert q.verify_integrity()["ok"] is True


def test_compaction_of_empty_queue(tmp_path):
    path = str(tmp_path / "q")
    q = TarnwickCore(path)
    q.enqueue(b"x")
    q.ack(0)
    q.compact()
    assert q.stats()["log_bytes"] == 16
    assert q.stats()["generation"] == 1
    # The compacting object keeps counting; a state rebuilt from the new log
    # only knows the live messages, so the id is handed out again.
    assert TarnwickCore(path).enqueue(b"y") == 0
    assert q.enqueue(b"z") == 1


@pytest.mark.parametrize(
    "threshold, body_len, acks, compacts",
    [
        (1000, 100, 7, True),  # at the fifth ack 665 live bytes are under half of 1451
        (1000, 100, 3, False),  # 931 live bytes of a 1409-byte log
        (0, 100, 10, False),  # automatic compaction off
        (100_000, 100, 10, False),  # below the threshold
    ],
)
def test_automatic_compaction_rule(tmp_path, threshold, body_len, acks, compacts):
    q = TarnwickCore(str(tmp_path / "q"), auto_compact_bytes=threshold)
    for _ in range(10):
        q.enqueue(b"x" * body_len)
    for seq in range(acks):
        q.ack(seq)
    assert (q.stats()["generation"] == 1) is compacts


def test_requeue_never_compacts(tmp_path):
    q = TarnwickCore(str(tmp_path / "q"), auto_compact_bytes=100)
    q.enqueue(b"x" * 200)
    for _ in range(20):
        q.nack(0)
    assert q.stats()["generation"] == 0
    q.nack(0, requeue=False)
    assert q.stats()["generation"] == 1


def test_compaction_blocked_by_directory_at_temp_name(tmp_path):
    path = tmp_path / "q"
    q = TarnwickCore(str(path))
    q.enqueue(b"x")
    before = (path / "queue.log").read_bytes()
    (path / "queue.compact.tmp").mkdir()
    with pytest.raises(OSError) as info:
        q.compact()
    assert info.value.args[0].startswith("Tarnwick I/O error: ")
    assert (path / "queue.log").read_bytes() == before
    assert q.dequeue()[1] == b"x"


def test_body_enqueued_by_another_process_after_mapping(tmp_path):
    path = str(tmp_path / "q")
    q = TarnwickCore(path)
    q.enqueue(b"first")
    assert q.dequeue()[1] == b"first"  # the log is mapped now
    run_python(
        """
        import sys
        from tarnwick import TarnwickCore
        TarnwickCore(sys.argv[1]).enqueue(b"from another process" * 100)
        """,
        path,
    )
    assert q.dequeue()[1] == b"from another process" * 100


def test_two_consumer_processes_never_share_a_lease(tmp_path):
    path = str(tmp_path / "q")
    q = TarnwickCore(path, sync_interval_ms=1000)
    total = 400
    q.enqueue_batch([b"%d" % i for i in range(total)])
    consumer = """
        import sys
        from tarnwick import TarnwickCore
        q = TarnwickCore(sys.argv[1], sync_interval_ms=1000)
        got = []
        while (m := q.dequeue(lease_ms=600000)) is not None:
            assert m[1] == b"%d" % m[0]
            got.append(m[0])
        print(" ".join(map(str, got)))
    """
    procs = [start_python(consumer, path) for _ in range(2)]
    outs = [p.communicate(timeout=120)[0].split() for p in procs]
    assert all(p.returncode == 0 for p in procs)
    leased = [int(s) for out in outs for s in out]
    assert sorted(leased) == list(range(total))
    assert q.in_flight() == total


@pytest.mark.parametrize("closing", ["0-2 before opening", "2 after opening"])
def test_process_without_standard_streams_keeps_its_log_clean(tmp_path, closing):
    """A daemon that closed its standard streams: no queue file may take
    descriptor 2, or the warning a catch-up writes to standard error lands in
    the log (at open, or when compaction reopens the log)."""
    path = tmp_path / "q"
    result = tmp_path / "result"
    run_python(
        """
        import os, sys
        from tarnwick import TarnwickCore
        path, result, closing = sys.argv[1:]
        def tear_and_catch_up(q):
            with open(os.path.join(path, "queue.log"), "ab") as f:
                f.write(b"TWR1\x09")  # a torn frame another writer left
            q.available()  # cuts it, with a warning on the closed standard error
        if closing.startswith("0-2"):
            for fd in (0, 1, 2):
                os.close(fd)
        q = TarnwickCore(path)
        if closing.startswith("2 "):
            os.close(2)
        q.enqueue(b"first")
        q.enqueue(b"second")
        tear_and_catch_up(q)
        q.enqueue(b"between")
        reports = [q.verify_integrity()]
        q.ack(0)
        q.compact()
        tear_and_catch_up(q)
        q.enqueue(b"third")
        reports.append(q.verify_integrity())
        bodies = [m[1] for m in q.dequeue_batch(10)]
        with open(result, "w") as f:
            f.write(repr(([(r["ok"], r["records"]) for r in reports], bodies)))
        """,
        path,
        result,
        closing,
    )
    assert result.read_text() == repr(([(True, 3), (True, 3)], [b"second", b"between", b"third"]))
    assert TarnwickCore(str(path)).verify_integrity()["ok"]


def test_links_at_temporary_names_are_not_followed(tmp_path):
    path = tmp_path / "q"
    victim = tmp_path / "victim"
    victim.write_bytes(b"precious")
    q = TarnwickCore(str(path))
    q.enqueue(b"x")
    for name, op in (("queue.compact.tmp", q.compact), ("queue.purge.tmp", q.purge)):
        (path / name).symlink_to(victim)
        op()
        assert victim.read_bytes() == b"precious"
        assert not (path / name).is_symlink() and not (path / name).exists()
        assert not (path / "queue.log").is_symlink()
    assert q.verify_integrity()["ok"] and q.stats()["total"] == 0

