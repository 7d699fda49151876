"""The PostgreSQL fixtures both test sessions (tests/queue, tests/contrib)
share: the session's server and its DSN."""

import os

import pytest

from pg_server import session_server


@pytest.fixture(scope="session")
def pg_server():
    """The PgServer of this session, or None when TARNWICK_PG_DSN names one
    (then the tests that stop and start the server skip)."""
    yield from session_server()


@pytest.fixture(scope="session")
def pg_dsn(pg_server):
    pytest.importorskip("psycopg", reason="psycopg 3 is not installed (pip install psycopg)")
    return os.environ.get("TARNWICK_PG_DSN") or pg_server.dsn


@pytest.fixture
def stoppable_pg_server(pg_server):
    """The session's server for a test that stops it, started again after
    the test whatever happened."""
    if pg_server is None:
        pytest.skip("the server named by TARNWICK_PG_DSN is not ours to stop")
    try:
        yield pg_server
    finally:
        if not pg_server.running:
            pg_server.restart()
