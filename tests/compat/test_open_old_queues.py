"""Queue directories written by earlier builds keep opening and working.

fixtures/<commit>/ holds directories written by make_fixtures.py with the
build of that commit, and a manifest of what each holds. Every test works on a
copy: it opens it with TarnwickCore and with tarnwick_queue, checks every
message and dead letter exactly, then takes, settles, compacts and reopens.

newer/ holds directories in a format this build does not know; it must refuse
them with a clear error and change none of their bytes.
"""

import json
import os
import shutil

import pytest

import tarnwick
from tarnwick_queue import Empty, Queue

import queue_files

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.join(HERE, "fixtures")
NEWER = os.path.join(HERE, "newer")
LONG_LEASE_MS = 600_000  # held for the whole test, however loaded the machine
FRESH_HEADER = b"TWFL" + (1).to_bytes(4, "little") + bytes(8)


def _manifests():
    out = {}
    for release in sorted(os.listdir(FIXTURES)):
        path = os.path.join(FIXTURES, release, "manifest.json")
        if os.path.isfile(path):
            with open(path, encoding="utf-8") as f:
                out[release] = json.load(f)
    return out


MANIFESTS = _manifests()
CASES = [(release, name) for release, manifest in MANIFESTS.items()
         for name in manifest["fixtures"]]


@pytest.fixture(params=CASES, ids=[f"{r}/{n}" for r, n in CASES])
def fixture(request, tmp_path):
    """(copy of the fixture directory, its manifest entry, its original path)."""
    release, name = request.param
    original = os.path.join(FIXTURES, release, name)
    copy = str(tmp_path / name)
    shutil.copytree(original, copy)
    return copy, MANIFESTS[release]["fixtures"][name], original


def body(message):
    return bytes.fromhex(message["body_hex"])


def check_warning(capfd, expected):
    err = capfd.readouterr().err
    if expected["opens_with_warning"] is None:
        assert "Tarnwick:" not in err
    else:
        assert "Tarnwick:" in err and expected["opens_with_warning"] in err


def check_log_after_open(path, original, expected):
    """Opening changes a log only to cut a torn tail or to replace a zeroed
    header by a fresh one."""
    before = queue_files.read(os.path.join(original, "queue.log"))
    after = queue_files.read(os.path.join(path, "queue.log"))
    log = expected["log"]
    if before == bytes(16):
        assert after == FRESH_HEADER
    else:
        assert len(before) == log["file_size"]
        assert after == before[:log["bytes"]]


def peek_view(q):
    return [dict(id=m.id, body_hex=m.body.hex(), enqueued_ms=round(m.enqueued_at * 1000),
                 deliveries=m.deliveries, state=m.state,
                 due_ms=None if m.due_at is None else round(m.due_at * 1000))
            for m in q.peek(1000, bodies=True)]


def letters_view(q):
    return [dict(id=d.id, original_id=d.original_id, deliveries=d.deliveries,
                 enqueued_ms=round(d.enqueued_at * 1000), died_ms=round(d.died_at * 1000),
                 reason=d.reason, body_hex=d.body.hex())
            for d in q.dead_letters.list()]


def test_committed_fixtures_are_unchanged():
    assert MANIFESTS, "no fixtures found"
    for release, manifest in MANIFESTS.items():
        for name, expected in manifest["fixtures"].items():
            path = os.path.join(FIXTURES, release, name)
            assert queue_files.file_digests(path) == expected["files"], f"{release}/{name}"


def test_the_fixtures_cover_every_state():
    for release, manifest in MANIFESTS.items():
        fixtures = manifest["fixtures"].values()
        states = {m["state"] for f in fixtures for m in f["messages"]}
        assert states == {"ready", "leased", "scheduled"}, release
        assert any(f["half_moved"] for f in fixtures)
        assert any(f["dead_letters"] for f in fixtures)
        assert any(f["log"]["generation"] > 0 for f in fixtures)
        assert any(f["log"]["bytes"] < f["log"]["file_size"] for f in fixtures)  # a torn tail
        # Leases that ran out: a LEASE in the log, shown as ready again.
        assert any(f["core_stats"]["requeued_total"] > 0 for f in fixtures)
        assert "commit" in manifest


