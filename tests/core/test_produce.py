import errno
import fcntl
import json
import os
import struct
import time
import zlib

import pytest

from interpreters import NO_SYNC_MS, run_python, start_python
from tarnwick import TarnwickCore

STATS_KEYS = [
    "ready", "in_flight", "total", "enqueued_total", "acked_total", "requeued_total",
    "dead_total", "next_seq", "live_bytes", "log_bytes", "generation", "persistent",
]
BAD_MAGIC = "Tarnwick I/O error: queue.log has bad magic (not a Tarnwick log)"


def test_seqs_start_at_zero(queue):
    assert [queue.enqueue(b"a"), queue.enqueue(b"b")] == [0, 1]
    assert type(queue.enqueue(b"c")) is int


def test_batch_gets_consecutive_seqs_and_one_timestamp(queue):
    for _ in range(5):
        queue.enqueue(b"pad")
    queue.ack_batch(range(5))
    before = queue.stats()["live_bytes"]
    assert queue.enqueue_batch([b"a", b"b", b"c"]) == [5, 6, 7]
    assert queue.stats()["live_bytes"] - before == 34 * 3
    delivered = queue.dequeue_batch(10)
    assert [m[0] for m in delivered] == [5, 6, 7]
    assert len({m[3] for m in delivered}) == 1
    assert all(type(v) is int for m in delivered for v in (m[0], m[2], m[3]))


@pytest.mark.parametrize("n", [0, 1, 100, 70000])
def test_live_bytes_is_body_plus_33(queue, n):
    queue.enqueue(bytes(n))
    assert queue.stats()["live_bytes"] == n + 33


def test_bad_item_in_batch_writes_nothing(queue):
    queue.enqueue(b"first")
    before = queue.stats()
    with pytest.raises(TypeError):
        queue.enqueue_batch([b"a", "b"])
    with pytest.raises(OverflowError):
        queue.enqueue_batch([b"a", [1, 2, 999]])
    assert queue.stats() == before
    assert queue.enqueue(b"next") == 1


def test_empty_batches_touch_nothing(queue):
    before = queue.stats()
    assert queue.enqueue_batch([]) == []
    assert queue.enqueue_batch(()) == []
    assert queue.ack_batch([]) == 0
    assert queue.stats() == before


def test_stats_of_fresh_memory_queue(mem_queue):
    stats = mem_queue.stats()
    assert list(stats) == STATS_KEYS
    assert stats == dict.fromkeys(STATS_KEYS, 0) | {"log_bytes": 16, "persistent": False}
    assert type(stats["persistent"]) is bool
    assert mem_queue.available() == 0 and mem_queue.in_flight() == 0


def test_counts_after_a_lease(queue):
    queue.enqueue_batch([b"1", b"2", b"3"])
    queue.dequeue(lease_ms=60_000)
    assert (queue.available(), queue.in_flight()) == (2, 1)
    stats = queue.stats()
    assert list(stats) == STATS_KEYS
    assert {k: stats[k] for k in ("ready", "in_flight", "total", "enqueued_total", "next_seq")} == {
        "ready": 2, "in_flight": 1, "total": 3, "enqueued_total": 3, "next_seq": 3}
    assert list(queue.verify_integrity()) == ["ok", "records", "bytes", "message"]


def test_log_bytes_follow_appends(tmp_path):
    q = TarnwickCore(str(tmp_path / "q"))
    q.enqueue(b"ab")
    stats = q.stats()
    assert (stats["log_bytes"], stats["persistent"]) == (16 + 35, True)
    assert os.path.getsize(tmp_path / "q" / "queue.log") == 51
    assert q.flush() is None and q.compact() is None and q.purge() is None
    assert q.stats()["next_seq"] == 0


def test_os_error_has_exactly_one_argument(tmp_path):
    path = tmp_path / "file"
    path.write_bytes(b"not a directory")
    with pytest.raises(OSError) as info:
        TarnwickCore(str(path))
    exc = info.value
    assert type(exc) is OSError
    assert len(exc.args) == 1 and exc.args[0] == str(exc)
    assert exc.args[0].startswith("Tarnwick I/O error: ") and "(os error " in exc.args[0]
    # errno tells the failures apart; strerror and filename stay unset, so
    # that str() is the message alone.
    assert (exc.errno, exc.strerror, exc.filename) == (errno.EEXIST, None, None)
    assert exc.args[0].endswith(f"(os error {errno.EEXIST})")


def test_os_error_errno_names_the_failure(tmp_path):
    outside = tmp_path / "elsewhere.log"
    outside.write_bytes(b"short")
    link_dir = tmp_path / "linked"
    link_dir.mkdir()
    (link_dir / "queue.log").symlink_to(outside)
    with pytest.raises(OSError) as info:
        TarnwickCore(str(link_dir))
    assert type(info.value) is OSError and info.value.errno == errno.ELOOP
    assert str(info.value).startswith(
        f"Tarnwick I/O error: {link_dir / 'queue.log'} is a symbolic link, which is not followed: ")
    assert outside.read_bytes() == b"short"
    # An error the program names itself has no errno.
    foreign = tmp_path / "foreign"
    foreign.mkdir()
    (foreign / "queue.log").write_bytes(b"XXXX" + bytes(12))
    with pytest.raises(OSError) as info:
        TarnwickCore(str(foreign))
    assert str(info.value) == BAD_MAGIC and info.value.errno is None


