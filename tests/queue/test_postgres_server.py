"""What only the PostgreSQL backend has: enqueueing inside the caller's
transaction, the versioned schema, connections given or dropped."""

import os
import subprocess
import sys
import threading
import time

import pytest

psycopg = pytest.importorskip("psycopg")
from psycopg.conninfo import make_conninfo  # noqa: E402

from tarnwick_queue import Empty  # noqa: E402
from tarnwick_queue.postgres import ConnectionLost, PostgresQueue, SchemaTooNew  # noqa: E402
from tarnwick_queue.postgres.schema import LATEST, MIGRATIONS  # noqa: E402


@pytest.fixture
def admin(pg_dsn):
    with psycopg.connect(pg_dsn, autocommit=True) as conn:
        yield conn


@pytest.fixture
def fresh_db(pg_dsn, admin):
    """A database of its own, without the tarnwick tables."""
    name = f"tw_fresh_{os.getpid()}_{time.monotonic_ns()}"
    admin.execute(f"CREATE DATABASE {name}")
    yield make_conninfo(pg_dsn, dbname=name)
    admin.execute(f"DROP DATABASE {name} WITH (FORCE)")


def test_put_in_the_callers_transaction_exists_only_if_it_commits(pg_dsn, pg_name):
    with PostgresQueue(pg_dsn, pg_name) as queue, psycopg.connect(pg_dsn) as conn:
        queue.put(b"rolled back", connection=conn)
        assert queue.stats()["total"] == 0  # not visible before the commit
        conn.rollback()
        assert queue.stats()["total"] == 0
        got = []
        waiter = threading.Thread(target=lambda: got.append(queue.get(timeout=10)))
        waiter.start()
        conn.execute("CREATE TEMP TABLE app (x int)")  # the application's own work
        ids = queue.put_many([b"a", b"b"], connection=conn, delay=0.0)
        time.sleep(0.2)
        assert not got  # the commit, not the insert, wakes a waiter
        conn.commit()
        waiter.join()
        assert got[0].id == ids[0] and got[0].body == b"a"
        assert [m.body for m in queue.get_many(5)] == [b"b"]
        with pytest.raises(TypeError):
            queue.put(b"x", connection="dbname=x")


def test_a_given_connection_is_used_and_left_open(pg_dsn, pg_name):
    with psycopg.connect(pg_dsn) as conn:
        with pytest.raises(ValueError, match="autocommit"):
            PostgresQueue(conn, pg_name)
        conn.autocommit = True
        with PostgresQueue(conn, pg_name) as queue:
            queue.put(b"x")
            assert queue.get_nowait().body == b"x"
        assert not conn.closed
        # The take's plan setting lasted its own transaction only.
        assert conn.execute("SHOW enable_bitmapscan").fetchone()[0] == "on"
    with pytest.raises(TypeError):
        PostgresQueue(42, pg_name)
    for bad in ("", "x" * 201, "a\x00b"):
        with pytest.raises(ValueError):
            PostgresQueue(pg_dsn, bad)
    with pytest.raises(ValueError):
        PostgresQueue(pg_dsn, pg_name, lease=0)
    with pytest.raises(ConnectionLost, match="cannot connect"):
        PostgresQueue("host=127.0.0.1 port=1 connect_timeout=2", pg_name)
    queue = PostgresQueue(pg_dsn, pg_name)
    queue.close()
    with pytest.raises(ValueError, match="closed"):
        queue.put(b"x")