def test_core_reads_and_works_on(fixture, capfd):
    path, expected, original = fixture
    messages = expected["messages"]
    core = tarnwick.TarnwickCore(path, auto_compact_bytes=0)
    check_warning(capfd, expected)
    check_log_after_open(path, original, expected)
    report = core.verify_integrity()
    assert report["ok"], report
    assert (report["records"], report["bytes"]) == (expected["log"]["records"],
                                                    expected["log"]["bytes"])
    stats = core.stats()
    assert {k: stats[k] for k in expected["core_stats"]} == expected["core_stats"]

    # The ready messages (leases that ran out among them), as delivered.
    ready = [m for m in messages if m["state"] == "ready"]
    got = core.dequeue_batch(1000, lease_ms=LONG_LEASE_MS)
    assert got == [(m["id"], body(m), m["deliveries"] + 1, m["enqueued_ms"]) for m in ready]
    assert core.dequeue() is None
    # The leased and delayed ones, once returned: nothing else is live.
    held = [m for m in messages if m["state"] != "ready"]
    for m in held:
        assert core.nack(m["id"])
    live = {m["id"] for m in messages}
    for seq in range(expected["core_stats"]["next_seq"]):
        if seq not in live:
            assert not core.nack(seq), f"message {seq} was settled in the fixture"
    got = core.dequeue_batch(1000, lease_ms=LONG_LEASE_MS)
    assert got == [(m["id"], body(m), m["deliveries"] + 1, m["enqueued_ms"]) for m in held]

    assert core.ack_batch(sorted(live)) == len(live)
    core.compact()
    generation = expected["log"]["generation"] + 1
    assert (core.stats()["generation"], core.stats()["total"]) == (generation, 0)
    del core
    reopened = tarnwick.TarnwickCore(path)
    assert (reopened.stats()["generation"], reopened.stats()["total"]) == (generation, 0)
    assert reopened.verify_integrity()["ok"]
    decoded = queue_files.decode_log(queue_files.read(os.path.join(path, "queue.log")))
    assert (decoded.generation, decoded.messages) == (generation, {})


def test_core_reads_the_dead_letters_of(fixture):
    path, expected, _ = fixture
    dead_dir = os.path.join(path, "dead_letters")
    if not os.path.isdir(dead_dir):
        assert expected["dead_letters"] == []
        return
    core = tarnwick.TarnwickCore(dead_dir)
    assert core.stats()["total"] == len(expected["dead_letters"])
    letters = [dict(id=seq, **queue_files.decode_dead_letter(entry))
               for seq, entry, _, _ in core.dequeue_batch(1000, lease_ms=LONG_LEASE_MS)]
    assert letters == expected["dead_letters"]


