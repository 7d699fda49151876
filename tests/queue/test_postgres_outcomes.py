"""What PostgreSQL alone must show of outcomes: expired ones pruned by any
client (two at once, neither waiting for the other), kept ones staying, the
upgrade of a database made before them with live messages in it, a settle
and its outcome committed together (a reply lost after the commit, a server
stopped under a stream of acks), acks racing from two connections, ids not
handed out again after a purge, and plans that stay lookups as outcomes
pile up.

Driver-level where the face adds nothing: a token is the driver's (id,
lease) pair, which any handle of the queue can present, as a consumer
repeating a call after a lost connection does."""

import os
import threading
import time

import pytest

psycopg = pytest.importorskip("psycopg")
from pg_proxy import CuttingProxy  # noqa: E402
from psycopg.conninfo import conninfo_to_dict, make_conninfo  # noqa: E402

from tarnwick_queue.postgres import SCHEMA_VERSION, ConnectionLost, PostgresQueue  # noqa: E402
from tarnwick_queue.postgres import driver as pg_driver  # noqa: E402
from tarnwick_queue.postgres.driver import PRUNE_BATCH, PRUNE_SQL, STATUS_SQL, outcomes_sql  # noqa: E402
from tarnwick_queue.postgres.schema import MIGRATIONS  # noqa: E402

LEASE = 60.0  # holds through every step; no test waits for it
LONG = 3600.0


@pytest.fixture
def admin(pg_dsn):
    with psycopg.connect(pg_dsn, autocommit=True) as conn:
        yield conn


def _database(pg_dsn, admin, steps_below=None):
    name = f"tw_outcomes_{os.getpid()}_{time.monotonic_ns()}"
    admin.execute(f"CREATE DATABASE {name}")
    dsn = make_conninfo(pg_dsn, dbname=name)
    if steps_below is not None:
        with psycopg.connect(dsn, autocommit=True) as conn:
            conn.execute("CREATE TABLE tarnwick_schema (version integer PRIMARY KEY, "
                         "applied_at timestamptz NOT NULL DEFAULT now())")
            for version, statements in MIGRATIONS:
                if version < steps_below:
                    for statement in statements:
                        conn.execute(statement)
                    conn.execute("INSERT INTO tarnwick_schema (version) VALUES (%s)",
                                 (version,))
    return name, dsn


@pytest.fixture
def fresh_db(pg_dsn, admin):
    """A database of its own: pruning deletes the expired outcomes of every
    queue in the database, so counts are exact only here."""
    name, dsn = _database(pg_dsn, admin)
    yield dsn
    admin.execute(f"DROP DATABASE {name} WITH (FORCE)")


@pytest.fixture
def old_db(pg_dsn, admin):
    """A database with the tables of the schema steps before outcomes."""
    name, dsn = _database(pg_dsn, admin, steps_below=4)
    yield dsn
    admin.execute(f"DROP DATABASE {name} WITH (FORCE)")


def put_and_take(queue, n, **options):
    ids = queue.driver.put_many([b"job"] * n, 0.0, **options)
    rows, _ = queue.driver.take(n, LEASE)
    assert [r[0] for r in rows] == ids
    return rows


def kept_rows(dsn, queue_name):
    with psycopg.connect(dsn, autocommit=True) as conn:
        return conn.execute("SELECT id, state, keep_until > now() FROM tarnwick_outcomes "
                            "WHERE queue = %s ORDER BY id", (queue_name,)).fetchall()


def wait_expired(dsn, queue_name):
    """Until the server's clock has passed the keep_until of every outcome
    of the queue kept briefly on purpose (a millisecond)."""
    with psycopg.connect(dsn, autocommit=True) as conn:
        while conn.execute("SELECT count(*) FROM tarnwick_outcomes WHERE queue = %s AND "
                           "keep_until >= now() AND keep_until < now() + interval '1 minute'",
                           (queue_name,)).fetchone()[0]:
            time.sleep(0.01)


# --- pruning ---


