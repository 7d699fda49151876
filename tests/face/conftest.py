"""Fixtures for the tarnwick_queue suite.

`open_queue(**options)` opens a queue on the backend under test; on a backend
that has a shared store (a directory, a database) every call opens another
handle on the same queue, as another process would. `shared_store` is False
where it cannot (":memory:"), and tests that need two handles skip there.
"""

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

import tarnwick_queue  # noqa: E402

BACKENDS = ["disk", "memory"]


@pytest.fixture(params=BACKENDS)
def backend(request):
    return request.param


@pytest.fixture
def queue_dir(tmp_path):
    return str(tmp_path / "queue")


@pytest.fixture
def open_queue(backend, queue_dir):
    opened = []

    def open_one(**options):
        if backend == "memory" and opened:
            pytest.skip("a :memory: queue has no second handle")
        path = ":memory:" if backend == "memory" else queue_dir
        queue = tarnwick_queue.Queue(path, **options)
        opened.append(queue)
        return queue

    open_one.shared_store = backend != "memory"
    yield open_one
    for queue in opened:
        queue.close()


@pytest.fixture
def queue(open_queue):
    return open_queue(lease=5.0)
