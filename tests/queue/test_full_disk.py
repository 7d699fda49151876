"""A queue that filled its disk can still be drained and compacted.

Runs on a 2 MiB tmpfs mounted for the test (root only; skipped elsewhere).
"""

import errno
import os
import queue as std_queue
import subprocess

import pytest

from tarnwick_queue import Queue

DISK_BYTES = 2 << 20


@pytest.fixture
def small_disk(tmp_path):
    if not hasattr(os, "geteuid") or os.geteuid() != 0:
        pytest.skip("mounting a tmpfs needs root")
    mount_point = tmp_path / "disk"
    mount_point.mkdir()
    mounted = subprocess.run(
        ["mount", "-t", "tmpfs", "-o", f"size={DISK_BYTES}", "tmpfs", str(mount_point)],
        capture_output=True)
    if mounted.returncode != 0:
        pytest.skip("cannot mount a tmpfs: " + mounted.stderr.decode(errors="replace"))
    try:
        yield mount_point
    finally:
        subprocess.run(["umount", "-l", str(mount_point)], check=True)


def free_bytes(path):
    st = os.statvfs(path)
    return st.f_bavail * st.f_frsize


def body_of(i, size):
    head = f"message {i} ".encode()
    return head + bytes([i % 251]) * (size - len(head))


def fill(q, size):
    """Puts until the disk is full; returns the bodies of the puts that returned."""
    bodies = {}
    with pytest.raises(OSError) as failed:
        for i in range(DISK_BYTES):
            body = body_of(i, size)
            bodies[q.put(body)] = body
    assert failed.value.errno == errno.ENOSPC
    return bodies


def test_a_full_disk_drains_with_ack_and_dead_then_compacts(small_disk):
    directory = small_disk / "q"
    q = Queue(directory)
    bodies = fill(q, 2000)
    assert len(bodies) > 500
    assert free_bytes(small_disk) < 4096
    # The failed put left nothing behind: a fresh handle sees exactly the puts.
    with Queue(directory) as other:
        assert other.stats()["total"] == len(bodies)

    acked, buried = {}, {}
    for n in range(len(bodies)):
        message = q.get(timeout=0)
        if n % 20 == 0:
            message.dead("the disk is full")
            buried[message.id] = message.body
        else:
            message.ack()
            acked[message.id] = message.body
        if n == 0:
            # The room freed for draining is not the producers'.
            with pytest.raises(OSError) as refused:
                q.put(b"one more")
            assert refused.value.errno == errno.ENOSPC
    with pytest.raises(std_queue.Empty):
        q.get(timeout=0)

    q.compact()
    # Every put that returned was acked or is a dead letter, body intact.
    assert set(acked) | set(buried) == set(bodies)
    assert not set(acked) & set(buried)
    for seq, body in {**acked, **buried}.items():
        assert body == bodies[seq]
    letters = q.dead_letters.list()
    assert {letter.original_id: letter.body for letter in letters} == buried
    assert all(letter.reason == "the disk is full" for letter in letters)
    # The disk has room again, the reserve is back, and puts work.
    assert free_bytes(small_disk) > DISK_BYTES // 2
    assert os.path.getsize(directory / ".reserve") > 0
    new = q.put(b"after the drain")
    with Queue(directory) as other:
        assert other.qsize() == 1
        assert len(other.dead_letters) == len(buried)
        assert other.get(timeout=0).id == new
    q.close()


def test_a_drain_in_batches_on_a_full_disk(small_disk):
    directory = small_disk / "q"
    q = Queue(directory)
    bodies = fill(q, 1000)
    seen = {}
    while len(seen) < len(bodies):
        batch = q.get_many(50, timeout=0)
        assert batch, "the queue ran dry before every message was seen"
        q.ack_many(batch)
        seen.update((m.id, m.body) for m in batch)
    assert seen == bodies
    q.compact()
    assert q.qsize() == 0
    assert free_bytes(small_disk) > DISK_BYTES // 2
    q.close()
