"""A dramatiq app on TarnwickBroker with dramatiq's Prometheus middleware,
for test_dramatiq_prometheus.py. The broker directory and the marks
directory come from the environment, so the worker process and the test
agree on them; dramatiq's own variables (dramatiq_prom_*) place the
middleware's exposition server and its files."""

import os
import time

import dramatiq
from dramatiq.middleware.prometheus import Prometheus

from tarnwick_queue.contrib.dramatiq import TarnwickBroker

MARKS = os.environ.get("TARNWICK_PROM_MARKS", "/nonexistent")

broker = TarnwickBroker(os.environ.get("TARNWICK_PROM_BROKER", "/nonexistent"))
broker.add_middleware(Prometheus())
dramatiq.set_broker(broker)


def _mark(name):
    """Appends a line to the mark file `name`; returns how many it had."""
    path = os.path.join(MARKS, name)
    before = 0
    if os.path.exists(path):
        with open(path) as f:
            before = len(f.read().splitlines())
    with open(path, "a") as f:
        f.write(f"{os.getpid()}\n")
    return before


@dramatiq.actor(queue_name="jobs", max_retries=0)
def ok(n):
    _mark(f"ok.{n}")


@dramatiq.actor(queue_name="jobs", max_retries=0)
def fails(n):
    _mark(f"fails.{n}")
    raise ValueError(f"fails {n}")


@dramatiq.actor(queue_name="jobs", max_retries=5, min_backoff=10, max_backoff=50)
def flaky(times):
    """Fails its first `times` runs, then succeeds."""
    if _mark("flaky") < times:
        raise RuntimeError("not yet")


@dramatiq.actor(queue_name="jobs", max_retries=0)
def holds():
    """Runs until the test creates the file `release` (a minute at most)."""
    _mark("holds")
    deadline = time.monotonic() + 60
    while not os.path.exists(os.path.join(MARKS, "release")):
        if time.monotonic() > deadline:
            raise TimeoutError("never released")
        time.sleep(0.05)
