"""What PostgreSQL alone must show of priorities, keys, groups, cancel and
pause: an upgrade in place from a database made before them, and each rule
held between connections racing each other (every handle here has its own
connection, as another machine would), also through a server crash."""

import threading
import time

import pytest

psycopg = pytest.importorskip("psycopg")
from processes import wait_for  # noqa: E402
from psycopg.conninfo import make_conninfo  # noqa: E402

from tarnwick_queue.postgres import SCHEMA_VERSION, PostgresQueue  # noqa: E402
from tarnwick_queue.postgres.schema import MIGRATIONS  # noqa: E402

LEASE = 60.0


def take_all(driver, n=100):
    rows, _ = driver.take(n, LEASE)
    return rows


def wait_take(driver, timeout):
    """What a blocking get does, on the driver: arm, look, sleep."""
    watch = driver.watch()
    give_up = time.monotonic() + timeout
    while time.monotonic() < give_up:
        watch.arm()
        rows, due = driver.take(1, LEASE)
        if rows:
            return rows[0]
        watch.wait(min(give_up - time.monotonic(), due if due is not None else 60.0))
    return None


def group_counts_hold(dsn, name):
    """The invariant the limit rests on: each group row counts its leases."""
    with psycopg.connect(dsn, autocommit=True) as conn:
        return conn.execute(
            """SELECT g.grp, g.leased, (SELECT count(*) FROM tarnwick_messages m
                 WHERE m.queue = g.queue AND m.grp = g.grp AND m.lease IS NOT NULL)
               FROM tarnwick_groups g WHERE g.queue = %s""", (name,)).fetchall()


def assert_counts(dsn, name):
    for grp, leased, counted in group_counts_hold(dsn, name):
        assert leased == counted, (grp, leased, counted)


@pytest.fixture
def old_dsn(pg_dsn, pg_name):
    """A database of its own, with the tables made by the steps before this one."""
    db = "tw_upgrade_" + str(abs(hash(pg_name)))
    with psycopg.connect(pg_dsn, autocommit=True) as conn:
        conn.execute(f"DROP DATABASE IF EXISTS {db}")
        conn.execute(f"CREATE DATABASE {db}")
    dsn = make_conninfo(pg_dsn, dbname=db)
    with psycopg.connect(dsn, autocommit=True) as conn:
        conn.execute("CREATE TABLE tarnwick_schema (version integer PRIMARY KEY, "
                     "applied_at timestamptz NOT NULL DEFAULT now())")
        for version, statements in MIGRATIONS:
            if version < 3:
                for statement in statements:
                    conn.execute(statement)
                conn.execute("INSERT INTO tarnwick_schema (version) VALUES (%s)", (version,))
    yield dsn
    with psycopg.connect(pg_dsn, autocommit=True) as conn:
        conn.execute(f"DROP DATABASE IF EXISTS {db} WITH (FORCE)")


def test_a_database_made_before_upgrades_in_place(old_dsn):
    with psycopg.connect(old_dsn, autocommit=True) as conn:
        # As the release before wrote them: two ready, one leased, one delayed.
        conn.execute("""INSERT INTO tarnwick_messages (queue, body, enqueued_at, due_at)
                        SELECT 'old', b, now(), now() FROM unnest(%s::bytea[]) AS b""",
                     ([b"one", b"two", b"held"],))
        conn.execute("""UPDATE tarnwick_messages SET lease = gen_random_uuid(), deliveries = 1,
                        due_at = now() + interval '1 hour' WHERE body = 'held'""")
        conn.execute("""INSERT INTO tarnwick_messages (queue, body, enqueued_at, due_at)
                        VALUES ('old', 'later', now(), now() + interval '1 hour')""")
    with PostgresQueue(old_dsn, "old") as queue:
        with psycopg.connect(old_dsn, autocommit=True) as conn:
            assert conn.execute("SELECT max(version) FROM tarnwick_schema").fetchone()[0] \
                == SCHEMA_VERSION
        assert [(i.state, i.priority, i.key, i.group, i.headers) for i in queue.peek()] == [
            ("ready", 0, None, None, {}), ("ready", 0, None, None, {}),
            ("leased", 0, None, None, {}), ("scheduled", 0, None, None, {})]
        stats = queue.stats()
        assert (stats["ready"], stats["in_flight"], stats["scheduled"], stats["paused"]) == \
            (2, 1, 1, False)
        assert queue.driver.group_limit() == 1
        rows = take_all(queue.driver)
        assert [(r[1], r[6:]) for r in rows] == [(b"one", (0, None, None, None)),
                                                 (b"two", (0, None, None, None))]
        # New messages beside the old ones follow the new rules.
        queue.driver.put(b"urgent", 0.0, priority=9, group="g")
        queue.driver.nack(rows[0][5], 0.0)
        assert [r[1] for r in take_all(queue.driver)] == [b"urgent", b"one"]