def test_expired_outcomes_go_with_a_later_settle_and_kept_ones_stay(fresh_db):
    with PostgresQueue(fresh_db, "q", keep_acked=0.001, keep_dead=0.001) as brief, \
            PostgresQueue(fresh_db, "q", keep_acked=LONG, keep_dead=LONG) as lasting:
        # Each prunes once, at its first take, and not again in this test.
        brief.driver.prune_every = lasting.driver.prune_every = LONG
        stay = put_and_take(lasting, 2)
        assert lasting.driver.ack(stay[0][5], b"kept") and lasting.driver.bury(stay[1][5], "")
        gone = put_and_take(brief, 3)
        assert brief.driver.ack(gone[0][5], b"r") and brief.driver.ack_many(
            [gone[1][5]]) == [] and brief.driver.bury(gone[2][5], "why")
        wait_expired(fresh_db, "q")
        # Expired is gone for status() at once, pruned or not.
        assert [brief.driver.status(r[0]) for r in gone] == [None] * 3
        assert len(kept_rows(fresh_db, "q")) == 5
    # A new handle's first take or settle prunes (then every prune_every
    # seconds), on any queue.
    with PostgresQueue(fresh_db, "other", keep_acked=LONG) as third:
        third.driver.prune_every = LONG
        (row,) = put_and_take(third, 1)
        assert third.driver.ack(row[5])
        assert kept_rows(fresh_db, "q") == [(stay[0][0], "acked", True),
                                            (stay[1][0], "dead", True)]
        with PostgresQueue(fresh_db, "q") as looking:
            assert looking.driver.status(stay[0][0]).result == b"kept"
        assert third.driver.status(row[0]).state == "acked"
        # Within the interval, nothing more is pruned by settles.
        brief2 = put_and_take(third, 1)
        with psycopg.connect(fresh_db, autocommit=True) as conn:
            conn.execute("UPDATE tarnwick_outcomes SET keep_until = now() - interval '1 s' "
                         "WHERE id = %s", (row[0],))
        assert third.driver.ack(brief2[0][5])
        assert (row[0], "acked", False) in kept_rows(fresh_db, "other")
        third.driver.prune_every = 0.0
        third.driver.take(1, LEASE)  # an idle take prunes too
        assert row[0] not in [r[0] for r in kept_rows(fresh_db, "other")]


def _fill_outcomes(dsn, queue_name, expired, kept):
    with psycopg.connect(dsn, autocommit=True) as conn:
        conn.execute("""
            INSERT INTO tarnwick_outcomes (queue, id, state, deliveries, enqueued_at,
              finished_at, errors, consumers, priority, keep_until)
            SELECT %s, i, 'acked', 1, now(), now(), '{}', '{}', 0,
                   CASE WHEN i <= %s THEN now() - interval '1 second'
                        ELSE now() + interval '1 hour' END
            FROM generate_series(1, %s) AS i""", (queue_name, expired, expired + kept))


