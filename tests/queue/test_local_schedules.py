"""The local driver's schedules: named states changed by compare-and-set
with the messages a change puts, on disk and in memory, raced by processes."""

import os
import select
import subprocess
import sys
import textwrap

import pytest

from tarnwick_queue.driver import MAX_SCHEDULE_NAME_BYTES, MAX_SCHEDULE_STATE_BYTES, SchedulePut
from tarnwick_queue.local import LocalDriver


def open_driver(path, read_only=False):
    return LocalDriver(str(path), lease=30.0, sync_interval=0.0, max_deliveries=None,
                       auto_compact_bytes=0, read_only=read_only)


@pytest.fixture(params=["disk", "memory"])
def where(request, tmp_path):
    return str(tmp_path) if request.param == "disk" else ":memory:"


@pytest.fixture
def driver(where):
    d = open_driver(where)
    yield d
    d.close()


def bodies(driver):
    return [(m.id, m.body, m.key, m.priority, m.headers) for m in driver.peek(100, True)]


def test_a_change_applies_only_to_the_state_it_expects(driver):
    assert driver.schedules() == {}
    assert driver.schedule_change("s", b"v0", b"v1") is None
    puts = [SchedulePut(b"a"), SchedulePut(b"b", priority=7, headers={"h": "v"})]
    assert driver.schedule_change("s", None, b"v1", puts) == [0, 1]
    assert driver.schedule_change("s", None, b"v2", puts) is None
    assert driver.schedule_change("s", b"v2", b"v3", puts) is None
    assert driver.schedules() == {"s": b"v1"}
    assert bodies(driver) == [(0, b"a", None, 0, {}), (1, b"b", None, 7, {"h": "v"})]
    assert driver.schedule_change("s", b"v1", None) == []
    assert driver.schedule_change("t", None, b"") == []
    assert driver.schedules() == {"t": b""}
    # The messages are ready now, the higher priority first.
    rows, _ = driver.take(2, None)
    assert [row[1] for row in rows] == [b"b", b"a"]


def test_a_puts_key_holds_as_for_put(driver):
    live = driver.put(b"live", 0.0, key="held")
    driver.put(b"left", 0.0, key="kept", unique_for=3600.0)
    rows, _ = driver.take(2, None)
    token = next(row[5] for row in rows if row[1] == b"left")
    assert driver.ack(token)
    kept_id = 1
    puts = [SchedulePut(b"x", key="held"), SchedulePut(b"y", key="kept"),
            SchedulePut(b"z", key="new"), SchedulePut(b"again", key="new"),
            SchedulePut(b"w", key="")]
    assert driver.schedule_change("s", None, b"1", puts) == [live, kept_id, 2, 2, 3]
    assert [(m.body, m.key) for m in driver.peek(100, True)] == [
        (b"live", "held"), (b"z", "new"), (b"w", None)]
    assert driver.put(b"put", 0.0, key="new") == 2


def test_changes_outlive_the_handle_and_compaction(tmp_path):
    with_headers = SchedulePut(b"body", priority=-2, key="k", headers={"a": "b"})
    d = open_driver(tmp_path)
    assert d.schedule_change("gone", None, b"x") == []
    assert d.schedule_change("gone", b"x", None) == []
    assert d.schedule_change("s", None, b"state", [with_headers]) == [0]
    d.close()
    with open(os.path.join(tmp_path, "queue.log"), "rb") as f:
        assert f.read(4) == b"TWF4"
    d = open_driver(tmp_path)
    try:
        assert d.schedules() == {"s": b"state"}
        assert bodies(d) == [(0, b"body", "k", -2, {"a": "b"})]
        d.compact()
        assert d.schedules() == {"s": b"state"}
        assert bodies(d) == [(0, b"body", "k", -2, {"a": "b"})]
        d.purge()
        assert d.schedules() == {"s": b"state"}
        assert d.peek(10, False) == []
    finally:
        d.close()
    d = open_driver(tmp_path)
    try:
        assert d.schedules() == {"s": b"state"}
    finally:
        d.close()


def test_a_change_wakes_another_handles_watch(tmp_path):
    a, b = open_driver(tmp_path), open_driver(tmp_path)
    try:
        watch = b.watch()
        watch.arm()
        fd = watch.fileno()
        assert fd is not None
        assert a.schedule_change("s", None, b"1") == []
        readable, _, _ = select.select([fd], [], [], 60)
        assert readable == [fd]
        assert b.schedule_change("s", None, b"2") is None
        assert b.schedules() == {"s": b"1"}
    finally:
        a.close()
        b.close()


