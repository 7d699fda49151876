"""A waiting get on PostgreSQL sleeps until something happens: no look at
the queue in between, a LISTEN connection that breaks is noticed, and one
whose server vanishes silently is found by TCP keepalives."""

import threading
import time

import pytest

psycopg = pytest.importorskip("psycopg")
from psycopg.conninfo import conninfo_to_dict, make_conninfo  # noqa: E402

from tarnwick_queue.postgres import PostgresQueue  # noqa: E402
from tarnwick_queue.postgres.connection import Link, listen_conninfo  # noqa: E402


def test_an_idle_wait_looks_only_at_its_start_and_end(pg_dsn, pg_name, monkeypatch):
    looks = []
    real_run = Link.run

    def counting_run(self, what, after_loss, fn):
        looks.append(what)
        return real_run(self, what, after_loss, fn)

    with PostgresQueue(pg_dsn, pg_name) as queue:
        queue.stats()  # connected, schema checked
        monkeypatch.setattr(Link, "run", counting_run)
        started = time.monotonic()
        with pytest.raises(Exception):
            queue.get(timeout=8.0)
        assert time.monotonic() - started >= 8.0
        # The look before arming the wake-up, the one after, and one as the
        # time-out ends: none while it slept (it used to look every 2 s, 6
        # looks in all).
        assert looks == ["get"] * 3


def test_a_broken_listen_connection_is_noticed_and_made_again(pg_dsn, pg_name):
    app = f"tw_listener_{pg_name[-12:]}"
    with PostgresQueue(make_conninfo(pg_dsn, application_name=app), pg_name) as queue, \
            PostgresQueue(pg_dsn, pg_name) as other, \
            psycopg.connect(pg_dsn, autocommit=True) as admin:
        got = []
        waiter = threading.Thread(target=lambda: got.append(queue.get(timeout=120)))
        waiter.start()

        def listening():
            return admin.execute("SELECT pid FROM pg_stat_activity WHERE application_name = %s "
                                 "AND query LIKE 'LISTEN %%'", (app,)).fetchall()

        give_up = time.monotonic() + 30
        while not listening():
            assert time.monotonic() < give_up, "the get never listened"
            time.sleep(0.05)
        (pid,), = listening()
        assert admin.execute("SELECT pg_terminate_backend(%s)", (pid,)).fetchone() == (True,)
        # The waiter sees its socket close and listens again on a new one,
        # where the put's notification reaches it.
        while not [row for row in listening() if row[0] != pid]:
            assert time.monotonic() < give_up, "the waiter did not listen again"
            time.sleep(0.05)
        other.put(b"after the break")
        waiter.join(60)
        assert not waiter.is_alive(), "the waiter slept through the notification"
        assert got[0].body == b"after the break"
        got[0].ack()


def test_the_listen_connection_has_keepalives_unless_the_dsn_sets_them(pg_dsn):
    params = conninfo_to_dict(listen_conninfo(pg_dsn))
    assert params["keepalives"] == "1" and int(params["keepalives_idle"]) > 0
    assert int(params["keepalives_interval"]) > 0 and int(params["keepalives_count"]) > 0
    own = conninfo_to_dict(listen_conninfo(make_conninfo(pg_dsn, keepalives_idle=5)))
    assert own["keepalives_idle"] == "5" and own["keepalives"] == "1"
    assert conninfo_to_dict(listen_conninfo(make_conninfo(pg_dsn, keepalives=0)))["keepalives"] \
        == "0"
    # The server accepts them.
    with psycopg.connect(listen_conninfo(pg_dsn), autocommit=True) as conn:
        assert conn.execute("SELECT 1").fetchone() == (1,)


def test_a_lease_taken_while_a_waiter_looked_is_not_missed(pg_dsn, pg_name):
    # Another consumer's take is under way (its row locked, its lease not
    # committed) while the waiter looks; that consumer then dies, and the
    # lease ends with no notification. The take that skipped the locked row
    # told the waiter to look again soon, and that look sees the lease.
    app = f"tw_crossed_{pg_name[-12:]}"
    with PostgresQueue(make_conninfo(pg_dsn, application_name=app), pg_name) as queue, \
            psycopg.connect(pg_dsn, autocommit=True) as admin:
        queue.put(b"crossed")
        taker = psycopg.connect(pg_dsn)  # a transaction of its own, left open
        try:
            taker.execute("UPDATE tarnwick_messages SET deliveries = deliveries + 1, "
                          "lease = gen_random_uuid(), due_at = now() + interval '3 seconds' "
                          "WHERE queue = %s", (pg_name,))
            got = []
            waiter = threading.Thread(target=lambda: got.append(queue.get(timeout=120)))
            waiter.start()
            give_up = time.monotonic() + 30
            while not admin.execute("SELECT 1 FROM pg_stat_activity WHERE application_name = %s "
                                    "AND query LIKE 'LISTEN %%'", (app,)).fetchall():
                assert time.monotonic() < give_up, "the get never listened"
                time.sleep(0.05)
            time.sleep(0.3)  # its look after the LISTEN skips the locked row
            taker.commit()
        finally:
            taker.close()
        waiter.join(60)
        assert not waiter.is_alive(), "the waiter slept past the lease's end"
        assert (got[0].body, got[0].deliveries) == (b"crossed", 2)
        got[0].ack()