def test_two_connections_putting_one_key_store_one_message(pg_dsn, pg_name):
    queues = [PostgresQueue(pg_dsn, pg_name) for _ in range(4)]
    try:
        for round in range(20):
            barrier = threading.Barrier(len(queues))
            ids = []

            def put(queue, barrier=barrier, ids=ids, key=f"k{round}"):
                barrier.wait()
                ids.append(queue.driver.put(b"job", 0.0, key=key, unique_for=60.0))

            threads = [threading.Thread(target=put, args=(q,)) for q in queues]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            assert len(set(ids)) == 1, ids
        assert queues[0].stats()["total"] == 20
    finally:
        for q in queues:
            q.close()


def test_a_put_meeting_a_leaving_message_returns_its_kept_id(pg_dsn, pg_name):
    # A transaction that deletes the keyed message and keeps its key (what
    # an ack does) is held open; a put of the key waits on the unique index,
    # and once the other commits it must find the kept key, not store a copy.
    app = f"tw_key_{pg_name[-20:]}"
    with PostgresQueue(pg_dsn, pg_name) as queue, \
            PostgresQueue(make_conninfo(pg_dsn, application_name=app), pg_name) as putter, \
            psycopg.connect(pg_dsn) as conn:
        first = queue.driver.put(b"job", 0.0, key="once", unique_for=60.0)
        conn.execute("DELETE FROM tarnwick_messages WHERE queue = %s AND id = %s",
                     (pg_name, first))
        conn.execute("INSERT INTO tarnwick_kept_keys VALUES (%s, 'once', %s, "
                     "now() + interval '1 minute')", (pg_name, first))
        got = []
        thread = threading.Thread(target=lambda: got.append(
            putter.driver.put(b"again", 0.0, key="once")))
        thread.start()
        wait_for(lambda: conn.execute(
            "SELECT 1 FROM pg_stat_activity WHERE application_name = %s "
            "AND wait_event_type = 'Lock'", (app,)).fetchone() is not None, 30,
            "the put to wait on the key")
        conn.commit()
        thread.join(30)
        assert got == [first]
        assert queue.stats()["total"] == 0
        # Without a window the key is free once its message left.
        second = queue.driver.put(b"job", 0.0, key="free")
        (row,) = take_all(queue.driver)
        assert queue.driver.ack(row[5])
        assert queue.driver.put(b"job", 0.0, key="free") > second


def test_two_connections_on_a_group_never_both_hold_a_lease(pg_dsn, pg_name):
    producer = PostgresQueue(pg_dsn, pg_name, group_limit=1)
    consumers = [PostgresQueue(pg_dsn, pg_name) for _ in range(3)]
    for g in range(3):
        producer.driver.put_many([f"{g} {i}".encode() for i in range(30)], 0.0,
                                 group=f"g{g}", priority=g)
    producer.driver.put_many([b"free %d" % i for i in range(30)], 0.0)
    lock = threading.Lock()
    holding = {}  # group -> ids leased now
    order = {}    # group -> ids in the order they were leased
    errors = []

    def consume(queue):
        try:
            while True:
                rows, _ = queue.driver.take(2, LEASE)
                if not rows:
                    with lock:
                        if sum(len(v) for v in order.values()) >= 120:
                            return
                    time.sleep(0.01)  # the others hold every group now
                    continue
                with lock:
                    for row in rows:
                        group = row[8] or "-"
                        held = holding.setdefault(group, set())
                        held.add(row[0])
                        assert group == "-" or len(held) == 1, (group, held)
                        order.setdefault(group, []).append(row[0])
                time.sleep(0.002)  # held a while: an overlap has time to show
                for row in rows:
                    with lock:
                        # Before the settle: the lease ends after it.
                        holding[row[8] or "-"].discard(row[0])
                    # Every fourth one returned: the group goes on with it.
                    if row[0] % 4 == 0 and row[2] == 1:
                        with lock:
                            order[row[8] or "-"].remove(row[0])
                        assert queue.driver.nack(row[5], 0.0)
                    else:
                        assert queue.driver.ack(row[5])
        except BaseException as exc:
            errors.append(exc)

    threads = [threading.Thread(target=consume, args=(q,)) for q in consumers]
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        assert not errors, errors
        for g in range(3):
            assert order[f"g{g}"] == sorted(order[f"g{g}"])
        assert producer.stats()["total"] == 0
        assert_counts(pg_dsn, pg_name)
    finally:
        for q in [producer] + consumers:
            q.close()