def _enqueue_frame(seq, body):
    payload = struct.pack("<BQQI", 1, seq, 1, len(body)) + body
    return b"TWR1" + struct.pack("<II", len(payload), zlib.crc32(payload)) + payload


def test_no_id_is_assigned_past_the_largest(tmp_path):
    path = tmp_path / "q"
    path.mkdir()
    largest = 2**64 - 1
    log = b"TWFL" + struct.pack("<IQ", 1, 0) + _enqueue_frame(0, b"zero")
    (path / "queue.log").write_bytes(log + _enqueue_frame(largest - 1, b"near"))
    q = TarnwickCore(str(path))
    with pytest.raises(OverflowError, match="message ids are exhausted"):
        q.enqueue_batch([b"a", b"b"])
    assert q.enqueue(b"last") == largest
    before = (path / "queue.log").read_bytes()
    for call in (lambda: q.enqueue(b"x"), lambda: q.enqueue_batch([b"x"])):
        with pytest.raises(OverflowError) as info:
            call()
        assert str(info.value) == (
            "Tarnwick: message ids are exhausted (the largest is 18446744073709551615)")
    assert (path / "queue.log").read_bytes() == before
    assert q.dequeue()[:2] == (0, b"zero")
    assert q.stats()["next_seq"] == largest


def _overwrite_magic(directory):
    with open(os.path.join(directory, "queue.log"), "r+b") as f:
        f.write(b"XXXX")


def test_bad_magic_failures_release_both_locks(tmp_path):
    directory = str(tmp_path / "q")
    q = TarnwickCore(directory)
    q.enqueue(b"x")
    _overwrite_magic(directory)
    for _ in range(3):  # a held mutex or lock would hang the second call
        start = time.monotonic()
        with pytest.raises(OSError) as info:
            q.enqueue(b"y")
        assert str(info.value) == BAD_MAGIC and len(info.value.args) == 1
        assert time.monotonic() - start < 20  # not the lock's 30 s time-out
    with pytest.raises(OSError, match="bad magic"):
        q.available()
    # Another object and another process take the lock at once and fail alike.
    with pytest.raises(OSError) as info:
        TarnwickCore(directory)
    assert str(info.value) == BAD_MAGIC
    start = time.monotonic()
    out = run_python(
        """
        import sys
        from tarnwick import TarnwickCore
        try:
            TarnwickCore(sys.argv[1])
        except OSError as e:
            print(type(e).__name__, e)
        """,
        directory,
    )
    assert out.strip() == "OSError " + BAD_MAGIC
    assert time.monotonic() - start < 20


def test_two_processes_get_one_consecutive_run(tmp_path):
    directory = str(tmp_path / "q")
    TarnwickCore(directory)
    producer = """
        import json, sys
        from tarnwick import TarnwickCore
        q = TarnwickCore(sys.argv[1], sync_interval_ms=int(sys.argv[2]))
        seqs = []
        for i in range(150):
            seqs.append(q.enqueue(b"single"))
            if i % 10 == 0:
                seqs.extend(q.enqueue_batch([b"b1", b"b2", b"b3"]))
        print(json.dumps(seqs))
        """
    procs = [start_python(producer, directory, NO_SYNC_MS) for _ in range(2)]
    results = []
    for p in procs:
        out, err = p.communicate(timeout=120)
        assert p.returncode == 0, err
        results.append(json.loads(out))
    for seqs in results:
        assert seqs == sorted(seqs)
    every = sorted(results[0] + results[1])
    assert every == list(range(2 * (150 + 15 * 3)))
    assert TarnwickCore(directory).stats()["next_seq"] == len(every)


@pytest.mark.skipif(not os.environ.get("TARNWICK_SLOW_TESTS"),
                    reason="waits out the 30 s lock timeout; set TARNWICK_SLOW_TESTS=1")
def test_busy_lock_raises_timeout_error(tmp_path):
    directory = str(tmp_path / "q")
    q = TarnwickCore(directory)
    with open(os.path.join(directory, ".proc_lock"), "rb") as holder:
        fcntl.flock(holder, fcntl.LOCK_EX)
        started = time.monotonic()
        with pytest.raises(TimeoutError) as info:
            q.available()
        waited = time.monotonic() - started
        fcntl.flock(holder, fcntl.LOCK_UN)
    assert 30 <= waited < 60
    assert str(info.value) == "process lock timed out \u2014 a live peer is holding it too long"
    assert len(info.value.args) == 1 and info.value.errno is None
    assert q.enqueue(b"after") == 0


def test_path_with_nul_byte_is_refused_before_touching_files(tmp_path):
    with pytest.raises(OSError, match="queue path contains a NUL byte"):
        TarnwickCore(str(tmp_path / "a") + "\0b")
    assert not (tmp_path / "a").exists()
