"""Claims that last as long as a session: one ends when its process is
killed; one whose session the server ended (a restart does that) is taken
anew by keep() and never seen as ended; a look needs the grace to pass
twice over an unheld claim before calling it ended; a process's own claims
never end for it."""

import os
import subprocess
import sys
import time

import pytest
from processes import wait_for

psycopg = pytest.importorskip("psycopg")
from tarnwick_queue.postgres import claims  # noqa: E402
from tarnwick_queue.postgres.claims import Claims  # noqa: E402

TAKE_AND_DIE = ("import os, sys\n"
                "from tarnwick_queue.postgres.claims import Claims\n"
                "print(Claims(sys.argv[1]).take(), flush=True)\n"
                "os.kill(os.getpid(), 9)\n")


@pytest.fixture
def quick(monkeypatch):
    monkeypatch.setattr(claims, "ENDED_GRACE", 0.5)
    monkeypatch.setattr(claims, "LOOK_EVERY", 0.0)
    monkeypatch.setattr(claims, "KEEP_EVERY", 0.0)


@pytest.fixture
def looker(pg_dsn, quick):
    looking = Claims(pg_dsn)
    yield looking
    looking.close()


def test_the_claim_of_a_killed_process_ends(pg_dsn, looker):
    done = subprocess.run([sys.executable, "-c", TAKE_AND_DIE, pg_dsn], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == -9, done.stderr
    key = int(done.stdout)
    first = time.monotonic()
    # Unheld at the first look, yet not ended until the grace has passed.
    assert looker.ended({key}) == set() or time.monotonic() - first >= claims.ENDED_GRACE
    wait_for(lambda: looker.ended({key}) == {key}, 30, "the killed process's claim to end")


def test_a_claim_whose_session_ended_is_taken_anew_and_never_ends(pg_dsn, looker):
    owner = Claims(pg_dsn)
    try:
        key, other = owner.take(), owner.take()
        assert looker.ended({key, other}) == set()
        assert owner.ended({key}) == set()  # its own
        with psycopg.connect(pg_dsn, autocommit=True) as admin:
            ended = admin.execute(
                "SELECT pg_terminate_backend(pid) FROM pg_locks WHERE locktype = 'advisory' "
                "AND objsubid = 1 AND objid = %s::bigint::oid", (key & 0xFFFFFFFF,)).fetchall()
        assert ended == [(True,)]
        wait_for(lambda: not _held(pg_dsn, key), 30, "the session's end to free its locks")
        assert looker.ended({key}) == set()  # seen unheld, within the grace
        owner.keep()  # finds its connection broken: connects again, takes both anew
        assert _held(pg_dsn, key) and _held(pg_dsn, other)
        time.sleep(claims.ENDED_GRACE + 0.1)
        assert looker.ended({key, other}) == set()
        owner.release(key)
        assert not _held(pg_dsn, key) and _held(pg_dsn, other)
        assert looker.ended({key}) == set()
        time.sleep(claims.ENDED_GRACE + 0.1)
        assert looker.ended({key, other}) == {key}
    finally:
        owner.close()
    assert not _held(pg_dsn, other)


def test_a_forked_child_leaves_its_parents_claims_alone(pg_dsn, looker):
    owner = Claims(pg_dsn)
    try:
        key = owner.take()
        pid = os.fork()
        if pid == 0:  # the child: its inherited copy has no claims and closes nothing
            try:
                owner.close()
            finally:
                os._exit(0)
        assert os.waitpid(pid, 0)[1] == 0
        assert _held(pg_dsn, key)
        time.sleep(claims.ENDED_GRACE + 0.1)
        assert looker.ended({key}) == set()
    finally:
        owner.close()


def _held(dsn, key):
    """Whether some session holds the advisory lock `key` (a bigint key is
    classid:objid in pg_locks)."""
    with psycopg.connect(dsn, autocommit=True) as conn:
        return conn.execute(
            "SELECT 1 FROM pg_locks WHERE locktype = 'advisory' AND granted AND objsubid = 1 "
            "AND classid = (%s::bigint >> 32)::oid AND objid = (%s::bigint & 4294967295)::oid",
            (key, key)).fetchone() is not None
