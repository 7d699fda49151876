"""Fixtures for the tarnwick_queue suite.

`open_queue(**options)` opens a queue on the backend under test; on a backend
that has a shared store (a directory, a database) every call opens another
handle on the same queue, as another process would. `shared_store` is False
where it cannot (":memory:"), and tests that need two handles skip there.
On "dict" every handle is another driver on one in-memory store.

The "postgres" backend runs on a server this session starts (pg_server.py),
or on the one named by TARNWICK_PG_DSN; each test gets a queue name of its own.
"""

import itertools
import os
import signal
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

# Tests send SIGINT to the processes they start and expect Ctrl-C's
# behaviour. A test run started in the background by a non-interactive shell
# inherits SIGINT ignored, and so would every process it starts; a handler
# here is reset to the default in each of them instead.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

import tarnwick_queue  # noqa: E402
from dict_driver import DictStore, open_dict_queue  # noqa: E402
from pg_fixtures import pg_dsn, pg_server, stoppable_pg_server  # noqa: E402,F401 (fixtures)

# "dict" is a driver written in the suite itself (dict_driver.py): the same
# tests pass on it, so a new backend is one Driver class.
BACKENDS = ["disk", "memory", "postgres", "dict"]
# With TARNWICK_TEST_PREALLOCATE=1 every "disk" queue that may write has a
# preallocated log (the test command runs the face's suites so once more).
PREALLOCATE = os.environ.get("TARNWICK_TEST_PREALLOCATE") == "1"

_names = itertools.count()


@pytest.fixture
def pg_name(request):
    """A queue name no other test uses."""
    return f"{request.node.name[:150]}-{os.getpid()}-{next(_names)}"


@pytest.fixture(params=BACKENDS)
def backend(request):
    return request.param


@pytest.fixture
def queue_dir(tmp_path):
    return str(tmp_path / "queue")


@pytest.fixture
def open_queue(request, backend, queue_dir):
    opened = []
    if backend == "postgres":
        dsn = request.getfixturevalue("pg_dsn")
        from tarnwick_queue.postgres import PostgresQueue
        name = request.getfixturevalue("pg_name")
    store = DictStore()

    def open_one(**options):
        if backend == "memory" and opened:
            pytest.skip("a :memory: queue has no second handle")
        if backend == "postgres":
            # The log's own knobs mean nothing on a server.
            options.pop("sync_interval", None)
            options.pop("auto_compact_bytes", None)
            queue = PostgresQueue(dsn, name, **options)
            opened.append(queue)
            return queue
        if backend == "dict":
            queue = open_dict_queue(store, **options)
            opened.append(queue)
            return queue
        path = ":memory:" if backend == "memory" else queue_dir
        if PREALLOCATE and backend == "disk" and not options.get("read_only"):
            options.setdefault("preallocate", True)
        queue = tarnwick_queue.Queue(path, **options)
        opened.append(queue)
        return queue

    open_one.shared_store = backend != "memory"
    yield open_one
    for queue in opened:
        queue.close()


@pytest.fixture
def queue(open_queue):
    return open_queue(lease=30.0)
