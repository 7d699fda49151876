"""The console script on a queue in PostgreSQL (--dsn): the same commands and
output as on a directory, workers included."""

import json
import os
import signal
import subprocess

import pytest

pytest.importorskip("psycopg")

from processes import children, run_tarnwick, start_tarnwick, stop, wait_for  # noqa: E402

from tarnwick_queue.postgres import PostgresQueue  # noqa: E402


def ok(*args, input=None):
    result = run_tarnwick(*args, input=input)
    assert result.returncode == 0, result.stderr.decode()
    return result.stdout.decode()


def data(*args, input=None):
    return json.loads(ok(*args, "--json", input=input))


def test_put_stats_peek_dead_and_purge_on_a_server_queue(pg_dsn, pg_name):
    first, second = data("put", "--dsn", pg_dsn, pg_name, "--lines", input=b"a\nb\n")
    assert data("put", "--dsn", pg_dsn, pg_name, "later", "--delay", "60") == [second + 1]
    stats = data("stats", "--dsn", pg_dsn, pg_name)
    assert (stats["ready"], stats["scheduled"], stats["total"]) == (2, 1, 3)
    assert "enqueued_total" not in stats
    assert "ready" in ok("stats", "--dsn", pg_dsn, pg_name)  # the table skips absent totals
    peeked = data("peek", "--dsn", pg_dsn, pg_name, "--bodies")
    assert [(m["id"], m["state"], m["body"]) for m in peeked] == [
        (first, "ready", "a"), (second, "ready", "b"), (second + 1, "scheduled", "later")]

    with PostgresQueue(pg_dsn, pg_name) as q:
        q.get().dead("broken")
    (letter,) = data("dead", "--dsn", pg_dsn, pg_name, "list")
    assert (letter["original_id"], letter["reason"]) == (first, "broken")
    assert data("dead", "--dsn", pg_dsn, pg_name, "requeue") == {"requeued": 1}
    assert data("purge", "--dsn", pg_dsn, pg_name, "--yes") == {"purged": 3}
    assert data("stats", "--dsn", pg_dsn, pg_name)["total"] == 0


def test_a_server_that_cannot_be_reached_is_one_error_line(tmp_path):
    # A port nobody listens on (this one was just free).
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    result = run_tarnwick("stats", "--dsn", f"host=127.0.0.1 port={port} connect_timeout=5",
                          "jobs")
    err = result.stderr.decode()
    assert result.returncode == 1 and b"Traceback" not in result.stderr, err
    assert err.startswith("tarnwick: error: ") and "cannot connect" in err, err
    # verify and compact belong to a log on disk.
    assert run_tarnwick("verify", "--dsn", "x", str(tmp_path)).returncode == 2


def _command_line(pid):
    """The worker's command line once it runs the worker (b"gone" if it exited)."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            command = f.read()
    except FileNotFoundError:
        return b"gone"
    return command if b"--child" in command else None


def test_supervised_workers_drain_a_server_queue_without_the_dsn_on_their_command_line(
        tmp_path, pg_dsn, pg_name):
    (tmp_path / "jobs.py").write_text("def handle(message):\n    pass\n")
    supervisor = start_tarnwick("worker", "jobs:handle", "--dsn", pg_dsn, "--queue", pg_name,
                                "--processes", 2, cwd=tmp_path, stderr=subprocess.PIPE)
    try:
        workers = wait_for(lambda: (lambda c: c if len(c) == 2 else None)(
            children(supervisor.pid)), 20, "two workers")
        for pid in workers:
            # Until it has exec'd, a forked child still shows the supervisor's
            # command line (which holds --dsn): look once it is the worker.
            command = wait_for(lambda: _command_line(pid), 20, "the worker to start")
            assert pg_dsn.encode() not in command
        os.kill(workers[0], signal.SIGKILL)
        with PostgresQueue(pg_dsn, pg_name) as q:
            q.put_many([b"x"] * 40)
            wait_for(lambda: q.stats()["total"] == 0, 30, "the workers to drain the queue")
    finally:
        status = stop(supervisor)
    log = supervisor.stderr.read().decode()
    assert status == 0, log


def test_peek_leased_and_stats_on_a_server_queue(pg_dsn, pg_name):
    with PostgresQueue(pg_dsn, pg_name, consumer_id="pg-worker") as q:
        q.put_many([b"a", b"b"])
        held = q.get(lease=3600)
        held.extend(3600)
        listed = data("peek", "--dsn", pg_dsn, pg_name, "--leased")
        assert [(m["id"], m["extensions"], m["consumer"]) for m in listed] == [
            (held.id, 1, "pg-worker")]
        assert data("stats", "--dsn", pg_dsn, pg_name)["oldest_running_id"] == held.id
        assert f"id {held.id}, running" in ok("stats", "--dsn", pg_dsn, pg_name)


def test_show_and_outcomes_on_a_server_queue(pg_dsn, pg_name):
    with PostgresQueue(pg_dsn, pg_name) as q:
        done, failed = q.put_many([b"a", b"b"])
        q.get().ack(result=b"42")
        q.get().dead("broken")
    shown = data("show", "--dsn", pg_dsn, pg_name, str(done))
    assert (shown["state"], shown["result"], shown["deliveries"]) == ("acked", "42", 1)
    assert data("show", "--dsn", pg_dsn, pg_name, str(failed))["errors"] == ["broken"]
    assert [o["id"] for o in data("outcomes", "--dsn", pg_dsn, pg_name)] == [failed, done]
    assert [o["state"] for o in data("outcomes", "--dsn", pg_dsn, pg_name, "--state",
                                     "acked")] == ["acked"]
    assert ["state", "dead"] in [line.split() for line in ok("show", "--dsn", pg_dsn, pg_name,
                                                              str(failed)).splitlines()]
