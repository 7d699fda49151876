"""Helpers dramatiq's test files import from `tests.common` (the release's
source archive does not ship that module)."""

from __future__ import annotations

import os
import platform
import time
from contextlib import contextmanager

import pytest

from dramatiq import Worker

RABBITMQ_USERNAME = os.getenv("RABBITMQ_USERNAME", "guest")
RABBITMQ_PASSWORD = os.getenv("RABBITMQ_PASSWORD", "guest")
RABBITMQ_CREDENTIALS = None

skip_in_ci = pytest.mark.skipif(os.getenv("CI") == "true", reason="flaky in CI")
skip_on_pypy = pytest.mark.skipif(platform.python_implementation() == "PyPy",
                                  reason="time limits are not supported under PyPy")
skip_on_windows = pytest.mark.skipif(platform.system() == "Windows", reason="not on Windows")
skip_unless_rabbit_mq = pytest.mark.skip(reason="needs a RabbitMQ server")


def start(worker: Worker, plain_start=Worker.start) -> Worker:
    """Starts `worker` and waits until each of its threads is in its loop.

    dramatiq's threads set their `running` flag first thing in run(), after
    start() has returned: a stop() that comes sooner (a test that is over
    within milliseconds, on a busy machine) is overwritten, and that thread
    then runs forever and stop() waits for it."""
    plain_start(worker)
    deadline = time.monotonic() + 30
    while not all(t.running for t in [*worker.workers, *worker.consumers.values()]):
        if time.monotonic() > deadline:
            raise RuntimeError("the worker's threads did not start within 30 s")
        time.sleep(0.001)
    return worker


@contextmanager
def worker(*args, **kwargs):
    started = Worker(*args, **kwargs)
    try:
        started.start()
        yield started
    finally:
        started.stop()
