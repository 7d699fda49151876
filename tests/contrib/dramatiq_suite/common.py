"""Helpers dramatiq's test files import from `tests.common` (the release's
source archive does not ship that module)."""

from __future__ import annotations

import os
import platform
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


@contextmanager
def worker(*args, **kwargs):
    started = Worker(*args, **kwargs)
    try:
        started.start()
        yield started
    finally:
        started.stop()
