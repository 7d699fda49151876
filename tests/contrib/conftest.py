"""Fixtures for the adapter tests: where an adapter keeps its queues, a
directory or a PostgreSQL database.

The database runs on a server this session starts with tests/queue/pg_server.py
(or on the one TARNWICK_PG_DSN names); each test gets a schema of its own,
so tests that use the same queue names never see each other's messages.
"""

import itertools
import os
import sys

import pytest

sys.path.append(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                             "queue"))

from pg_fixtures import pg_dsn, pg_server  # noqa: E402,F401 (fixtures)

_schemas = itertools.count()


@pytest.fixture
def pg_schema_dsn(pg_dsn):
    """A DSN whose tables live in a schema no other test uses."""
    import psycopg
    from psycopg.conninfo import make_conninfo
    schema = f"contrib_{os.getpid()}_{next(_schemas)}"
    with psycopg.connect(pg_dsn, autocommit=True) as conn:
        conn.execute(f"CREATE SCHEMA {schema}")
    yield make_conninfo(pg_dsn, options=f"-csearch_path={schema}")
    with psycopg.connect(pg_dsn, autocommit=True) as conn:
        conn.execute("SET lock_timeout = 10000")
        conn.execute(f"DROP SCHEMA {schema} CASCADE")


@pytest.fixture(params=["disk", "postgres"])
def home(request, tmp_path):
    """Where the adapter under test keeps its queues: {"path": directory} or
    {"dsn": connection string}, as the adapters take them."""
    if request.param == "disk":
        return {"path": str(tmp_path / "broker")}
    return {"dsn": request.getfixturevalue("pg_schema_dsn")}


@pytest.fixture
def open_at_home(home):
    """Opens queue NAME of `home` on its own, as another process would."""
    opened = []

    def open_one(name, **options):
        if "dsn" in home:
            from tarnwick_queue.postgres import PostgresQueue
            queue = PostgresQueue(home["dsn"], name, **options)
        else:
            from tarnwick_queue import Queue
            queue = Queue(os.path.join(home["path"], name), **options)
        opened.append(queue)
        return queue

    yield open_one
    for queue in opened:
        queue.close()