def test_queue_reads_and_works_on(fixture, capfd):
    path, expected, original = fixture
    half_moved = set(expected["half_moved"])
    q = Queue(path, auto_compact_bytes=0)
    check_warning(capfd, expected)
    check_log_after_open(path, original, expected)
    assert q.verify()["ok"]
    assert peek_view(q) == expected["messages"]

    # The first look at the dead letters finishes the moves a crash cut
    # short: each letter is listed once and its message leaves the queue.
    assert letters_view(q) == expected["dead_letters"]
    remaining = [m for m in expected["messages"] if m["id"] not in half_moved]
    assert peek_view(q) == remaining
    assert len(q.dead_letters) == len(expected["dead_letters"])
    stats = q.stats()
    states = [m["state"] for m in remaining]
    assert (stats["ready"], stats["scheduled"], stats["in_flight"], stats["total"],
            stats["dead_letters"]) == (
        states.count("ready"), states.count("scheduled"), states.count("leased"),
        len(states), len(expected["dead_letters"]))
    # Finishing a half-done move keeps the message's outcome ("dead"), which
    # upgrades the log to format 3 first: the next generation.
    assert stats["generation"] == expected["log"]["generation"] + (1 if half_moved else 0)

    # Take every ready message, oldest first; the rest stay leased or delayed.
    ready = [m for m in remaining if m["state"] == "ready"]
    taken = q.get_many(1000, lease=LONG_LEASE_MS / 1000)
    assert [(m.id, m.body, m.deliveries, round(m.enqueued_at * 1000)) for m in taken] == [
        (m["id"], body(m), m["deliveries"] + 1, m["enqueued_ms"]) for m in ready]
    with pytest.raises(Empty):
        q.get_nowait()

    # Settle them three ways, compact, and open again.
    acked, buried, nacked = taken[:1], taken[1:2], taken[2:]
    for m in acked:
        m.ack()
    for m in buried:
        m.dead("buried by the compatibility test")
    for m in nacked:
        m.nack()
    # A settle that keeps its outcome first upgrades the log to format 3: a
    # rewrite into the next generation.
    settled = q.stats()["generation"]
    assert settled in (expected["log"]["generation"], expected["log"]["generation"] + 1)
    q.compact()
    assert q.stats()["generation"] == settled + 1
    q.close()

    q = Queue(path, auto_compact_bytes=0)
    gone = {m.id for m in acked + buried}
    nacked_ids = {m.id for m in nacked}
    after = [dict(m, deliveries=m["deliveries"] + 1) if m["id"] in nacked_ids else m
             for m in remaining if m["id"] not in gone]
    assert peek_view(q) == after
    letters = letters_view(q)
    assert letters[:len(expected["dead_letters"])] == expected["dead_letters"]
    assert [(d["original_id"], d["body_hex"], d["deliveries"], d["reason"])
            for d in letters[len(expected["dead_letters"]):]] == [
        (m.id, m.body.hex(), m.deliveries, "buried by the compatibility test") for m in buried]
    assert q.verify()["ok"]
    assert q.stats()["generation"] == settled + 1
    for m in acked:
        assert q.driver.status(m.id).state == "acked"
    q.close()


# --- a format this build does not know ---

def _newer_dirs():
    if not os.path.isdir(NEWER):
        return []
    return sorted(d for d in os.listdir(NEWER) if os.path.isdir(os.path.join(NEWER, d)))


def test_newer_directories_are_unchanged():
    with open(os.path.join(NEWER, "manifest.json"), encoding="utf-8") as f:
        manifest = json.load(f)
    assert sorted(manifest) == _newer_dirs()
    for name, entry in manifest.items():
        assert queue_files.file_digests(os.path.join(NEWER, name)) == entry["files"], name


@pytest.mark.parametrize("name", _newer_dirs())
@pytest.mark.parametrize("opener", ["TarnwickCore", "Queue"])
def test_a_newer_format_is_refused_and_left_as_it_was(name, opener, tmp_path):
    path = str(tmp_path / name)
    shutil.copytree(os.path.join(NEWER, name), path)
    before = queue_files.file_bytes(path)
    open_queue = tarnwick.TarnwickCore if opener == "TarnwickCore" else Queue
    with pytest.raises(OSError, match="not a Tarnwick log"):
        open_queue(path)
    after = queue_files.file_bytes(path)
    assert {f: after.get(f) for f in before} == before
    # Opening may create the lock file where there was none, and nothing else.
    assert {f: after[f] for f in set(after) - set(before)} in ({}, {".proc_lock": b""})
    # A second try is refused the same way.
    with pytest.raises(OSError, match="not a Tarnwick log"):
        open_queue(path)
    assert {f: queue_files.file_bytes(path).get(f) for f in before} == before
