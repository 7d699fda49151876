"""Schedules on PostgreSQL, at the driver: the compare-and-set on a
schedule's row and the messages a change puts are one commit. Its
semantics (add, update, remove, keys as put() keeps them), changes racing
from several processes on two connections each (one wins per round), a
reply lost around the commit, a server stopped under a stream of changes
(each change whole or not at all), the wake-up of other handles, and the
upgrade of a database made at the step before."""

import json
import os
import select
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

psycopg = pytest.importorskip("psycopg")
from pg_proxy import CuttingProxy  # noqa: E402
from psycopg.conninfo import conninfo_to_dict, make_conninfo  # noqa: E402

from tarnwick_queue.driver import MAX_SCHEDULE_STATE_BYTES, SchedulePut  # noqa: E402
from tarnwick_queue.postgres import SCHEMA_VERSION, ConnectionLost, PostgresQueue  # noqa: E402
from tarnwick_queue.postgres.schema import MIGRATIONS  # noqa: E402

LEASE = 60.0  # holds through every step; no test waits for it


@pytest.fixture
def queues(pg_dsn, pg_name):
    """Two handles on one queue, as two processes would have."""
    with PostgresQueue(pg_dsn, pg_name, lease=LEASE) as one, \
            PostgresQueue(pg_dsn, pg_name, lease=LEASE) as two:
        yield one.driver, two.driver


def bodies(driver):
    return [(i.id, i.body) for i in driver.peek(10**6, True)]


# --- compare-and-set ---


