"""Writes small queue directories in every state the log format can hold,
with whichever build of `tarnwick` and `tarnwick_queue` this Python imports,
and a manifest.json saying what each must contain.

    python tests/compat/make_fixtures.py OUT_DIR --commit HASH

OUT_DIR must not exist yet; commit it as tests/compat/fixtures/<commit>/ so
that test_open_old_queues.py opens it with every later build.

Times in the log are wall-clock milliseconds. A lease or delay that must still
hold when the tests run ends about ten years after the fixture was written; one
that must have run out ended before the script finished (it waits past it).
The manifest is read back from the files with queue_files.py, which follows
docs/log-format.md and not the build, and the script then checks that the
build sees the same thing.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import struct
import sys
import tempfile
import time
import zlib
from typing import Callable, Dict, List

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import tarnwick  # noqa: E402
from tarnwick_queue import Queue  # noqa: E402

import queue_files  # noqa: E402

YEAR = 365 * 24 * 3600.0
FAR = 10 * YEAR  # a lease or delay that cannot run out before the tests run
SHORT = 0.05  # one that has run out before the fixture is written
# A deadline this close to the time of writing is neither clearly past nor
# clearly future: the script refuses to write it.
FUTURE_MARGIN_MS = int(5 * YEAR * 1000)


def options() -> dict:
    # No automatic compaction: a fixture holds exactly the records written.
    return dict(auto_compact_bytes=0)


def wait_past(*deadlines: float) -> None:
    """Sleeps until every deadline (epoch seconds) lies in the past."""
    for deadline in deadlines:
        while time.time() <= deadline + 0.002:
            time.sleep(max(0.0, deadline - time.time()) + 0.005)


# --- the fixtures: each function writes one directory and says what it did ---

def new(path: str) -> str:
    Queue(path, **options()).close()
    return "a queue opened and closed: a header alone, and an empty dead-letter queue"


def ready(path: str) -> str:
    with Queue(path, **options()) as q:
        q.put(b"first")
        q.put(b"")
        q.put(bytes([0, 1, 2, 255, 0]))
        q.put(bytes(range(256)) * 2)
        q.put_many([b"batch-1", b"batch-2"])
    return "ready messages only: text, empty, binary and 512-byte bodies, two put in one batch"


def leased(path: str) -> str:
    with Queue(path, **options()) as q:
        for body in (b"held", b"held-extended", b"lease-ran-out", b"never-taken"):
            q.put(body)
        q.get(lease=FAR)
        extended = q.get(lease=60.0)
        extended.extend(FAR + YEAR)
        ran_out = q.get(lease=SHORT)
        wait_past(ran_out.lease_expires_at)
    return ("leases: one held for years, one renewed by extend() to years, one that ran out "
            "(a LEASE whose end has passed, not yet reclaimed), one never taken")


def delayed(path: str) -> str:
    with Queue(path, **options()) as q:
        q.put(b"due-in-years", delay=FAR)
        soon = q.put(b"was-due-soon", delay=SHORT)
        q.put_many([b"batch-due-in-years-1", b"batch-due-in-years-2"], delay=FAR)
        q.put(b"not-delayed")
        due = [m.due_at for m in q.peek(10) if m.id == soon]
        wait_past(*[d for d in due if d is not None])
    return ("delayed puts (ENQUEUE then a LEASE with no deliveries): due in years, one batch "
            "due in years, one whose delay has passed, one not delayed")


def nacked(path: str) -> str:
    with Queue(path, **options()) as q:
        for body in (b"nacked-for-years", b"nacked-twice", b"nacked-at-once"):
            q.put(body)
        q.get(lease=60.0).nack(delay=FAR)
        q.get(lease=60.0).nack()
        twice = q.get(lease=60.0)
        at_once = q.get(lease=60.0)
        twice.nack(delay=SHORT)
        at_once.nack()
        wait_past(time.time() + SHORT)
    return ("nacks: one returned with a delay of years (a LEASE keeping its delivery count), "
            "one returned twice, the second time with a delay that has passed, one returned "
            "at once (REQUEUE)")


def acked(path: str) -> str:
    with Queue(path, **options()) as q:
        for body in (b"acked", b"acked-in-batch-1", b"nacked", b"acked-in-batch-2"):
            q.put(body)
        first, second, third, fourth = q.get_many(4, lease=60.0)
        first.ack()
        q.ack_many([second, fourth])
        third.nack()
    return ("acks: one ack(), one ack_many() of two (the largest id among them, so the next id "
            "comes from an ENQUEUE of a message no longer live); one message left, nacked")


def core_written(path: str) -> str:
    core = tarnwick.TarnwickCore(path, auto_compact_bytes=0)
    core.enqueue(b"core-1")
    core.enqueue_batch([b"core-2", b"core-3", b"core-4", b"core-5"])
    far_ms = int(FAR * 1000)
    taken = core.dequeue_batch(3, lease_ms=far_ms)
    assert [t[0] for t in taken] == [0, 1, 2], taken
    core.nack(1)  # back to ready, keeping its count
    core.nack(2, requeue=False)  # dropped: a DEAD record and no dead letter
    core.ack(4)  # a message acked without ever being leased
    core.extend_lease(0, far_ms + int(YEAR * 1000))
    again = core.dequeue(lease_ms=int(SHORT * 1000))
    assert again is not None and again[0] == 1, again
    del core
    wait_past(time.time() + SHORT)
    return ("written by TarnwickCore alone (no dead-letter queue): a lease extended to years, "
            "a message dropped by nack(requeue=False), one acked while ready, one leased a "
            "second time with a lease that ran out, one never taken")


def dead_letters(path: str) -> str:
    with Queue(path, max_deliveries=1, **options()) as q:
        for body in (b"buried", b"buried-then-requeued", b"too-many-deliveries", b"left-leased"):
            q.put(body)
        q.get(lease=60.0).dead("bad input \u2717")
        q.get(lease=60.0).dead("")
        ran_out = q.get(lease=SHORT)
        wait_past(ran_out.lease_expires_at)
        # This take finds the message above back and over max_deliveries.
        q.get(lease=FAR)
        letter = [d for d in q.dead_letters.list() if d.body == b"buried-then-requeued"]
        assert q.dead_letters.requeue([letter[0].id]) == 1
    return ("dead letters: one with a non-ASCII reason, one with an empty reason requeued since "
            "(a new message in the queue, the letter acked), one moved by max_deliveries; the "
            "main log has their DEAD records, one message is leased for years")


def dead_letter_half_moved(path: str) -> str:
    with Queue(path, **options()) as q:
        for body in (b"moved-whole", b"moved-halfway-leased", b"moved-halfway-ran-out",
                     b"bystander"):
            q.put(body)
        q.get(lease=FAR).dead("moved whole")
        held = q.get(lease=FAR)
        running_out = q.get(lease=5.0)
        before = queue_files.read(os.path.join(path, "queue.log"))
        held.dead("cut before DEAD, still leased")
        running_out.dead("cut before DEAD, lease since ran out")
    # The main log as it was between the letters' writes and their DEAD
    # records: what a crash at that point leaves.
    cut = os.path.join(path, "queue.log.cut")
    with open(cut, "wb") as f:
        f.write(before)
    os.replace(cut, os.path.join(path, "queue.log"))
    wait_past(running_out.lease_expires_at)
    return ("half-done moves to the dead letters: two letters written and synced whose DEAD "
            "never reached the main log (made by saving the main log before two dead() calls "
            "and putting it back after them), one of the two still leased for years, the "
            "other's lease ran out; also one whole move and one message never taken")


def compacted(path: str) -> str:
    with Queue(path, **options()) as q:
        q.put_many([b"c-%d" % i for i in range(1, 7)])
        q.get(lease=FAR)
        q.get(lease=60.0).ack()
        q.get(lease=60.0).nack(delay=FAR)
        ran_out = q.get(lease=SHORT)
        wait_past(ran_out.lease_expires_at)
        q.compact()  # carries the lease that ran out, unreclaimed
        q.put(b"after-first-compaction")
        q.compact()
        q.put(b"after-second-compaction", delay=FAR)
        q.get(lease=60.0).nack()
    return ("compacted twice (generation 2): the compacted file's ENQUEUE, REQUEUE and LEASE "
            "records (a lease of years, a delayed nack, a lease that had run out), then a put, "
            "a delayed put and a nack after the last compaction")


def purged(path: str) -> str:
    with Queue(path, **options()) as q:
        q.put_many([b"gone-after-purge-1", b"gone-after-purge-2", b"gone-after-purge-3"])
        q.get(lease=60.0).dead("before the purge")
        q.purge()
        q.put_many([b"p1", b"p2"])  # ids start again; bodies differ in length from the letter's
        q.get(lease=FAR)
    return ("purged (generation 1): a new log with ids starting again, one leased for years, "
            "one ready; the dead letter written before the purge stays and names an id a new "
            "message now has")


def torn_tail(path: str) -> str:
    with Queue(path, **options()) as q:
        q.put_many([b"kept-1", b"kept-2", b"kept-3"])
        q.get(lease=FAR)
        q.get(lease=60.0).ack()
    body = b"never-committed"
    payload = struct.pack("<BQQI", queue_files.ENQUEUE, 3, int(time.time() * 1000),
                          len(body)) + body
    frame = (queue_files.FRAME_MAGIC + struct.pack("<II", len(payload), zlib.crc32(payload))
             + payload)
    with open(os.path.join(path, "queue.log"), "ab") as f:
        f.write(frame[:20])  # cut inside the payload, as a crash in a write leaves it
    return ("a torn tail: the first 20 bytes of an ENQUEUE frame after intact records; opening "
            "cuts the file back to the last whole frame")


def zeroed_header(path: str) -> str:
    os.makedirs(path)
    with open(os.path.join(path, "queue.log"), "wb") as f:
        f.write(bytes(16))
    return ("a queue.log of exactly 16 zero bytes, as an interrupted header write of older "
            "versions left it: opens as a new, empty log with a warning")


FIXTURES: Dict[str, Callable[[str], str]] = {
    f.__name__: f for f in (new, ready, leased, delayed, nacked, acked, core_written,
                            dead_letters, dead_letter_half_moved, compacted, purged, torn_tail,
                            zeroed_header)
}

# What opening says on stderr, where it says anything.
OPEN_WARNINGS = {"torn_tail": "truncating", "zeroed_header": "zeroed header"}


# --- the manifest ---

def describe(path: str, about: str, written_ms: int) -> dict:
    """What the directory holds, read from its files, with how each message
    must look now that every short lease has run out."""
    raw = queue_files.read(os.path.join(path, "queue.log"))
    if raw == bytes(16):
        log = queue_files.decode_log(b"TWFL" + bytes(12))  # what it opens as
    else:
        log = queue_files.decode_log(raw)
    messages: List[dict] = []
    expired = in_flight = 0
    for seq, m in sorted(log.messages.items()):
        state, due = "ready", None
        if m.deadline_ms is not None:
            if m.deadline_ms > written_ms + FUTURE_MARGIN_MS:
                state, due = ("scheduled" if m.deliveries == 0 else "leased"), m.deadline_ms
                in_flight += 1
            elif m.deadline_ms < written_ms:
                expired += 1
            else:
                raise SystemExit(f"{path}: message {seq} has a deadline too near the present")
        messages.append(dict(id=seq, body_hex=m.body.hex(), enqueued_ms=m.enqueued_ms,
                             deliveries=m.deliveries, state=state, due_ms=due))
    letters: List[dict] = []
    dead_log = os.path.join(path, "dead_letters", "queue.log")
    if os.path.exists(dead_log):
        letters = queue_files.live_letters(queue_files.decode_log(queue_files.read(dead_log)))
    by_id = {m["id"]: m for m in messages}
    half_moved = sorted(
        d["original_id"] for d in letters
        if d["original_id"] in by_id
        and by_id[d["original_id"]]["enqueued_ms"] == d["enqueued_ms"]
        and len(by_id[d["original_id"]]["body_hex"]) == len(d["body_hex"]))
    return dict(
        about=about,
        files=queue_files.file_digests(path),
        log=dict(generation=log.generation, file_size=len(raw), records=log.records,
                 bytes=log.clean_end),
        opens_with_warning=OPEN_WARNINGS.get(os.path.basename(path)),
        # TarnwickCore's stats() right after opening; it returns the leases
        # that ran out first, which writes a REQUEUE for each.
        core_stats=dict(ready=len(messages) - in_flight, in_flight=in_flight,
                        total=len(messages), next_seq=log.next_seq,
                        enqueued_total=log.enqueued_total, acked_total=log.acked_total,
                        requeued_total=log.requeued_total + expired,
                        dead_total=log.dead_total, generation=log.generation),
        messages=messages,
        dead_letters=letters,
        half_moved=half_moved,
    )


def check_with_build(path: str, expected: dict) -> None:
    """Opens a copy with the build that wrote it: it must see the manifest."""
    with tempfile.TemporaryDirectory() as scratch:
        copy = os.path.join(scratch, "q")
        shutil.copytree(path, copy)
        with Queue(copy, **options()) as q:
            seen = [dict(id=m.id, body_hex=(m.body or b"").hex(),
                         enqueued_ms=round(m.enqueued_at * 1000), deliveries=m.deliveries,
                         state=m.state,
                         due_ms=None if m.due_at is None else round(m.due_at * 1000))
                    for m in q.peek(1000, bodies=True)]
            assert seen == expected["messages"], (path, seen)
            letters = [d.original_id for d in q.dead_letters.list()]
            assert letters == [d["original_id"] for d in expected["dead_letters"]], path
            left = [m.id for m in q.peek(1000)]
            assert left == [m["id"] for m in expected["messages"]
                            if m["id"] not in expected["half_moved"]], path


# --- a stand-in for a newer format ---

NEWER_MAGIC = b"TWF6"


def newer_stand_in(path: str) -> str:
    """Writes, without the module, a directory as a newer release might:
    logs whose header has another magic, holding a record kind this release
    does not know (13) beside an ENQUEUE. A release that reads the version
    field would not need the new magic; this one ignores it (see
    docs/log-format.md), so only a new magic keeps it from taking such a log
    for its own and cutting the unknown records as a damaged tail."""
    def frame(payload: bytes) -> bytes:
        return queue_files.FRAME_MAGIC + struct.pack("<II", len(payload),
                                                     zlib.crc32(payload)) + payload

    body = b"written by a newer release"
    log = (NEWER_MAGIC + struct.pack("<IQ", 6, 0)
           + frame(struct.pack("<BQQI", queue_files.ENQUEUE, 0, 1_800_000_000_000, len(body))
                   + body)
           + frame(struct.pack("<BQB", 13, 0, 7)))
    for where in (path, os.path.join(path, "dead_letters")):
        os.makedirs(where)
        with open(os.path.join(where, "queue.log"), "wb") as f:
            f.write(log if where == path else NEWER_MAGIC + struct.pack("<IQ", 6, 0))
        open(os.path.join(where, ".proc_lock"), "wb").close()
    return ("stand-in for a format after 5: magic TWF6, version 6, a record of "
            "kind 13 after an ENQUEUE; an empty dead-letter log of the same format")


def write_newer_stand_in(out_dir: str) -> None:
    """Adds the stand-in to `out_dir` (tests/compat/newer) and to its manifest."""
    path = os.path.join(out_dir, "stand_in_format_6")
    if os.path.exists(path):
        raise SystemExit(f"{path} exists already")
    about = newer_stand_in(path)
    manifest_path = os.path.join(out_dir, "manifest.json")
    manifest = {}
    if os.path.exists(manifest_path):
        with open(manifest_path, encoding="utf-8") as f:
            manifest = json.load(f)
    manifest["stand_in_format_6"] = dict(about=about, files=queue_files.file_digests(path))
    with open(manifest_path, "w") as f:
        json.dump(manifest, f, indent=1)
        f.write("\n")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out_dir", help="directory to create, e.g. tests/compat/fixtures/<commit>")
    parser.add_argument("--commit", help="the commit the imported build was made from")
    parser.add_argument("--newer-stand-in", action="store_true",
                        help="write the stand-in for a newer format into out_dir instead "
                             "(tests/compat/newer); needs no build")
    args = parser.parse_args()
    if args.newer_stand_in:
        write_newer_stand_in(args.out_dir)
        return
    if args.commit is None:
        parser.error("--commit is required")
    if os.path.exists(args.out_dir):
        raise SystemExit(f"{args.out_dir} exists already; fixtures are written once")
    os.makedirs(args.out_dir)
    manifest = dict(
        commit=args.commit,
        tarnwick_version=tarnwick.__version__,
        written_by="tests/compat/make_fixtures.py",
        written_at_ms=int(time.time() * 1000),
        note=("Each directory was written by the build of this commit. The tests copy a "
              "directory before opening it; these files never change."),
        fixtures={},
    )
    for name, make in FIXTURES.items():
        path = os.path.join(args.out_dir, name)
        about = make(path)
        written_ms = int(time.time() * 1000)
        manifest["fixtures"][name] = describe(path, about, written_ms)
        check_with_build(path, manifest["fixtures"][name])
    with open(os.path.join(args.out_dir, "manifest.json"), "w") as f:
        json.dump(manifest, f, indent=1, ensure_ascii=False)
        f.write("\n")
    print(f"wrote {len(FIXTURES)} fixtures to {args.out_dir}")


if __name__ == "__main__":
    main()
