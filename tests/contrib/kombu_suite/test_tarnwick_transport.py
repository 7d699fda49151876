"""kombu's shared transport test classes (t/integration/common.py of its
release, copied here by run_kombu_suite.py) on the tarnwick transport."""

from __future__ import annotations

import pytest

import kombu

import tarnwick_queue.contrib.kombu  # noqa: F401  (registers the "tarnwick" alias)

from .common import BaseEventLoop, BaseExchangeTypes, BaseMessage, BasicFunctionality


@pytest.fixture
def connection(tmp_path):
    return kombu.Connection(f"tarnwick://{tmp_path}/broker")


@pytest.fixture
def invalid_connection():
    # A directory that cannot be made.
    return kombu.Connection("tarnwick:///proc/self/no-such-dir/broker")


class test_TarnwickBasicFunctionality(BasicFunctionality):
    pass


class test_TarnwickExchangeTypes(BaseExchangeTypes):
    pass


class test_TarnwickMessage(BaseMessage):
    pass


class test_TarnwickEventLoop(BaseEventLoop):
    pass