def test_a_take_walks_the_index_in_order_before_the_table_is_analyzed(fresh_db):
    # Without statistics the planner guesses a queue holds a few rows and
    # would scan all of them and sort them for every take. The walk runs
    # inside the take's function: auto_explain shows its plan.
    with PostgresQueue(fresh_db, "deep") as queue:
        queue.put_many([b"x"] * 5000)
        plans = []

        def explain(conn):
            conn.add_notice_handler(lambda d: plans.append(d.message_primary))
            conn.execute("LOAD 'auto_explain'")
            conn.execute("SET auto_explain.log_min_duration = 0")
            conn.execute("SET auto_explain.log_nested_statements = on")
            conn.execute("SET client_min_messages = log")

        queue.driver.link.run("explain", "", explain)
        rows, _ = queue.driver.take(3, 30.0)
        queue.driver.link.run("explain", "", lambda conn: conn.execute(
            "RESET client_min_messages; RESET auto_explain.log_min_duration"))
        (walk,) = [p for p in plans if "ORDER BY t.priority DESC, t.id" in p]
        assert "Index Scan using tarnwick_messages_next" in walk and "Sort" not in walk, walk
        assert [row[0] for row in rows] == [1, 2, 3]


def test_queues_of_other_names_do_not_mix(pg_dsn, pg_name):
    with PostgresQueue(pg_dsn, pg_name + "a") as a, PostgresQueue(pg_dsn, pg_name + "b") as b:
        a.put(b"for a")
        with pytest.raises(Empty):
            b.get(timeout=0.1)
        assert b.stats()["total"] == 0 and b.peek() == []
        assert a.get_nowait().body == b"for a"


def test_ids_grow_and_are_never_reused(pg_dsn, pg_name):
    with PostgresQueue(pg_dsn, pg_name) as queue:
        first = queue.put_many([b"1", b"2", b"3"])
        assert first == sorted(first)
        for message in queue.get_many(3):
            message.ack()
        queue.put(b"4")
        queue.purge()
        assert queue.stats()["total"] == 0
        assert queue.put(b"5") > first[-1] + 1


def test_schema_is_made_once_by_racing_first_users(fresh_db):
    script = ("import sys; from tarnwick_queue.postgres import PostgresQueue; "
              "PostgresQueue(sys.argv[1], 'q').put(b'x')")
    racers = [subprocess.Popen([sys.executable, "-c", script, fresh_db]) for _ in range(4)]
    assert [p.wait(timeout=60) for p in racers] == [0] * 4
    with psycopg.connect(fresh_db, autocommit=True) as conn:
        assert conn.execute("SELECT version FROM tarnwick_schema ORDER BY version").fetchall() \
            == [(version,) for version, _ in MIGRATIONS]
        assert conn.execute("SELECT count(*) FROM tarnwick_messages").fetchone() == (4,)
        conn.execute("INSERT INTO tarnwick_schema (version) VALUES (%s)", (LATEST + 1,))
    with pytest.raises(SchemaTooNew, match="newer"):
        PostgresQueue(fresh_db, "q")


def test_tables_of_the_first_schema_are_upgraded_in_place(fresh_db):
    with psycopg.connect(fresh_db, autocommit=True) as conn:
        conn.execute("CREATE TABLE tarnwick_schema (version integer PRIMARY KEY, "
                     "applied_at timestamptz NOT NULL DEFAULT now())")
        for statement in MIGRATIONS[0][1]:
            conn.execute(statement)
        conn.execute("INSERT INTO tarnwick_schema (version) VALUES (1)")
        conn.execute("INSERT INTO tarnwick_messages (queue, body, enqueued_at, due_at, "
                     "deliveries, lease) VALUES ('q', 'old', now(), now() + interval '1 hour', "
                     "1, gen_random_uuid()), ('q', 'new', now(), now(), 0, NULL)")
    with PostgresQueue(fresh_db, "q") as queue:
        old, new = queue.peek()
        assert (old.state, old.started_at, old.extensions, old.consumer) == (
            "leased", None, 0, None)
        assert queue.stats()["oldest_running_id"] is None
        status = queue.driver.status(old.id)
        assert (status.state, status.deliveries, status.started_at, status.consumers) == (
            "leased", 1, None, ())
        taken = queue.get(timeout=5)
        assert taken.id == new.id and queue.peek()[1].consumer is not None
        assert queue.driver.status(new.id).consumers == (queue.peek()[1].consumer,)
    with psycopg.connect(fresh_db, autocommit=True) as conn:
        assert conn.execute("SELECT max(version) FROM tarnwick_schema").fetchone() == (LATEST,)