def test_bad_input_is_refused_and_nothing_stored(driver):
    bad = [
        (("", None, b"x"), ValueError),
        (("x" * (MAX_SCHEDULE_NAME_BYTES + 1), None, b"x"), ValueError),
        (("\u00e9" * (MAX_SCHEDULE_NAME_BYTES // 2 + 1), None, b"x"), ValueError),
        (("a\0b", None, b"x"), ValueError),
        (("s", None, b"x" * (MAX_SCHEDULE_STATE_BYTES + 1)), ValueError),
        (("s", None, "text"), TypeError),
        (("s", "text", b"x"), TypeError),
        ((b"s", None, b"x"), TypeError),
        (("s", None, b"x", [SchedulePut("text")]), TypeError),
        (("s", None, b"x", [SchedulePut(b"x", priority=101)]), ValueError),
        (("s", None, b"x", [SchedulePut(b"x", key="k" * 256)]), ValueError),
    ]
    for args, error in bad:
        with pytest.raises(error):
            driver.schedule_change(*args)
    assert driver.schedules() == {}
    assert driver.peek(10, False) == []
    longest = "n" * MAX_SCHEDULE_NAME_BYTES
    assert driver.schedule_change(longest, None, b"x" * MAX_SCHEDULE_STATE_BYTES) == []
    assert driver.schedules()[longest] == b"x" * MAX_SCHEDULE_STATE_BYTES


def test_closed_and_read_only_handles(tmp_path):
    d = open_driver(tmp_path)
    assert d.schedule_change("s", None, b"1") == []
    reader = open_driver(tmp_path, read_only=True)
    try:
        assert reader.schedules() == {"s": b"1"}
        with pytest.raises(OSError):
            reader.schedule_change("s", b"1", b"2", [SchedulePut(b"x")])
        # A change that does not match writes nothing, so it needs no write access.
        assert reader.schedule_change("s", b"0", b"2") is None
    finally:
        reader.close()
    assert d.schedules() == {"s": b"1"}
    assert d.peek(10, False) == []
    d.close()
    with pytest.raises(ValueError):
        d.schedules()
    with pytest.raises(ValueError):
        d.schedule_change("s", b"1", b"2")


_RACER = textwrap.dedent("""
    import sys
    from tarnwick_queue.driver import SchedulePut
    from tarnwick_queue.local import LocalDriver

    d = LocalDriver(sys.argv[1], lease=30.0, sync_interval=0.0, max_deliveries=None,
                    auto_compact_bytes=0, read_only=False)
    expected = None
    for line in sys.stdin:
        if line == "look\\n":
            expected = d.schedules().get("s")
            print("ready", flush=True)
        elif line == "go\\n":
            round = 0 if expected is None else int(expected)
            ids = d.schedule_change("s", expected, str(round + 1).encode(),
                                    [SchedulePut(b"round %d" % round, key="s:%d" % round)])
            print("lost" if ids is None else "won %s" % ids[0], flush=True)
    d.close()
""")


def test_processes_racing_with_the_same_expected_state_change_it_once(tmp_path):
    rounds = 15
    racers = [subprocess.Popen([sys.executable, "-c", _RACER, str(tmp_path)],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
              for _ in range(4)]
    try:
        def tell(word):
            for r in racers:
                r.stdin.write(word + "\n")
                r.stdin.flush()
            return [r.stdout.readline().strip() for r in racers]

        won = []
        for round in range(rounds):
            # Every racer has read the state the last round left before any
            # of them tries to change it.
            assert tell("look") == ["ready"] * 4
            answers = tell("go")
            winners = [a for a in answers if a.startswith("won ")]
            assert len(winners) == 1, (round, answers)
            assert answers.count("lost") == 3, (round, answers)
            won.append(int(winners[0].split()[1]))
        for r in racers:
            r.stdin.close()
        for r in racers:
            assert r.wait(60) == 0
    finally:
        for r in racers:
            if r.poll() is None:
                r.kill()
                r.wait()
    d = open_driver(tmp_path)
    try:
        assert d.schedules() == {"s": str(rounds).encode()}
        assert [(m.id, m.body, m.key) for m in d.peek(100, True)] == [
            (won[i], b"round %d" % i, f"s:{i}") for i in range(rounds)]
    finally:
        d.close()
