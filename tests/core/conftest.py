import pytest

import tarnwick

from interpreters import NO_SYNC_MS


@pytest.fixture(params=["memory", "disk"])
def queue_path(request, tmp_path):
    """Either ":memory:" or a fresh queue directory."""
    return ":memory:" if request.param == "memory" else str(tmp_path / "q")


@pytest.fixture
def queue(queue_path):
    return tarnwick.TarnwickCore(queue_path, sync_interval_ms=NO_SYNC_MS)


@pytest.fixture
def mem_queue():
    return tarnwick.TarnwickCore(":memory:")