def test_cancel_racing_a_take_has_one_winner(pg_dsn, pg_name):
    with PostgresQueue(pg_dsn, pg_name) as taker, PostgresQueue(pg_dsn, pg_name) as canceller:
        for _ in range(100):
            id = taker.driver.put(b"job", 0.0, group="g")
            barrier = threading.Barrier(2)
            outcome = {}

            def take(barrier=barrier, outcome=outcome):
                barrier.wait()
                outcome["taken"] = take_all(taker.driver)

            def cancel(barrier=barrier, outcome=outcome, id=id):
                barrier.wait()
                outcome["cancelled"] = canceller.driver.cancel(id)

            threads = [threading.Thread(target=take), threading.Thread(target=cancel)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(30)
            assert outcome["cancelled"] != bool(outcome["taken"]), outcome
            if outcome["taken"]:
                assert taker.driver.ack(outcome["taken"][0][5])
            assert taker.stats()["total"] == 0
        assert_counts(pg_dsn, pg_name)


def test_cancel_takes_ready_and_scheduled_messages_only(pg_dsn, pg_name):
    with PostgresQueue(pg_dsn, pg_name) as queue:
        d = queue.driver
        leased, returned, later = (d.put(b, 0.0, key=b.decode(), unique_for=60.0, group="g")
                                   for b in (b"leased", b"returned", b"later"))
        (row,) = d.take(1, LEASE)[0]
        assert not d.cancel(leased) and not d.cancel(10**12)
        assert d.nack(row[5], 3600.0)  # scheduled now, its slot freed
        assert [i.state for i in d.peek(3, False)] == ["scheduled", "ready", "ready"]
        assert queue.stats()["in_flight"] == 0 and queue.stats()["scheduled"] == 1
        assert d.cancel(leased) and d.cancel(returned)
        assert not d.cancel(returned)
        (row,) = d.take(1, 0.05)[0]  # its lease runs out on purpose: ready again
        assert row[0] == later
        wait_for(lambda: d.peek(1, False)[0].state == "ready", 30, "the lease to end")
        assert_counts(pg_dsn, pg_name)
        assert d.cancel(later)
        assert_counts(pg_dsn, pg_name)
        # Cancelled keys are kept for their window.
        assert d.put(b"x", 0.0, key="leased") == leased


def test_pause_is_seen_by_a_waiting_get_elsewhere_and_resume_wakes_it(pg_dsn, pg_name):
    with PostgresQueue(pg_dsn, pg_name) as admin, PostgresQueue(pg_dsn, pg_name) as consumer:
        admin.driver.pause()
        admin.driver.put(b"job", 0.0)
        rows, due = consumer.driver.take(1, LEASE)
        assert rows == [] and due is None  # nothing to wait for but a resume
        assert consumer.stats()["paused"] and consumer.stats()["ready"] == 1
        got = []
        thread = threading.Thread(target=lambda: got.append(wait_take(consumer.driver, 120)))
        thread.start()
        # Puts and settles go on while paused; the waiter takes none of them.
        admin.driver.put(b"two", 0.0)
        assert admin.stats()["in_flight"] == 0
        admin.driver.resume()
        thread.join(120)
        assert got and got[0][1] == b"job"
        assert not consumer.driver.is_paused()


def test_the_group_limit_is_stored_with_the_queue(pg_dsn, pg_name):
    with PostgresQueue(pg_dsn, pg_name, group_limit=2) as first:
        with PostgresQueue(pg_dsn, pg_name) as second:
            assert second.driver.group_limit() == 2
            first.driver.put_many([b"1", b"2", b"3"], 0.0, group="g")
            assert [r[1] for r in take_all(second.driver)] == [b"1", b"2"]
            first.driver.set_group_limit(3)
            assert [r[1] for r in take_all(second.driver)] == [b"3"]
    with PostgresQueue(pg_dsn, pg_name) as again:
        assert again.driver.group_limit() == 3


@pytest.fixture
def server(stoppable_pg_server):
    return stoppable_pg_server


def test_a_group_slot_holds_through_a_server_crash(server, pg_dsn, pg_name):
    with PostgresQueue(pg_dsn, pg_name) as queue:
        queue.driver.put_many([b"first", b"second"], 0.0, group="g")
        queue.driver.put(b"free", 0.0)
        queue.driver.pause()
        queue.driver.resume()
        (held,) = queue.driver.take(1, LEASE)[0]
        queue.driver.pause()
    server.stop("immediate")
    server.restart()
    with PostgresQueue(pg_dsn, pg_name) as queue:
        assert queue.driver.is_paused() and take_all(queue.driver) == []
        queue.driver.resume()
        # The group's slot is still the first one's: only the free message goes.
        assert [r[1] for r in take_all(queue.driver)] == [b"free"]
        assert_counts(pg_dsn, pg_name)
        assert queue.driver.ack(held[5])
        assert [r[1] for r in take_all(queue.driver)] == [b"second"]



def test_an_ack_many_chosen_to_break_a_deadlock_is_run_again(pg_dsn, pg_name):
    # An ack_many of two groups' messages locks both group rows. A
    # transaction holding one and then asking for the other deadlocks with
    # it; the server aborts the ack_many (this side waits longer before it
    # checks), which must then run again and ack both once the other ends.
    # Which row the ack_many locks first is the server's choice, so both
    # orders are tried: one of them deadlocks.
    with PostgresQueue(pg_dsn, pg_name, group_limit=2) as q, \
            psycopg.connect(pg_dsn) as other:
        other.execute("SET deadlock_timeout = '20s'")
        other.commit()
        for first, second in (("a", "b"), ("b", "a")):
            q.put(b"1", group="a")
            q.put(b"2", group="b")
            messages = q.get_many(2, lease=LEASE)
            assert len(messages) == 2
            lock = ("SELECT FROM tarnwick_groups WHERE queue = %s AND grp = %s FOR UPDATE")
            other.execute(lock, (pg_name, first))
            errors = []

            def ack(messages=messages, errors=errors):
                try:
                    q.ack_many(messages)
                except Exception as exc:  # reported below
                    errors.append(exc)

            acker = threading.Thread(target=ack)
            acker.start()
            with psycopg.connect(pg_dsn, autocommit=True) as look:
                wait_for(lambda: look.execute(
                    "SELECT count(*) FROM pg_locks WHERE NOT granted").fetchone()[0] > 0,
                    30, "the ack_many to wait for a lock")
            other.execute(lock, (pg_name, second))
            other.commit()
            acker.join(60)
            assert errors == [] and q.stats()["total"] == 0
        assert_counts(pg_dsn, pg_name)



def test_a_take_past_many_later_messages_of_a_group_keeps_the_order(pg_dsn, pg_name):
    # 1100 later messages of "a" rank ahead of its first: the walk over every
    # ready row gives way to the merge of group firsts and ungrouped ones.
    with PostgresQueue(pg_dsn, pg_name, group_limit=1) as queue:
        queue.driver.put(b"a0", 0.0, priority=-10, group="a")
        queue.driver.put_many([b"a-later"] * 1100, 0.0, priority=10, group="a")
        queue.driver.put(b"u", 0.0, priority=0)
        queue.driver.put(b"b0", 0.0, priority=5, group="b")
        queue.driver.put(b"b1", 0.0, priority=50, group="b")
        assert [r[1] for r in take_all(queue.driver)] == [b"b0", b"u", b"a0"]
        assert take_all(queue.driver) == []
        assert_counts(pg_dsn, pg_name)
