"""purge() and verify_integrity() on real files."""

import os
import subprocess
import sys

import pytest

from tarnwick import TarnwickCore


def corrupt(path, offset, xor=0x01):
    with open(path, "r+b") as f:
        f.seek(offset)
        byte = f.read(1)[0]
        f.seek(offset)
        f.write(bytes([byte ^ xor]))


def test_purge_starts_a_new_generation(tmp_path):
    path = str(tmp_path / "q")
    q, other = TarnwickCore(path), TarnwickCore(path)
    for i in range(5):
        q.enqueue(b"x%d" % i)
    q.dequeue()
    assert other.available() == 4
    q.purge()
    stats = q.stats()
    assert (stats["generation"], stats["log_bytes"], stats["total"], stats["next_seq"]) == (1, 16, 0, 0)
    assert os.path.getsize(os.path.join(path, "queue.log")) == 16
    assert other.available() == 0 and other.dequeue() is None
    assert other.ack(0) is False
    assert q.enqueue(b"new") == 0
    out = subprocess.run(
        [sys.executable, "-c",
         "import sys; from tarnwick import TarnwickCore; "
         "q = TarnwickCore(sys.argv[1]); print(q.stats()['generation'], q.dequeue()[1])", path],
        capture_output=True, text=True, check=True).stdout.split()
    assert out == ["1", "b'new'"]


def test_purge_of_empty_queue_still_moves_on(tmp_path):
    q = TarnwickCore(str(tmp_path / "q"))
    q.purge()
    q.purge()
    assert q.stats()["generation"] == 2


def test_purge_memory_queue():
    q = TarnwickCore(":memory:")
    q.enqueue(b"x")
    q.purge()
    stats = q.stats()
    assert (stats["total"], stats["generation"], stats["log_bytes"]) == (0, 0, 16)


def test_purge_blocked_before_rename_keeps_messages(tmp_path):
    path = tmp_path / "q"
    q = TarnwickCore(str(path))
    q.enqueue(b"keep me")
    (path / "queue.purge.tmp").mkdir()
    with pytest.raises(OSError):
        q.purge()
    assert q.available() == 1
    assert q.dequeue()[1] == b"keep me"
    assert TarnwickCore(str(path)).in_flight() == 1


def test_verify_clean_logs(tmp_path):
    q = TarnwickCore(str(tmp_path / "q"))
    assert q.verify_integrity() == {"ok": True, "records": 0, "bytes": 16, "message": "clean"}
    q.enqueue(b"hi")
    q.enqueue(b"yo")
    report = q.verify_integrity()
    assert list(report) == ["ok", "records", "bytes", "message"]
    assert report == {"ok": True, "records": 2, "bytes": 86, "message": "clean"}
    assert q.verify_integrity() == report


def test_verify_reports_a_flipped_bit_without_repairing(tmp_path):
    path = str(tmp_path / "q")
    log = os.path.join(path, "queue.log")
    q = TarnwickCore(path)
    q.enqueue(b"hi")
    q.enqueue(b"yo")
    corrupt(log, 51 + 12 + 5)
    before = open(log, "rb").read()
    report = q.verify_integrity()
    assert (report["ok"], report["records"], report["bytes"]) == (False, 1, 51)
    assert report["message"] == "corrupt tail at byte 51: record CRC mismatch (silent corruption)"
    assert open(log, "rb").read() == before
    del q
    reopened = TarnwickCore(path)
    assert os.path.getsize(log) == 51
    assert reopened.available() == 1


@pytest.mark.parametrize(
    "tail, message",
    [
        (b"TWR", "truncated record header"),
        (b"XWR1" + bytes(8), "bad record magic"),
        (b"TWR1\x0a\x00\x00\x00\x00\x00\x00\x00abcd", "truncated record payload"),
        (b"TWR1\x01\x00\x00\x20" + bytes(4), "record length 536870913 exceeds max 536870912"),
    ],
)
def test_verify_reports_torn_tails(tmp_path, tail, message):
    path = str(tmp_path / "q")
    q = TarnwickCore(path)
    q.enqueue(b"hi")
    with open(os.path.join(path, "queue.log"), "ab") as f:
        f.write(tail)
    assert q.verify_integrity() == {
        "ok": False, "records": 1, "bytes": 51, "message": f"corrupt tail at byte 51: {message}"}


def test_verify_counts_unknown_tag_as_valid(tmp_path):
    import zlib
    path = str(tmp_path / "q")
    q = TarnwickCore(path)
    payload = b"\x09" + bytes(8)
    with open(os.path.join(path, "queue.log"), "ab") as f:
        f.write(b"TWR1" + len(payload).to_bytes(4, "little")
                + zlib.crc32(payload).to_bytes(4, "little") + payload)
    assert q.verify_integrity() == {"ok": True, "records": 1, "bytes": 37, "message": "clean"}


def test_verify_bad_file_magic_and_memory(tmp_path):
    path = str(tmp_path / "q")
    q = TarnwickCore(path)
    q.enqueue(b"hi")
    with open(os.path.join(path, "queue.log"), "r+b") as f:
        f.write(b"NOPE")
    assert q.verify_integrity() == {"ok": False, "records": 0, "bytes": 16, "message": "bad file magic"}
    m = TarnwickCore(":memory:")
    m.enqueue(b"x")
    assert m.verify_integrity() == {
        "ok": True, "records": 0, "bytes": 0, "message": ":memory: queue has no on-disk log"}


def test_damage_in_the_middle_is_kept_around_by_an_open(tmp_path, capfd):
    """A byte flipped in the middle of a 100-message log costs that one
    message: verify_integrity says so and changes nothing; the next open
    copies the damaged log aside and keeps the other 99."""
    path = str(tmp_path / "q")
    log = os.path.join(path, "queue.log")
    q = TarnwickCore(path)
    seqs = q.enqueue_batch([b"message %d" % i for i in range(100)])
    frame = 12 + 21 + len(b"message 10")  # frames 0..9 are one byte shorter
    damaged_at = 16 + 10 * (frame - 1)
    corrupt(log, damaged_at + 30)
    damaged = open(log, "rb").read()
    report = q.verify_integrity()
    assert (report["ok"], report["records"], report["bytes"]) == (False, 10, damaged_at)
    assert report["message"] == (
        f"damaged bytes in the middle of the log at {damaged_at}-{damaged_at + frame - 1} "
        "(record CRC mismatch (silent corruption)), with 89 intact records after the first damage")
    assert open(log, "rb").read() == damaged
    del q
    capfd.readouterr()
    reopened = TarnwickCore(path)
    err = capfd.readouterr().err
    copies = [n for n in os.listdir(path) if n.startswith("queue.log.damaged-gen0-")]
    assert len(copies) == 1
    copy = os.path.join(path, copies[0])
    assert err == (f"Tarnwick: skipped {frame} damaged bytes in {log} at bytes {damaged_at}-"
                   f"{damaged_at + frame - 1} (record CRC mismatch (silent corruption)); kept 99 "
                   f"intact records; the damaged log was kept as {copy}\n")
    assert open(copy, "rb").read() == damaged
    assert reopened.stats()["generation"] == 1
    bodies = [m[1] for m in reopened.dequeue_batch(200)]
    assert bodies == [b"message %d" % i for i in range(100) if i != 10]
    assert seqs[11] == 11 and reopened.verify_integrity()["ok"]
