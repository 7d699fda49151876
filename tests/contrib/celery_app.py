"""A Celery app on the tarnwick transport, for test_celery_end_to_end.py.

Its broker directory and the directory where tasks leave their marks come
from the environment, so the worker process and the test agree on them.
"""

import os
import signal
import time

import tarnwick_queue.contrib.kombu  # noqa: F401  (registers the "tarnwick" alias)
from celery import Celery

MARKS = os.environ.get("TARNWICK_E2E_MARKS", "/nonexistent")
CONTROL = os.environ.get("TARNWICK_E2E_CONTROL") == "1"

app = Celery("tarnwick_e2e", broker="tarnwick://" + os.environ.get("TARNWICK_E2E_BROKER", "/nonexistent"))
app.conf.update(
    # At-least-once: ack after the task ran, and put the message back when
    # the child running it dies.
    task_acks_late=True,
    task_reject_on_worker_lost=True,
    worker_prefetch_multiplier=1,
    # Remote control and events (fanout and topic exchanges bound in other
    # processes), for the tests that ask for them.
    worker_enable_remote_control=CONTROL,
    worker_send_task_events=CONTROL,
    task_send_sent_event=CONTROL,
    broker_connection_retry_on_startup=True,
    task_ignore_result=True,
    # For the tasks that keep their result: replies through the broker.
    result_backend="rpc://",
)


def _mark(name: str, what: str) -> None:
    with open(os.path.join(MARKS, f"{name}.{what}"), "a") as out:
        out.write(f"{time.time()} {os.getpid()}\n")


@app.task
def record(name: str, die_first: bool = False) -> None:
    """Marks its start and end; with `die_first`, its first run kills the
    pool child running it."""
    first = not os.path.exists(os.path.join(MARKS, f"{name}.start"))
    _mark(name, "start")
    if die_first and first:
        os.kill(os.getpid(), signal.SIGKILL)
    _mark(name, "done")


@app.task(ignore_result=False)
def add(x: int, y: int) -> int:
    return x + y
