"""Power-loss simulation: logs written by real operation sequences are cut at
arbitrary offsets and have arbitrary bits flipped. Reopening must rebuild
exactly the state of every intact, decodable frame that an independent reader
finds (before the damage, and after damage in the middle), and
verify_integrity() must find the damage where that reader does."""

import os
import time

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from logmodel import Scan, replay, scan
from tarnwick import TarnwickCore

operations = st.lists(
    st.one_of(
        st.tuples(st.just("enqueue"), st.binary(max_size=40)),
        st.tuples(st.just("dequeue"), st.sampled_from([0, 600_000])),
        st.tuples(st.just("ack"), st.integers(0, 12)),
        st.tuples(st.just("nack"), st.integers(0, 12), st.booleans()),
        st.tuples(st.just("extend"), st.integers(0, 12)),
    ),
    max_size=30,
)

damages = st.lists(
    st.one_of(
        st.tuples(st.just("cut"), st.floats(0, 1)),
        st.tuples(st.just("flip"), st.floats(0, 1), st.integers(0, 7)),
    ),
    min_size=1,
    max_size=3,
)


def write_log(path, ops):
    q = TarnwickCore(path, sync_interval_ms=3_600_000, auto_compact_bytes=0)
    for op in ops:
        if op[0] == "enqueue":
            q.enqueue(op[1])
        elif op[0] == "dequeue":
            q.dequeue(lease_ms=op[1])
        elif op[0] == "ack":
            q.ack(op[1])
        elif op[0] == "nack":
            q.nack(op[1], requeue=op[2])
        else:
            q.extend_lease(op[1], lease_ms=600_000)
    del q
    with open(os.path.join(path, "queue.log"), "rb") as f:
        return bytearray(f.read())


def damage(data, steps):
    for step in steps:
        if not data:
            break
        at = min(int(step[1] * len(data)), len(data) - 1)
        if step[0] == "cut":
            del data[at:]
        else:
            data[at] ^= 1 << step[2]
    return bytes(data)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(ops=operations, steps=damages)
def test_damaged_log_reopens_to_its_intact_prefix(tmp_path_factory, ops, steps):
    base = tmp_path_factory.mktemp("power")
    original = write_log(str(base / "written"), ops)
    data = damage(bytearray(original), steps)

    # verify_integrity reads the file as it is, without repairing it.
    probe_dir = str(base / "probe")
    probe = TarnwickCore(probe_dir)
    with open(os.path.join(probe_dir, "queue.log"), "wb") as f:
        f.write(data)
    if len(data) >= 16:
        report = probe.verify_integrity()
        if data[:4] != b"TWFL":
            assert report == {"ok": False, "records": 0, "bytes": 16, "message": "bad file magic"}
        else:
            frames, end, clean = scan(data, decode=False)
            assert (report["ok"], report["records"], report["bytes"]) == (clean, len(frames), end)
    del probe

    target = str(base / "target")
    os.makedirs(target)
    with open(os.path.join(target, "queue.log"), "wb") as f:
        f.write(data)
    # A short file is a new log only when it starts a header as written.
    short_and_new = len(data) < 16 and data[:8] == b"TWFL\x01\x00\x00\x00"[: len(data)]
    if (len(data) >= 16 and data[:4] != b"TWFL") or (len(data) < 16 and not short_and_new):
        with pytest.raises(OSError, match="bad magic"):
            TarnwickCore(target)
        assert open(os.path.join(target, "queue.log"), "rb").read() == data
        return

    q = TarnwickCore(target, auto_compact_bytes=0)
    if len(data) < 16:
        model, end, generation = replay(b"TWFL" + bytes(12))[0], 16, 0
    else:
        model, end = replay(data)
        # Damage with intact frames after it makes the open write a new generation.
        generation = int.from_bytes(data[8:16], "little") + bool(Scan(data, decode=True).skipped)
    assert os.path.getsize(os.path.join(target, "queue.log")) == end
    requeued = model.reclaim(int(time.time() * 1000))
    stats = q.stats()
    expected = dict(
        ready=len(model.ready()), in_flight=len(model.in_flight), total=len(model.messages),
        next_seq=model.next_seq, live_bytes=model.live_bytes(), log_bytes=end + 25 * requeued,
        generation=generation, **model.counters)
    assert {k: stats[k] for k in expected} == expected
    delivered = [m[:3] for m in q.dequeue_batch(1000, lease_ms=600_000)]
    assert delivered == [(s, model.messages[s][0], model.messages[s][1] + 1) for s in model.ready()]
    assert q.verify_integrity()["ok"] is True
