"""A real power cut: a queue on an ext4 file system in a loop-mounted image,
shut down by EXT4_IOC_SHUTDOWN with no journal flush while producer and
consumer processes run durable puts and acks, with compactions among them.
What the kernel had not synced is gone, as after a power cut. Mounted
again, the queue must hold every message whose put returned, unless a
consumer took it, and none whose ack returned. Three cuts on the same
image, so each round starts on what the last cut left, beside the file
through which the processes share their syncs. Run on an appended log and on
a preallocated one (whose unsynced writes may come back as any mix of
their sectors and zeros). Needs root and a loop device; skipped elsewhere.

The shutdown can lose the journal's last transaction when it lands within
a few milliseconds of the fsync that committed it: plain write() and
fsync() lose their last write so too. So what returned less than GRACE
before the cut is not held to it; what returned earlier is, and a queue
that skipped its syncs loses seconds of puts (the journal commits every 5
s), which this test catches."""

import fcntl
import os
import shutil
import struct
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from tarnwick_queue import Queue

EXT4_IOC_SHUTDOWN = 0x8004587D  # _IOR('X', 125, __u32)
EXT4_GOING_FLAGS_NOLOGFLUSH = 2  # drop what the journal holds and was not committed
PRODUCERS, CONSUMERS, ROUNDS = 3, 2, 3
GRACE = 0.05

CHILD = textwrap.dedent("""
    import os, sys, time
    from queue import Empty
    from tarnwick_queue import Queue
    role, where, name, preallocate = sys.argv[1:5]
    report = sys.stdout
    try:
        queue = Queue(where, lease=600.0, auto_compact_bytes=1 << 15,
                      preallocate=preallocate == "1")
        print("ready", flush=True)
        n = 0
        while True:
            if role == "put":
                body = f"{name}-{n}"
                queue.put(body.encode())
                print("put", body, time.monotonic(), flush=True)  # once the put returned
                n += 1
            else:
                try:
                    message = queue.get(timeout=0.05)
                except Empty:
                    continue
                print("got", message.body.decode(), time.monotonic(), flush=True)
                message.ack()
                print("ack", message.body.decode(), time.monotonic(), flush=True)
    except OSError as exc:  # the file system is gone
        print("error", exc.errno, flush=True)
""")


def _can_mount():
    return (os.geteuid() == 0 and os.path.exists("/dev/loop-control")
            and shutil.which("mkfs.ext4") and shutil.which("mount"))


pytestmark = [pytest.mark.slow, pytest.mark.skipif(not _can_mount(),
                                                   reason="needs root, loop devices and mkfs.ext4")]


class Image:
    """An ext4 image file, loop-mounted at `mount_point` while in use."""

    def __init__(self, tmp_path):
        self.path, self.mount_point = tmp_path / "disk.img", tmp_path / "mnt"
        self.mount_point.mkdir()
        with open(self.path, "wb") as f:
            f.truncate(256 << 20)
        subprocess.run(["mkfs.ext4", "-q", "-F", str(self.path)], check=True)
        self.mounted = False

    def mount(self):
        done = subprocess.run(["mount", "-o", "loop", str(self.path), str(self.mount_point)],
                              capture_output=True, text=True)
        if done.returncode != 0:
            pytest.skip(f"cannot loop-mount an image here: {done.stderr.strip()}")
        self.mounted = True

    def cut_power(self):
        fd = os.open(self.mount_point, os.O_RDONLY)
        try:
            fcntl.ioctl(fd, EXT4_IOC_SHUTDOWN, struct.pack("I", EXT4_GOING_FLAGS_NOLOGFLUSH))
        finally:
            os.close(fd)

    def unmount(self):
        if self.mounted:
            if subprocess.run(["umount", str(self.mount_point)]).returncode != 0:
                subprocess.run(["umount", "-l", str(self.mount_point)], check=True)
            self.mounted = False


@pytest.fixture
def image(tmp_path):
    image = Image(tmp_path)
    yield image
    image.unmount()


def reports(paths):
    """{"put": {body: when}, "got": ..., "ack": ...}: what returned when
    (monotonic seconds), from every report."""
    seen = {"put": {}, "got": {}, "ack": {}}
    for path in paths:
        for line in path.read_text().splitlines():
            kind, *rest = line.split()
            if kind in seen:
                seen[kind][rest[0]] = float(rest[1])
    return seen


def before(returned, moment):
    return {body for body, when in returned.items() if when < moment}


@pytest.mark.parametrize("preallocate", [False, True], ids=["appended", "preallocated"])
def test_a_power_cut_keeps_every_returned_put_and_ack(image, tmp_path, preallocate):
    where = str(image.mount_point / "queue")
    producers, rounds = [], []  # rounds: (report paths, when its cut began)
    for round in range(ROUNDS):
        image.mount()
        roles = ["put"] * PRODUCERS + ["get"] * CONSUMERS
        children, report_paths = [], []
        producers.extend(f"r{round}p{i}" for i in range(PRODUCERS))
        for i, role in enumerate(roles):
            path = tmp_path / f"report-{round}-{i}"  # off the image: it survives the cut
            report_paths.append(path)
            with open(path, "w") as out:
                children.append(subprocess.Popen(
                    [sys.executable, "-c", CHILD, role, where, f"r{round}p{i}",
                     "1" if preallocate else "0"], stdout=out))
        threading.Event().wait(2.0)
        rounds.append((report_paths, time.monotonic()))
        image.cut_power()
        for child in children:
            try:
                child.wait(10)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait()
        image.unmount()
        image.mount()
        seen = reports(report_paths)
        assert seen["put"] and seen["ack"], "the processes did no work before the cut"
        # What returned GRACE before its round's cut must be there; taken may be gone.
        puts, acks, taken = set(), set(), set()
        for paths, cut in rounds:
            earlier = reports(paths)
            puts |= before(earlier["put"], cut - GRACE)
            acks |= before(earlier["ack"], cut - GRACE)
            taken |= set(earlier["got"])
        with Queue(where, lease=600.0) as queue:
            live = [m.body.decode() for m in queue.peek(10**7, bodies=True)]
            assert len(queue.dead_letters) == 0
            assert queue.verify()["ok"], queue.verify()
        with open(os.path.join(where, "queue.log"), "rb") as log:
            assert (log.read(4) == b"TWF5") == preallocate
        assert len(live) == len(set(live)), "a message is in the queue twice"
        lost = puts - set(live) - taken
        assert not lost, f"{len(lost)} returned puts lost, e.g. {sorted(lost)[:5]}"
        undone = acks & set(live)
        assert not undone, f"{len(undone)} returned acks undone, e.g. {sorted(undone)[:5]}"
        every_put = set().union(*(reports(paths)["put"] for paths, _ in rounds))
        invented = set(live) - _attempted(every_put, producers)
        assert not invented, f"messages nobody put: {sorted(invented)[:5]}"
        image.unmount()


def _attempted(returned, producers):
    """The bodies whose put was at least begun: each producer's returned
    puts, and the one it may have been writing when the power went."""
    begun = set(returned)
    for name in producers:
        numbers = [int(b.rpartition("-")[2]) for b in returned if b.rpartition("-")[0] == name]
        begun.add(f"{name}-{max(numbers, default=-1) + 1}")
    return begun
