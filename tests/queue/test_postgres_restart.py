"""A Worker on PostgreSQL rides out a server that stops and starts again
(`pg_ctl stop -m fast`, and `-m immediate`, a crash as far as the server is
concerned): it pauses, reconnects and goes on, an ack cut off by the stop is
an unknown outcome (the message comes back when its lease ends), and the
outage is one log line when it starts and one when it ends. Also under the
supervisor, where no worker process may exit for it."""

import logging
import os
import subprocess
import threading
import time

import pytest

psycopg = pytest.importorskip("psycopg")
from psycopg.conninfo import make_conninfo  # noqa: E402

from processes import start_tarnwick, stop, wait_for  # noqa: E402
from tarnwick_queue import Worker  # noqa: E402
from tarnwick_queue.postgres import PostgresQueue  # noqa: E402

DOWN = 3.0  # seconds the server stays stopped
LEASE = 3.0  # renewed by the keeper while a job runs; the cut-off ack's message returns after it
HELD_THROUGH_STOP = 1.5  # the job that stops the server runs on this long with it down


@pytest.fixture
def server(stoppable_pg_server):
    return stoppable_pg_server


def outage_lines(records):
    started = [r for r in records if r.levelno == logging.WARNING and "out of reach" in r.msg]
    ended = [r for r in records if r.levelno == logging.INFO and "back after" in r.msg]
    return started, ended


def listening(pg_dsn, app):
    with psycopg.connect(pg_dsn, autocommit=True) as conn:
        return bool(conn.execute("SELECT 1 FROM pg_stat_activity WHERE application_name = %s "
                                 "AND query LIKE 'LISTEN %%'", (app,)).fetchall())


@pytest.mark.parametrize("mode", ["fast", "immediate"])
def test_a_worker_rides_out_a_server_restart(server, pg_dsn, pg_name, mode, caplog):
    caplog.set_level(logging.DEBUG, logger="tarnwick_queue")
    app = f"tw_restart_{os.getpid()}_{mode}"
    bodies = [f"before {i}".encode() for i in range(5)] + [b"stop"] + [
        f"before {i}".encode() for i in range(5, 10)]
    with PostgresQueue(make_conninfo(pg_dsn, application_name=app + "_p"), pg_name) as producer, \
            PostgresQueue(make_conninfo(pg_dsn, application_name=app), pg_name,
                          lease=LEASE) as queue:
        producer.put_many(bodies)
        watch = producer.watch()  # this thread's LISTEN connection
        watch.arm()
        handled = []
        restarted = threading.Event()

        def restart_later():
            time.sleep(DOWN)
            server.restart()
            restarted.set()
            # While the worker still pauses, most likely.
            with PostgresQueue(pg_dsn, pg_name) as late:
                late.put_many([f"during {i}".encode() for i in range(10)])

        restarter = threading.Thread(target=restart_later)

        def handler(message):
            handled.append(message.body)
            if message.body == b"stop" and message.deliveries == 1:
                server.stop(mode)
                restarter.start()
                # The keeper's renewals fail meanwhile; then the ack cannot
                # reach the server: its outcome is unknown.
                time.sleep(HELD_THROUGH_STOP)
            else:
                time.sleep(0.01)

        worker = Worker(queue, handler, backoff=(0.1, 2.0, 0.5))
        thread = threading.Thread(target=worker.run)
        thread.start()
        try:
            wait_for(restarted.is_set, 60, "the server to stop and start again")
            wait_for(lambda: outage_lines(caplog.records)[1] or not thread.is_alive(), 60,
                     "the worker to reconnect")
            assert thread.is_alive(), "the worker died in the outage"
            # A wait listens again at once: a put wakes it without a look on a timer.
            watch.arm()
            assert listening(pg_dsn, app + "_p")
            wait_for(lambda: listening(pg_dsn, app), 30, "the worker's LISTEN connection")
            with PostgresQueue(pg_dsn, pg_name) as after:  # the producer's connection died
                after.put_many([f"after {i}".encode() for i in range(10)])
                wait_for(lambda: after.stats()["total"] == 0 or not thread.is_alive(), 60,
                         "the worker to drain the queue")
            assert thread.is_alive(), "the worker died after the outage"
        finally:
            worker.stop()
            thread.join(30)
            if restarter.is_alive():
                restarter.join(60)
        assert not thread.is_alive()

    wanted = set(bodies) | {f"{w} {i}".encode() for w in ("during", "after") for i in range(10)}
    assert set(handled) == wanted  # each at least once, none lost
    # The stop job's ack never reached the server: it came back by its lease.
    assert handled.count(b"stop") == 2
    assert worker.counts["unknown"] == 1
    assert worker.counts["acked"] == len(wanted)  # the stop job on its second delivery
    worker_log = [r for r in caplog.records if r.name == "tarnwick_queue.worker"]
    started, ended = outage_lines(worker_log)
    assert len(started) == 1 and len(ended) == 1, [r.getMessage() for r in worker_log]
    unknown = [r for r in worker_log if "outcome" in r.getMessage()]
    assert len(unknown) == 1 and unknown[0].levelno == logging.WARNING
    # The lease keeper failed to renew the stop job's lease: one line at most.
    keeper_log = [r for r in caplog.records
                  if r.name == "tarnwick_queue.leases" and r.levelno >= logging.INFO]
    assert len(keeper_log) <= 2, [r.getMessage() for r in keeper_log]
    assert sum(r.levelno >= logging.WARNING for r in keeper_log) <= 1


JOBS = """\
import os, time

def handle(message):
    time.sleep(0.02)
    fd = os.open({path!r}, os.O_WRONLY | os.O_APPEND | os.O_CREAT)
    os.write(fd, message.body + b"\\n")
    os.close(fd)
"""


def test_supervised_workers_ride_out_a_server_crash(server, pg_dsn, pg_name, tmp_path):
    done = tmp_path / "done"
    (tmp_path / "jobs.py").write_text(JOBS.format(path=str(done)))
    with PostgresQueue(pg_dsn, pg_name) as queue:
        queue.put_many([f"before {i}".encode() for i in range(100)])
    supervisor = start_tarnwick("worker", "jobs:handle", "--dsn", pg_dsn, "--queue", pg_name,
                                "--processes", 2, "--lease", LEASE, "--log-level", "info",
                                cwd=tmp_path, stderr=subprocess.PIPE)
    try:
        wait_for(lambda: done.exists() and len(done.read_bytes().splitlines()) >= 10, 30,
                 "the workers to start on the queue")
        server.stop("immediate")
        time.sleep(DOWN)
        server.restart()
        with PostgresQueue(pg_dsn, pg_name) as queue:  # the old connection died with the server
            queue.put_many([f"after {i}".encode() for i in range(20)])
            wait_for(lambda: queue.stats()["total"] == 0, 60, "the workers to drain the queue")
    finally:
        status = stop(supervisor)
    log = supervisor.stderr.read().decode()
    assert status == 0, log
    assert "restarting it" not in log, log  # no worker exited
    handled = set(done.read_bytes().splitlines())
    assert handled == {f"{w} {i}".encode() for w, n in (("before", 100), ("after", 20))
                       for i in range(n)}
    lines = log.splitlines()
    assert sum("out of reach" in line for line in lines) == 2, log  # one per worker
    assert sum("back after" in line for line in lines) == 2, log
    assert len(lines) < 30, log