def test_a_change_is_made_only_where_the_state_is_the_one_expected(queues, pg_dsn, pg_name):
    one, two = queues
    assert one.schedules() == {}
    assert one.schedule_change("nightly", None, b"v1") == []
    # Added once: a second add, from any handle, finds it there.
    assert two.schedule_change("nightly", None, b"other", [SchedulePut(b"job")]) is None
    assert two.schedules() == {"nightly": b"v1"}
    assert two.schedule_change("nightly", b"v0", b"v2", [SchedulePut(b"job")]) is None
    assert two.schedule_change("nightly", b"v1", b"v2") == []
    assert one.schedule_change("nightly", b"v1", b"v3") is None  # what `one` read is stale
    assert one.schedules() == {"nightly": b"v2"}
    # An empty state is a state, not an absent schedule.
    assert one.schedule_change("empty", None, b"") == []
    assert one.schedule_change("empty", None, b"x") is None
    assert one.schedule_change("empty", b"", b"x") == []
    # The largest state the face lets through is stored whole.
    big = bytes(range(256)) * (MAX_SCHEDULE_STATE_BYTES // 256)
    assert one.schedule_change("empty", b"x", big) == []
    assert two.schedules()["empty"] == big
    # Removed only from the state expected; then absent for every handle.
    assert one.schedule_change("nightly", b"v1", None) is None
    assert one.schedule_change("nightly", b"v2", None) == []
    assert one.schedule_change("nightly", b"v2", None) is None
    assert two.schedules() == {"empty": big}
    # Expected absent and left absent: a match that stores nothing.
    assert one.schedule_change("ghost", None, None, [SchedulePut(b"fired")]) is not None
    assert one.schedule_change("empty", None, None, [SchedulePut(b"never")]) is None
    assert one.schedules() == {"empty": big}
    assert [b for _, b in bodies(one)] == [b"fired"]  # no failed change put anything
    # Another queue's schedules are its own.
    with PostgresQueue(pg_dsn, pg_name + "-other") as other:
        assert other.driver.schedules() == {}
        assert other.driver.schedule_change("empty", None, b"mine") == []
        assert one.schedules() == {"empty": big}


def test_a_change_puts_its_messages_as_put_does(queues):
    one, two = queues
    held = two.put(b"held", 0.0, key="slot-1")
    ids = one.schedule_change("report", None, b"s1", [
        SchedulePut(b"plain"),
        SchedulePut(b"urgent", priority=7, headers={"schedule": "report"}),
        SchedulePut(b"again", key="slot-1"),            # held by a live message
        SchedulePut(b"keyed", key="slot-2", unique_for=LEASE),
        SchedulePut(b"twice", key="slot-2"),            # the same key in one change
    ])
    assert ids is not None and ids[2] == held and ids[4] == ids[3]
    assert held < ids[0] < ids[1] < ids[3]
    infos = {i.id: i for i in two.peek(100, True)}
    assert sorted(infos) == sorted({held, *ids})
    assert [(infos[i].body, infos[i].state, infos[i].priority, infos[i].key, infos[i].headers)
            for i in ids] == [
        (b"plain", "ready", 0, None, {}),
        (b"urgent", "ready", 7, None, {"schedule": "report"}),
        (b"held", "ready", 0, "slot-1", {}),
        (b"keyed", "ready", 0, "slot-2", {}),
        (b"keyed", "ready", 0, "slot-2", {})]
    # Taken by priority, as any message; a key kept by unique_for after its
    # message left still names it, and one kept by none is free again.
    rows, _ = two.take(10, LEASE)
    assert [r[1] for r in rows] == [b"urgent", b"held", b"plain", b"keyed"]
    assert not two.ack_many([r[5] for r in rows])
    kept, free = one.schedule_change("report", b"s1", b"s2", [
        SchedulePut(b"retry", key="slot-2"), SchedulePut(b"free", key="slot-1")])
    assert kept == ids[3]
    assert bodies(two) == [(free, b"free")] and free > max(ids)


def test_a_change_wakes_the_watches_of_other_handles(queues):
    one, two = queues
    watch = two.watch()
    for change in [(None, b"a", ()), (b"a", b"b", [SchedulePut(b"job")]), (b"b", None, ())]:
        watch.arm()
        assert watch.fileno() is not None
        assert one.schedule_change("watched", *change) is not None
        readable, _, _ = select.select([watch.fileno()], [], [], 60)
        assert readable, f"the change {change[:2]} woke no other handle"


# --- races across processes ---

CHILD = textwrap.dedent("""
    import json, sys, threading
    from tarnwick_queue.driver import SchedulePut
    from tarnwick_queue.postgres import PostgresQueue
    dsn, name = sys.argv[1:3]
    queues = [PostgresQueue(dsn, name) for _ in range(2)]
    drivers = [queue.driver for queue in queues]
    for driver in drivers:
        driver.schedules()  # connected before the first round
    print(json.dumps("ready"), flush=True)
    for line in sys.stdin:
        round, expected, new = json.loads(line)
        expected, new = (None if s is None else s.encode() for s in (expected, new))
        start = threading.Barrier(2)
        results = [None, None]

        def change(i):
            start.wait()
            results[i] = drivers[i].schedule_change(
                "every-minute", expected, new, [SchedulePut(b"slot %d" % round)])

        threads = [threading.Thread(target=change, args=(i,)) for i in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        print(json.dumps(results), flush=True)
""")


def read(child, timeout=120.0):
    """The next line the child says, as JSON; fails when none comes."""
    readable, _, _ = select.select([child.stdout], [], [], timeout)
    assert readable, "the child said nothing"
    line = child.stdout.readline()
    assert line, f"the child ended (status {child.wait()}): {child.errors.read_text()}"
    return json.loads(line)


def round_states(round):
    """Rounds add the schedule, change it eight times, then remove it."""
    step = round % 10
    if step == 0:
        return None, "0"
    return str(step - 1), None if step == 9 else str(step)


def test_changes_racing_from_processes_on_two_connections_have_one_winner_a_round(
        pg_dsn, pg_name, tmp_path):
    children = []
    try:
        for n in range(3):
            errors = tmp_path / f"child-{n}.stderr"
            with open(errors, "wb") as err:
                child = subprocess.Popen([sys.executable, "-c", CHILD, pg_dsn, pg_name],
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=err)
            child.errors = errors
            children.append(child)
        for child in children:
            assert read(child) == "ready"
        winners = []
        for round in range(40):
            line = json.dumps([round, *round_states(round)]).encode() + b"\n"
            for child in children:
                child.stdin.write(line)
                child.stdin.flush()
            results = [r for child in children for r in read(child)]
            won = [r for r in results if r is not None]
            assert len(won) == 1, f"round {round}: {len(won)} of 6 changes won"
            winners.append(won[0])
        with PostgresQueue(pg_dsn, pg_name) as queue:
            assert queue.driver.schedules() == {}
            # One message a round, the one its winner was told of.
            assert bodies(queue.driver) == [(ids[0], b"slot %d" % round)
                                            for round, ids in enumerate(winners)]
    finally:
        for child in children:
            child.stdin.close()  # the child's loop ends
            try:
                child.wait(60)
            except subprocess.TimeoutExpired:
                child.send_signal(signal.SIGKILL)
                child.wait()
            child.stdout.close()


# --- unknown outcomes and crashes ---


@pytest.fixture
def proxy(pg_dsn):
    proxy = CuttingProxy(int(conninfo_to_dict(pg_dsn)["port"]))
    yield proxy
    proxy.close()


@pytest.mark.parametrize("cut", ["before", "after"])
def test_a_change_whose_reply_is_lost_is_read_again_and_never_doubled(
        pg_dsn, pg_name, proxy, cut):
    through = make_conninfo(pg_dsn, port=proxy.port, sslmode="disable")
    with PostgresQueue(through, pg_name) as queue, PostgresQueue(pg_dsn, pg_name) as observer:
        driver = queue.driver
        assert driver.schedule_change("s", None, b"1") == []
        proxy.cut_next(cut)
        with pytest.raises(ConnectionLost, match="schedule"):
            driver.schedule_change("s", b"1", b"2", [SchedulePut(b"fired"), SchedulePut(b"too")])
        assert proxy.cuts == 1
        # The face's retry: read the state again (connecting anew), and
        # change it only from what it holds.
        state = driver.schedules()["s"]
        assert state == (b"1" if cut == "before" else b"2")
        if cut == "before":
            assert bodies(observer.driver) == []
            assert driver.schedule_change("s", b"1", b"2", [SchedulePut(b"fired"),
                                                            SchedulePut(b"too")]) is not None
        else:
            assert driver.schedule_change("s", b"1", b"2", [SchedulePut(b"fired")]) is None
        assert [b for _, b in bodies(observer.driver)] == [b"fired", b"too"]


def test_a_server_stopped_under_changes_leaves_each_whole_or_not_at_all(
        stoppable_pg_server, pg_dsn, pg_name):
    width = 200  # messages a change puts: a change is under way most of the time
    with PostgresQueue(pg_dsn, pg_name) as queue:
        driver = queue.driver
        assert driver.schedule_change("s", None, b"0") == []
        returned, raised, wrong = [], [], []
        some_done = threading.Event()

        def change_on():
            for n in range(1, 10_000):
                puts = [SchedulePut(b"%d:%d" % (n, j)) for j in range(width)]
                try:
                    ids = driver.schedule_change("s", b"%d" % (n - 1), b"%d" % n, puts)
                except ConnectionLost:
                    raised.append(n)
                    return
                if ids is None or len(ids) != width:
                    wrong.append((n, ids))
                    return
                returned.append(n)
                if n == 5:
                    some_done.set()

        changer = threading.Thread(target=change_on)
        changer.start()
        assert some_done.wait(120)
        stoppable_pg_server.stop("immediate")
        changer.join(120)
        assert not changer.is_alive() and not wrong and raised
    stoppable_pg_server.restart()
    with PostgresQueue(pg_dsn, pg_name) as queue:
        driver = queue.driver
        state = int(driver.schedules()["s"])
        # Every change that returned is there; the one cut short is there
        # whole or not at all, and nothing after it.
        assert state in (returned[-1], raised[0]) and raised[0] == returned[-1] + 1
        assert [b for _, b in bodies(driver)] == [b"%d:%d" % (n, j) for n in range(1, state + 1)
                                                  for j in range(width)]
        # The face goes on from what it reads.
        assert driver.schedule_change("s", b"%d" % state, b"%d" % (state + 1)) == []


# --- the upgrade ---


@pytest.fixture
def old_db(pg_dsn):
    """A database of its own with the tables of the schema steps before
    schedules."""
    name = f"tw_schedules_{os.getpid()}_{time.monotonic_ns()}"
    with psycopg.connect(pg_dsn, autocommit=True) as admin:
        admin.execute(f"CREATE DATABASE {name}")
    dsn = make_conninfo(pg_dsn, dbname=name)
    with psycopg.connect(dsn, autocommit=True) as conn:
        conn.execute("CREATE TABLE tarnwick_schema (version integer PRIMARY KEY, "
                     "applied_at timestamptz NOT NULL DEFAULT now())")
        for version, statements in MIGRATIONS:
            if version < 5:
                for statement in statements:
                    conn.execute(statement)
                conn.execute("INSERT INTO tarnwick_schema (version) VALUES (%s)", (version,))
    yield dsn
    with psycopg.connect(pg_dsn, autocommit=True) as admin:
        admin.execute(f"DROP DATABASE {name} WITH (FORCE)")


def test_a_database_made_before_schedules_upgrades_with_its_messages(old_db):
    with psycopg.connect(old_db, autocommit=True) as conn:
        # As the release before wrote it: a keyed message.
        conn.execute("""INSERT INTO tarnwick_messages (queue, body, enqueued_at, due_at, key)
                        VALUES ('q', 'old', now(), now(), 'slot-1')""")
    with PostgresQueue(old_db, "q", lease=LEASE) as queue:
        driver = queue.driver
        assert driver.schedules() == {}
        with psycopg.connect(old_db, autocommit=True) as conn:
            assert conn.execute("SELECT max(version) FROM tarnwick_schema").fetchone()[0] \
                == SCHEMA_VERSION
        (old,) = bodies(driver)
        # The key of a message written before holds for a change's put.
        ids = driver.schedule_change("s", None, b"1", [SchedulePut(b"new", key="slot-1"),
                                                       SchedulePut(b"other")])
        assert ids is not None and ids[0] == old[0]
        assert [b for _, b in bodies(driver)] == [b"old", b"other"]
        assert driver.schedules() == {"s": b"1"}