def test_two_clients_prune_at_once_each_row_once_and_neither_waits(fresh_db):
    expired, kept, locked = 4 * PRUNE_BATCH + 7, 50, 30
    with PostgresQueue(fresh_db, "q") as a, PostgresQueue(fresh_db, "q") as b:
        a.stats()  # the schema is made
        _fill_outcomes(fresh_db, "q", expired, kept)
        counts = {a: [], b: []}
        start = threading.Barrier(2)

        def prune(queue):
            start.wait()
            while True:
                n = queue.driver.prune()
                counts[queue].append(n)
                if n == 0:
                    return

        # A prune under way elsewhere holds the rows it chose: here, an
        # open transaction holds some, which both clients pass over.
        with psycopg.connect(fresh_db) as holder:
            held = holder.execute("SELECT id FROM tarnwick_outcomes WHERE keep_until < now() "
                                  "ORDER BY id DESC LIMIT %s FOR UPDATE", (locked,)).fetchall()
            assert len(held) == locked
            threads = [threading.Thread(target=prune, args=(q,)) for q in (a, b)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(timeout=120)
            assert not any(t.is_alive() for t in threads), "a prune waited for a lock"
            assert sum(map(sum, counts.values())) == expired - locked
            assert all(n <= PRUNE_BATCH for c in counts.values() for n in c)
        assert a.driver.prune() == locked
        rows = kept_rows(fresh_db, "q")
        assert [r[0] for r in rows] == list(range(expired + 1, expired + kept + 1))
        assert all(r[2] for r in rows)


def test_a_retention_of_zero_keeps_nothing(fresh_db):
    with PostgresQueue(fresh_db, "q", keep_acked=0, keep_dead=0, keep_cancelled=0) as queue:
        rows = put_and_take(queue, 3)
        later = queue.driver.put(b"later", LONG)
        assert queue.driver.ack(rows[0][5], b"r") and queue.driver.ack_many([rows[1][5]]) == []
        assert queue.driver.bury(rows[2][5], "x") and queue.driver.cancel(later)
        assert kept_rows(fresh_db, "q") == []
        assert [queue.driver.status(r[0]) for r in rows] == [None] * 3
        assert queue.driver.dead_count() == 1


def test_the_last_minutes_acks_are_counted_from_the_kept_outcomes(fresh_db, monkeypatch):
    with PostgresQueue(fresh_db, "q", lease=LEASE) as queue, \
            PostgresQueue(fresh_db, "q", lease=LEASE, keep_acked=0) as unkept, \
            PostgresQueue(fresh_db, "other", lease=LEASE) as other:
        queue.put_many([b"job"] * 4)
        taken = queue.get_many(4)
        queue.ack_many(taken[:3])
        taken[3].dead("not an ack")
        other.put(b"elsewhere")
        other.get(timeout=10).ack()
        assert queue.stats()["acked_last_minute"] == 3
        assert other.stats()["acked_last_minute"] == 1
        unkept.put(b"forgotten")
        unkept.get(timeout=10).ack()  # its outcome is not kept: not counted
        with psycopg.connect(fresh_db, autocommit=True) as conn:
            conn.execute("UPDATE tarnwick_outcomes SET finished_at = now() - interval '61 s' "
                         "WHERE queue = 'q' AND id = %s", (taken[0].id,))
        assert queue.stats()["acked_last_minute"] == 2
        monkeypatch.setattr(pg_driver, "RECENT_ACKS_CAP", 1)
        assert queue.stats()["acked_last_minute"] == 1


# --- ids and purge ---


def test_purge_keeps_outcomes_and_ids_are_not_handed_out_again(pg_dsn, pg_name):
    with PostgresQueue(pg_dsn, pg_name, keep_acked=LONG) as queue:
        (done,) = put_and_take(queue, 1)
        assert queue.driver.ack(done[5], b"result")
        removed = queue.driver.put_many([b"a", b"b"], 0.0)
        queue.driver.take(1, LEASE)
        queue.purge()
        assert queue.driver.status(done[0]).result == b"result"
        assert [queue.driver.status(i) for i in removed] == [None, None]  # purged: none kept
        assert queue.driver.outcomes(None, 10, None)[0].id == done[0]
        assert queue.driver.put(b"next", 0.0) > removed[-1]


# --- upgrade ---


def test_a_database_made_before_outcomes_upgrades_with_its_live_messages(old_db):
    with psycopg.connect(old_db, autocommit=True) as conn:
        # As the release before wrote them: ready, leased (by "w1:7", started
        # a minute ago), nacked after a delivery, scheduled, keyed and grouped.
        conn.execute("""INSERT INTO tarnwick_messages (queue, body, enqueued_at, due_at)
                        SELECT 'q', b, now(), now() FROM unnest(%s::bytea[]) AS b""",
                     ([b"ready", b"held", b"nacked"],))
        conn.execute("""UPDATE tarnwick_messages SET lease = gen_random_uuid(), deliveries = 1,
                          due_at = now() + interval '1 hour',
                          started_at = now() - interval '1 minute', consumer = 'w1:7'
                        WHERE body = 'held'""")
        conn.execute("UPDATE tarnwick_messages SET deliveries = 1 WHERE body = 'nacked'")
        conn.execute("""INSERT INTO tarnwick_messages
                          (queue, body, enqueued_at, due_at, key, unique_for, grp, headers)
                        VALUES ('q', 'later', now(), now() + interval '1 hour', 'k', 0, 'g',
                                '{"h": "v"}')""")
        conn.execute("INSERT INTO tarnwick_groups (queue, grp) VALUES ('q', 'g')")
        ids = dict(conn.execute("SELECT body, id FROM tarnwick_messages").fetchall())
        lease = conn.execute("SELECT lease FROM tarnwick_messages WHERE body = 'held'"
                             ).fetchone()[0]
    with PostgresQueue(old_db, "q", keep_acked=LONG) as queue:
        driver = queue.driver
        ready, held, nacked, later = (driver.status(ids[b]) for b in
                                      (b"ready", b"held", b"nacked", b"later"))
        with psycopg.connect(old_db, autocommit=True) as conn:
            assert conn.execute("SELECT max(version) FROM tarnwick_schema").fetchone()[0] \
                == SCHEMA_VERSION
        assert (ready.state, ready.deliveries, ready.started_at, ready.errors,
                ready.consumers, ready.finished_at) == ("ready", 0, None, (), (), None)
        assert (held.state, held.deliveries, held.consumers, held.errors) == (
            "leased", 1, ("w1:7",), ())
        assert held.started_at < time.time() - 30
        assert (nacked.state, nacked.deliveries, nacked.consumers) == ("ready", 1, ())
        assert (later.state, later.key, later.group, later.headers) == (
            "scheduled", "k", "g", {"h": "v"})
        # The old lease settles, with its outcome; the others go on.
        assert driver.ack((ids[b"held"], lease), b"done")
        acked = driver.status(ids[b"held"])
        assert (acked.state, acked.result, acked.consumers) == ("acked", b"done", ("w1:7",))
        rows, _ = driver.take(2, LEASE)
        assert [r[0] for r in rows] == [ids[b"ready"], ids[b"nacked"]]
        assert driver.nack(rows[1][5], 0.0, "failed")
        again = driver.status(ids[b"nacked"])
        assert (again.state, again.deliveries, again.errors, len(again.consumers)) == (
            "ready", 2, ("failed",), 1)
        assert driver.cancel(ids[b"later"])
        assert [o.state for o in driver.outcomes(None, 10, None)] == ["cancelled", "acked"]


# --- a settle and its outcome are one commit ---


@pytest.fixture
def proxy(pg_dsn):
    proxy = CuttingProxy(int(conninfo_to_dict(pg_dsn)["port"]))
    yield proxy
    proxy.close()


@pytest.mark.parametrize("cut", ["before", "after"])
@pytest.mark.parametrize("op", ["ack", "ack_many", "dead", "nack"])
def test_a_settle_whose_reply_is_lost_left_its_outcome_whole_or_not_at_all(
        pg_dsn, pg_name, proxy, op, cut):
    through = make_conninfo(pg_dsn, port=proxy.port, sslmode="disable")
    with PostgresQueue(through, pg_name, keep_acked=LONG, keep_dead=LONG) as queue, \
            PostgresQueue(pg_dsn, pg_name) as observer:
        (row,) = put_and_take(observer, 1)
        queue.stats()  # connected
        proxy.cut_next(cut)
        with pytest.raises(ConnectionLost):
            if op == "ack":
                queue.driver.ack(row[5], b"result")
            elif op == "ack_many":
                queue.driver.ack_many([row[5]])
            elif op == "dead":
                queue.driver.bury(row[5], "reason")
            else:
                queue.driver.nack(row[5], 0.0, "error")
        status = observer.driver.status(row[0])
        if cut == "before":
            assert (status.state, status.errors, status.finished_at) == ("leased", (), None)
            return
        if op == "nack":
            assert (status.state, status.errors) == ("ready", ("error",))
            return
        if op == "dead":
            (letter,) = observer.dead_letters.list()
            expected = ("dead", None, ("reason",), letter.id)
        else:
            expected = ("acked", b"result" if op == "ack" else None, (), None)
        assert (status.state, status.result, status.errors, status.dead_letter_id) == expected
        assert status.finished_at is not None and status.consumers != ()
        # Asked again, the settle finds the lease gone and writes nothing.
        assert not queue.driver.ack(row[5], b"again")
        assert kept_rows(pg_dsn, pg_name) == [(row[0], expected[0], True)]
        assert observer.driver.status(row[0]).result == expected[1]


def test_a_server_stopped_under_acks_leaves_each_message_live_or_acked_whole(
        stoppable_pg_server, pg_dsn, pg_name):
    n = 5000  # more than can be acked while the server stops
    with PostgresQueue(pg_dsn, pg_name, keep_acked=LONG) as queue:
        rows = put_and_take(queue, n)
        returned, raised = [], []
        some_done = threading.Event()

        def ack_all():
            for row in rows:
                try:
                    ok = queue.driver.ack(row[5], b"r%d" % row[0])
                except ConnectionLost:
                    raised.append(row[0])
                    return
                assert ok
                returned.append(row[0])
                if len(returned) == 20:
                    some_done.set()

        acker = threading.Thread(target=ack_all)
        acker.start()
        assert some_done.wait(120)
        stoppable_pg_server.stop("immediate")
        acker.join(120)
        assert raised and len(returned) < n
    stoppable_pg_server.restart()
    with PostgresQueue(pg_dsn, pg_name) as queue:
        live = {i.id for i in queue.peek(limit=n)}
        outcomes = {s.id: s for s in queue.driver.outcomes("acked", n, None)}
        assert not live & outcomes.keys() and live | outcomes.keys() == {r[0] for r in rows}
        assert set(returned) <= outcomes.keys()
        assert outcomes.keys() <= set(returned + raised)
        for id, status in outcomes.items():
            assert (status.result, status.deliveries) == (b"r%d" % id, 1)
        for id in live:
            assert queue.driver.status(id).state == "leased"


# --- races ---


def test_acks_from_two_connections_keep_one_outcome_each(pg_dsn, pg_name):
    with PostgresQueue(pg_dsn, pg_name, keep_acked=LONG) as a, \
            PostgresQueue(pg_dsn, pg_name, keep_acked=LONG) as b:
        own_a, own_b = put_and_take(a, 100), put_and_take(b, 100)
        # The same leases presented by both, as a repeated call could be.
        shared = put_and_take(a, 100)
        wins = {a: [], b: []}
        start = threading.Barrier(2)

        def ack(queue, own, name):
            start.wait()
            for mine, both in zip(own, shared):
                assert queue.driver.ack(mine[5], name + b"%d" % mine[0])
                if queue.driver.ack(both[5], name):
                    wins[queue].append(both[0])
            assert queue.driver.ack_many([r[5] for r in own]) == list(range(len(own)))

        threads = [threading.Thread(target=ack, args=(a, own_a, b"a")),
                   threading.Thread(target=ack, args=(b, own_b, b"b"))]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        assert sorted(wins[a] + wins[b]) == [r[0] for r in shared]
        for queue, own, name in ((a, own_a, b"a"), (b, own_b, b"b")):
            for row in own:
                assert a.driver.status(row[0]).result == name + b"%d" % row[0]
            for id in wins[queue]:
                assert b.driver.status(id).result == name
        assert len(kept_rows(pg_dsn, pg_name)) == 300 and a.stats()["total"] == 0


# --- plans ---


def test_status_outcomes_and_pruning_stay_index_lookups_among_many_outcomes(fresh_db):
    with PostgresQueue(fresh_db, "q") as queue:
        queue.stats()
        _fill_outcomes(fresh_db, "q", 0, 50_000)

        def plan(conn, sql, params):
            return "\n".join(r[0] for r in conn.execute("EXPLAIN " + sql, params))

        with psycopg.connect(fresh_db, autocommit=True) as conn:
            # Finished over the last hours, as outcomes kept for a day are.
            conn.execute("UPDATE tarnwick_outcomes SET finished_at = now() - "
                         "make_interval(secs => id) WHERE queue = 'q'")
            conn.execute("ANALYZE tarnwick_outcomes")
            conn.execute("SET enable_bitmapscan = off")  # as the queue's connections do
            plans = [plan(conn, STATUS_SQL, {"q": "q", "id": 7})]
            for state in (None, "acked"):
                for since in (None, time.time() - 60):
                    plans.append(plan(conn, outcomes_sql(state, since is not None),
                                      {"q": "q", "n": 100, "since": since}))
            plans.append(plan(conn, PRUNE_SQL, {"n": PRUNE_BATCH}))
            # stats()'s count of the last minute's acks walks the index, not the table.
            recent = plan(conn, pg_driver._STATS, {"q": "q", "cap": pg_driver.RECENT_ACKS_CAP})
        assert "tarnwick_outcomes_recent" in recent, recent
        for text in plans:
            assert "Seq Scan" not in text, text
            assert "Index" in text, text
        assert "Tid" in plans[-1], plans[-1]  # the batch is deleted by row address
        # outcomes() of one state reads the index in order: no sort at all.
        assert "Sort" not in plans[3] and "Sort" not in plans[4], plans[3]


# --- histories ---


def test_a_history_keeps_the_last_deliveries_errors_and_consumers(pg_dsn, pg_name):
    with PostgresQueue(pg_dsn, pg_name, consumer_id="even", keep_acked=LONG) as even, \
            PostgresQueue(pg_dsn, pg_name, consumer_id="odd", keep_acked=LONG) as odd:
        id = even.driver.put(b"job", 0.0)
        for n in range(12):
            queue = odd if n % 2 else even
            (row,), _ = queue.driver.take(1, LEASE)
            # No error given on the sixth: that delivery adds none.
            assert queue.driver.nack(row[5], 0.0, None if n == 5 else f"e{n}")
        status = even.driver.status(id)
        expected_errors = tuple(f"e{n}" for n in range(1, 12) if n != 5)
        assert (status.state, status.deliveries, status.errors) == ("ready", 12, expected_errors)
        assert status.consumers == ("even", "odd") * 5
        (row,), _ = even.driver.take(1, LEASE)
        assert even.driver.ack(row[5], b"done")
        done = odd.driver.status(id)
        assert (done.state, done.deliveries, done.errors, done.result) == (
            "acked", 13, expected_errors, b"done")
        assert done.consumers == ("odd", "even") * 5


def test_a_take_that_buries_by_the_delivery_limit_keeps_a_dead_outcome(pg_dsn, pg_name):
    with PostgresQueue(pg_dsn, pg_name, max_deliveries=1, keep_dead=LONG) as queue:
        plain = queue.driver.put(b"plain", 0.0)
        grouped = queue.driver.put(b"grouped", 0.0, group="g", key="k", unique_for=LONG)
        rows, _ = queue.driver.take(2, 0.001)  # leases that run out on purpose
        assert [r[0] for r in rows] == [plain, grouped]
        with psycopg.connect(pg_dsn, autocommit=True) as conn:
            while conn.execute("SELECT count(*) FROM tarnwick_messages WHERE queue = %s AND "
                               "due_at > now()", (pg_name,)).fetchone()[0]:
                time.sleep(0.01)
        assert queue.driver.take(2, LEASE)[0] == []
        letters = {d.original_id: d.id for d in queue.driver.dead_list(None)}
        for id in (plain, grouped):
            status = queue.driver.status(id)
            assert (status.state, status.deliveries, status.errors, status.dead_letter_id) == (
                "dead", 1, ("max deliveries exceeded",), letters[id])
            assert len(status.consumers) == 1 and status.finished_at >= status.started_at
        assert queue.driver.status(grouped).key == "k"
        assert queue.driver.put(b"again", 0.0, key="k", unique_for=1.0) == grouped
        assert [s.id for s in queue.driver.outcomes("dead", 10, None)] == [grouped, plain]


def test_the_async_queue_takes_the_retention_options(pg_dsn, pg_name):
    import asyncio

    from tarnwick_queue.postgres import AsyncPostgresQueue

    async def main():
        async with AsyncPostgresQueue(pg_dsn, pg_name, keep_acked=0, keep_dead=LONG) as q:
            acked, buried = await q.put(b"a"), await q.put(b"b")
            (await q.get(timeout=5)).ack(result=b"not kept")
            (await q.get(timeout=5)).dead("kept")
            return q.status(acked), q.status(buried)

    acked, buried = asyncio.run(main())
    assert acked is None and (buried.state, buried.errors) == ("dead", ("kept",))
