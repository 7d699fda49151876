"""Fixtures for dramatiq's own test files, run against TarnwickBroker.

The broker fixture (still named `stub_broker`, as the test files ask for it)
builds a TarnwickBroker on a fresh directory; everything else is what the
stub-broker runs of dramatiq's suite use: in-memory result and rate-limiter
backends, a worker with 32 threads and a 100 ms idle time-out.
"""

from __future__ import annotations

import logging
import os
import subprocess
import sys

import pytest

import dramatiq
from dramatiq import Worker
from dramatiq.encoder import JSONEncoder, PickleEncoder
from dramatiq.rate_limits import backends as rl_backends
from dramatiq.results import backends as res_backends

from tarnwick_queue.contrib.dramatiq import TarnwickBroker

from .common import start

logging.basicConfig(level=logging.DEBUG)
logging.getLogger("pika").setLevel(logging.WARNING)
sys.setswitchinterval(0.005)


@pytest.fixture(autouse=True)
def workers_start_fully(monkeypatch):
    """Every Worker.start() in the suite waits for its threads (see start())."""
    monkeypatch.setattr(Worker, "start", start)


@pytest.fixture()
def stub_broker(tmp_path):
    broker = TarnwickBroker(str(tmp_path / "broker"))
    broker.emit_after("process_boot")
    dramatiq.set_broker(broker)
    yield broker
    broker.flush_all()
    broker.close()


@pytest.fixture()
def stub_worker(stub_broker):
    worker = Worker(stub_broker, worker_timeout=100, worker_threads=32)
    worker.start()
    yield worker
    worker.stop()


@pytest.fixture
def result_backend():
    return res_backends.StubBackend()


@pytest.fixture
def rate_limiter_backend():
    return rl_backends.StubBackend()


@pytest.fixture
def pickle_encoder():
    old_encoder = dramatiq.get_encoder()
    new_encoder = PickleEncoder()
    dramatiq.set_encoder(new_encoder)
    yield new_encoder
    dramatiq.set_encoder(old_encoder if old_encoder is not None else JSONEncoder())


@pytest.fixture
def start_cli():
    """Starts dramatiq's command line in a subprocess; stops it afterwards."""
    started = []

    def run(broker_module, *, extra_args=(), **kwargs):
        proc = subprocess.Popen([sys.executable, "-m", "dramatiq", broker_module, *extra_args],
                                **kwargs)
        started.append(proc)
        return proc

    yield run
    for proc in started:
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
