"""What the 0.1.0 build (commit 032caa0, format 1) makes of directories this
build writes, run with that build itself (old_build.py makes it once into a
cached environment): a format-2 log is refused as "not a Tarnwick log" with
every byte left as it was, and a queue that used none of format 2's features
is still a format-1 queue it opens and reads (a rollback works). The first
run builds 0.1.0 (about a minute on 2 cores); later runs take a second."""

import json
import os
import subprocess

import pytest

import old_build
import queue_files
from tarnwick_queue import Queue

LONG = 10 * 365 * 24 * 3600.0

# Opens the directory with both faces of the old build; one line each.
OLD_OPEN = r"""
import json, sys
import tarnwick, tarnwick_queue
path = sys.argv[1]
out = {}
for name, opener in (("core", tarnwick.TarnwickCore), ("queue", tarnwick_queue.Queue)):
    try:
        q = opener(path)
    except OSError as error:
        out[name] = "refused: " + str(error)
    else:
        if name == "queue":
            out["peek"] = [[m.id, m.state, m.deliveries] for m in q.peek(100)]
            q.close()
        out[name] = "opened"
        del q
print(json.dumps(out))
"""


def build_python(commit, what):
    """The interpreter of the build of `commit`, made once; the test skips,
    saying why, where it cannot be made."""
    python, why = old_build.python_of(commit)
    if python is None:
        pytest.skip(f"{what} (commit {commit}) could not be made here: " + why)
    return python


@pytest.fixture(scope="module")
def old_python():
    return build_python(old_build.RELEASE_COMMIT, "the 0.1.0 build")


# The last build that wrote format 2: it knows TWF2, not the outcomes' kinds.
FORMAT_2_COMMIT = old_build.FORMAT_2_COMMIT


@pytest.fixture(scope="module")
def format_2_python():
    return build_python(FORMAT_2_COMMIT, "the format-2 build")