def test_a_dropped_connection_fails_one_call_clearly_then_reconnects(pg_dsn, pg_name, admin):
    app = f"tw_victim_{os.getpid()}"
    victim = make_conninfo(pg_dsn, application_name=app)

    def drop():
        assert admin.execute("SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                             "WHERE application_name = %s", (app,)).fetchall()

    with PostgresQueue(victim, pg_name) as queue:
        acknowledged = {queue.put(b"before")}
        drop()
        with pytest.raises(ConnectionLost, match="may or may not have been stored"):
            queue.put(b"unknown")
        acknowledged.add(queue.put(b"after"))
        message = queue.get_nowait()
        drop()
        with pytest.raises(ConnectionLost, match="ack"):
            message.ack()
        message.ack()  # the lease lives on the server: the same message settles
        drop()
        with pytest.raises(ConnectionLost):
            queue.stats()
        rest = {m.id: m for m in queue.get_many(10)}
        assert acknowledged - {message.id} <= set(rest)
        drop()
        with pytest.raises(ConnectionLost, match="ack_many"):
            queue.ack_many(rest.values())
        assert not any(m.settled for m in rest.values())
        queue.ack_many(rest.values())
        # A wait whose connections drop: the call fails, the next one works.
        outcome = []
        waiter = threading.Thread(target=lambda: outcome.append(_get_or_error(queue)))
        waiter.start()
        give_up = time.monotonic() + 30
        while not admin.execute("SELECT 1 FROM pg_stat_activity WHERE application_name = %s "
                                "AND query LIKE 'LISTEN %%'", (app,)).fetchall():
            assert time.monotonic() < give_up, "the get never waited"
            time.sleep(0.05)
        drop()
        waiter.join()
        assert isinstance(outcome[0], ConnectionLost)
        queue.put(b"later")
        assert queue.get(timeout=5).body == b"later"


def test_a_socket_failure_seen_before_psycopg_marks_the_connection_broken_is_connection_lost(
        pg_dsn, pg_name):
    # On a busy machine a terminated backend's socket can fail while psycopg
    # waits on it: it raises "connection socket closed" before libpq has
    # marked the connection bad.
    def socket_fails(conn):
        raise psycopg.OperationalError("connection socket closed")

    with PostgresQueue(pg_dsn, pg_name) as queue:
        queue.put(b"kept")
        with pytest.raises(ConnectionLost, match="^peek: .*; nothing was changed; the next call"):
            queue.driver.link.run("peek", "nothing was changed", socket_fails)
        assert [m.body for m in queue.get_many(5)] == [b"kept"]  # on a new connection
        # An error the server reports is the statement's: the connection stays.
        before = queue.driver.link.run("pid", "", lambda conn: conn.info.backend_pid)
        with pytest.raises(psycopg.errors.DivisionByZero):
            queue.driver.link.run("divide", "", lambda conn: conn.execute("SELECT 1/0"))
        assert queue.driver.link.run("pid", "", lambda conn: conn.info.backend_pid) == before


def _get_or_error(queue):
    try:
        return queue.get(timeout=60)
    except Exception as exc:
        return exc


def test_far_deadlines_stay_in_range(pg_dsn, pg_name):
    with PostgresQueue(pg_dsn, pg_name, lease=1e15) as queue:
        queue.put(b"later", delay=1e15)
        queue.put(b"now")
        message = queue.get_nowait()
        assert message.body == b"now" and message.lease_expires_at > time.time() + 1e11
        message.nack(delay=1e300)
        assert [i.state for i in queue.peek()] == ["scheduled", "scheduled"]  # nacked with a delay
        with pytest.raises(Empty):
            queue.get_nowait()
