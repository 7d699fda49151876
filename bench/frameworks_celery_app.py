"""The Celery app of frameworks_bench.py: one no-op task, acks late, on the
broker named by the environment."""

import os

import tarnwick_queue.contrib.kombu  # noqa: F401  (registers the "tarnwick" alias)
from celery import Celery

app = Celery("bench", broker=os.environ.get("BENCH_BROKER_URL", "memory://"))
app.conf.update(
    task_acks_late=True,
    task_reject_on_worker_lost=True,
    worker_prefetch_multiplier=4,
    worker_enable_remote_control=False,
    worker_send_task_events=False,
    task_ignore_result=True,
    broker_connection_retry_on_startup=True,
    broker_transport_options={"sync_interval": float(os.environ.get("BENCH_SYNC", "0"))},
)


@app.task
def noop(i):
    pass