def old_env():
    """The environment for the old build's Python: without what points this
    run at other modules (a sanitized run sets PYTHONPATH and LD_PRELOAD),
    so that it imports its own build."""
    return {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD")}


def run_old(python, path):
    done = subprocess.run([python, "-c", OLD_OPEN, path], env=old_env(), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, timeout=300, cwd="/")
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def assert_refused_unchanged(python, path, header):
    """The log at `path` begins with `header`; both faces of the old build
    at `python` refuse it as not a Tarnwick log, and no file changes."""
    with open(os.path.join(path, "queue.log"), "rb") as f:
        assert f.read(8) == header
    before = queue_files.file_digests(path)
    seen = run_old(python, path)
    for face in ("core", "queue"):
        assert seen[face].startswith("refused: "), seen
        assert "queue.log has bad magic (not a Tarnwick log)" in seen[face], seen
    assert queue_files.file_digests(path) == before


def write_format_2(path):
    # Keeping no outcomes: the cancel below would keep one in format 3.
    q = Queue(path, group_limit=3, keep_acked=0, keep_dead=0, keep_cancelled=0)
    d = q.driver
    d.put(b"plain", 0.0)
    d.put(b"options", 0.0, priority=7, key="k", unique_for=LONG, group="g",
          headers={"trace": "1"})
    d.put_many([b"g1", b"g2"], LONG, group="g")
    cancelled = d.put(b"cancel me", 0.0, key="c", unique_for=LONG)
    assert d.cancel(cancelled)
    d.pause()
    q.close()


def test_a_format_2_log_is_refused_by_0_1_0_and_left_as_it_was(old_python, tmp_path):
    path = str(tmp_path / "format_2")
    write_format_2(path)
    assert_refused_unchanged(old_python, path, b"TWF2\x02\x00\x00\x00")
    # And this build still reads it all.
    q = Queue(path)
    assert q.driver.is_paused()
    assert [(m.body, m.priority, m.key, m.group, m.headers) for m in q.peek(10, bodies=True)] == [
        (b"plain", 0, None, None, {}), (b"options", 7, "k", "g", {"trace": "1"}),
        (b"g1", 0, None, "g", {}), (b"g2", 0, None, "g", {})]
    q.close()


def test_a_queue_without_the_new_features_stays_readable_by_0_1_0(old_python, tmp_path):
    path = str(tmp_path / "format_1")
    # Keeping no outcomes: a kept one would need format 3.
    q = Queue(path, keep_acked=0, keep_dead=0, keep_cancelled=0)
    d = q.driver
    d.put(b"ready", 0.0)
    d.put(b"nacked", 0.0)
    rows, _ = d.take(1, None)
    rows2, _ = d.take(1, LONG)
    assert d.ack(rows[0][5])
    # A delay: a LEASE with its flag byte; the error is not kept, as no outcome is.
    assert d.nack(rows2[0][5], LONG, error="ValueError: boom")
    q.compact()
    q.close()
    with open(os.path.join(path, "queue.log"), "rb") as f:
        assert f.read(4) == b"TWFL"
    seen = run_old(old_python, path)
    assert seen["core"] == "opened" and seen["queue"] == "opened", seen
    assert seen["peek"] == [[1, "leased", 1]]  # 0.1.0 shows a delayed nack as leased


# Opens the queue with both faces of the old build, says so, and once told
# (a line on stdin) tries a put and a take through each; one line of results.
OLD_HOLD = r"""
import json, sys
import tarnwick, tarnwick_queue
path = sys.argv[1]
core, queue = tarnwick.TarnwickCore(path), tarnwick_queue.Queue(path)
print("open", flush=True)
sys.stdin.readline()
out = {}
for name, call in (("core put", lambda: core.enqueue(b"old")),
                   ("core take", lambda: core.dequeue(lease_ms=60000)),
                   ("queue put", lambda: queue.put(b"old")),
                   ("queue take", lambda: queue.get(timeout=0))):
    try:
        call()
        out[name] = "done"
    except OSError as error:
        out[name] = "refused: " + str(error)
    except Exception as error:
        out[name] = type(error).__name__
print(json.dumps(out), flush=True)
"""


def test_a_0_1_0_process_holding_the_queue_refuses_it_once_upgraded(old_python, tmp_path):
    # The upgrade renames a format-2 log over the one the old process read:
    # its next call must refuse the new file, not take its records for a
    # damaged tail and cut them.
    path = str(tmp_path / "upgraded_under_it")
    with Queue(path) as q:
        q.put(b"before")
    old = subprocess.Popen([old_python, "-c", OLD_HOLD, path], env=old_env(),
                           stdin=subprocess.PIPE,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd="/")
    try:
        assert old.stdout.readline() == "open\n", old.stderr.read()
        with Queue(path) as q:
            q.put(b"urgent", priority=9)
        before = queue_files.file_digests(path)
        old.stdin.write("go\n")
        old.stdin.flush()
        seen = json.loads(old.stdout.readline() or "{}")
    finally:
        old.kill()
        old.wait()
    assert seen, old.stderr.read()
    for call, outcome in seen.items():
        assert "bad magic (not a Tarnwick log)" in outcome, seen
    assert queue_files.file_digests(path) == before
    with Queue(path) as q:
        assert [(m.body, m.priority) for m in q.peek(10, bodies=True)] == [
            (b"before", 0), (b"urgent", 9)]


def write_outcomes(path):
    """A queue whose acks, nacks with errors and cancels keep outcomes (format 3)."""
    from tarnwick_queue.driver import Retention
    from tarnwick_queue.local import LocalDriver
    d = LocalDriver(path, lease=30.0, sync_interval=0.0, max_deliveries=None,
                    auto_compact_bytes=64 << 20, read_only=False,
                    retention=Retention(LONG, LONG, LONG))
    d.put(b"acked", 0.0)
    d.put(b"nacked", 0.0)
    d.put(b"left", 0.0)
    cancelled = d.put(b"cancelled", LONG)
    rows, _ = d.take(2, None)
    assert d.ack(rows[0][5], b"result")
    assert d.nack(rows[1][5], 0.0, "an error")
    assert d.cancel(cancelled)
    d.close()


@pytest.mark.parametrize("build", ["0.1.0", "format 2"])
def test_a_log_with_outcomes_is_refused_by_older_builds_and_left_as_it_was(
        build, old_python, format_2_python, tmp_path):
    python = old_python if build == "0.1.0" else format_2_python
    path = str(tmp_path / "outcomes")
    write_outcomes(path)
    assert_refused_unchanged(python, path, b"TWF3\x03\x00\x00\x00")
    q = Queue(path)
    assert q.driver.status(0).state == "acked"
    assert q.driver.status(1).errors == ("an error",)
    assert [m.body for m in q.peek(10, bodies=True)] == [b"nacked", b"left"]
    q.close()


# The last build that wrote format 3: it knows TWF3, not the schedules' kind.
FORMAT_3_COMMIT = old_build.FORMAT_3_COMMIT


@pytest.fixture(scope="module")
def format_3_python():
    return build_python(FORMAT_3_COMMIT, "the format-3 build")


def test_a_log_with_schedules_is_refused_by_the_format_3_build_and_left_as_it_was(
        format_3_python, tmp_path):
    from tarnwick_queue.driver import SchedulePut
    path = str(tmp_path / "schedules")
    write_outcomes(path)
    q = Queue(path)
    assert q.driver.schedule_change("nightly", None, b"state", [SchedulePut(b"fired")]) == [4]
    q.close()
    assert_refused_unchanged(format_3_python, path, b"TWF4\x04\x00\x00\x00")
    q = Queue(path)
    assert q.driver.schedules() == {"nightly": b"state"}
    assert q.driver.status(0).state == "acked"
    assert [m.body for m in q.peek(10, bodies=True)] == [b"nacked", b"left", b"fired"]
    q.close()


# The last build whose newest format was 4: it knows TWF4, not TWF5's zeros.
FORMAT_4_COMMIT = old_build.FORMAT_4_COMMIT


@pytest.fixture(scope="module")
def format_4_python():
    return build_python(FORMAT_4_COMMIT, "the format-4 build")


def test_a_preallocated_log_is_refused_by_the_format_4_build_and_left_as_it_was(
        format_4_python, tmp_path):
    path = str(tmp_path / "preallocated")
    write_outcomes(path)
    Queue(path, preallocate=True).close()
    assert_refused_unchanged(format_4_python, path, b"TWF5\x05\x00\x00\x00")
    with Queue(path) as q:
        assert q.driver.status(0).state == "acked"
        assert [m.body for m in q.peek(10, bodies=True)] == [b"nacked", b"left"]
