"""Prometheus metrics for tarnwick queues (the optional extra `metrics`).

    from prometheus_client import REGISTRY, start_http_server
    from tarnwick_queue.metrics import JobMetrics, QueueCollector

    REGISTRY.register(QueueCollector({"jobs": queue}))
    worker = Worker(queue, handle, on_job_done=JobMetrics())
    start_http_server(9108, addr="127.0.0.1")

QueueCollector reads each queue's stats() once per scrape, nothing else:
a scrape holds a queue's lock no longer than one stats call. JobMetrics
times a Worker's jobs. `tarnwick metrics` serves a collector on its own.
"""

from __future__ import annotations

import logging
import time
from typing import TYPE_CHECKING, Any, Dict, Iterator, Mapping, Optional, Sequence, Tuple

from prometheus_client import REGISTRY, CollectorRegistry, Histogram
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily
from prometheus_client.registry import Collector

from ._face import queue_label

if TYPE_CHECKING:
    from prometheus_client.metrics_core import Metric

    from ._face import QueueBackend
    from .worker import JobDone

log = logging.getLogger("tarnwick_queue.metrics")

# stats() fields and the states they are shown as in tarnwick_messages.
STATES = (("ready", "ready"), ("scheduled", "scheduled"), ("in_flight", "leased"),
          ("dead_letters", "dead"))
# Totals a driver counts queue-wide (a directory's log does; PostgreSQL has
# none: a count there would be one row every operation of every process
# updates). A directory's totals start again when any process compacts or
# purges the log, which Prometheus reads as a counter reset.
COUNTERS = (("enqueued_total", "tarnwick_enqueued", "Messages put."),
            ("acked_total", "tarnwick_acked", "Messages acked."),
            ("nacked_total", "tarnwick_nacked", "Deliveries nacked back into the queue."),
            ("dead_total", "tarnwick_dead", "Messages moved to the dead letters."),
            ("expired_total", "tarnwick_lease_expired", "Leases that ran out."))
# Buckets for jobs, from a millisecond to an hour.
DURATION_BUCKETS = (0.001, 0.005, 0.01, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0, 30.0, 60.0,
                    300.0, 900.0, 3600.0)


class QueueCollector(Collector):
    """Metrics of `queues`, a mapping of label to queue (or a sequence of
    queues, labelled by queue_label): message counts by state, the age of
    the oldest ready message, paused, and the totals the driver counts. A
    queue whose stats() fails is reported by tarnwick_up 0 and left out."""

    def __init__(self, queues: Any, *, clock: Any = time.time) -> None:
        if isinstance(queues, Mapping):
            self._queues: Sequence[Tuple[str, QueueBackend]] = [
                (str(k), v) for k, v in queues.items()]
        else:
            self._queues = [(queue_label(q), q) for q in queues]
        self._clock = clock

    def collect(self) -> Iterator[Metric]:
        up = GaugeMetricFamily("tarnwick_up", "1 when the queue's stats could be read.",
                               labels=["queue"])
        messages = GaugeMetricFamily("tarnwick_messages", "Messages in the queue, by state.",
                                     labels=["queue", "state"])
        age = GaugeMetricFamily("tarnwick_oldest_ready_age_seconds",
                                "Seconds the longest-waiting ready message has been ready "
                                "(0 when none is).", labels=["queue"])
        paused = GaugeMetricFamily("tarnwick_paused", "1 while the queue is paused.",
                                   labels=["queue"])
        counters = {field: CounterMetricFamily(name, text, labels=["queue"])
                    for field, name, text in COUNTERS}
        for label, queue in self._queues:
            try:
                stats: Dict[str, Any] = dict(queue.stats())
            except Exception as exc:  # one queue's failure spoils not the rest
                log.warning("stats of %s failed: %s", label, exc)
                up.add_metric([label], 0)
                continue
            up.add_metric([label], 1)
            for field, state in STATES:
                messages.add_metric([label, state], stats[field])
            oldest = stats.get("oldest_ready_at")
            age.add_metric([label], 0.0 if oldest is None else max(0.0, self._clock() - oldest))
            paused.add_metric([label], 1 if stats.get("paused") else 0)
            for field, family in counters.items():
                if field in stats:
                    family.add_metric([label], stats[field])
        yield from (up, messages, age, paused)
        yield from (family for family in counters.values() if family.samples)

    def describe(self) -> Iterator[Metric]:
        return iter(())  # what collect() yields depends on the drivers


class JobMetrics:
    """A Worker's on_job_done that times its jobs:
    tarnwick_job_duration_seconds{queue,outcome} (handler and settling) and
    tarnwick_job_wait_seconds{queue} (from the put to the handler's start,
    first deliveries only, so a delayed put's delay is included)."""

    def __init__(self, registry: Optional[CollectorRegistry] = REGISTRY,
                 buckets: Sequence[float] = DURATION_BUCKETS) -> None:
        self.duration = Histogram("tarnwick_job_duration_seconds",
                                  "Seconds a job took, by its outcome.", ["queue", "outcome"],
                                  registry=registry, buckets=buckets)
        self.wait = Histogram("tarnwick_job_wait_seconds",
                              "Seconds from a message's put to the start of its first job.",
                              ["queue"], registry=registry, buckets=buckets)

    def __call__(self, done: JobDone) -> None:
        label = "" if done.queue is None else queue_label(done.queue)
        self.duration.labels(label, done.outcome).observe(done.duration)
        if done.message.deliveries == 1:
            self.wait.labels(label).observe(max(0.0, done.started_at - done.message.enqueued_at))


def serve(collector: Collector, port: int, host: str = "127.0.0.1") -> Any:
    """Serves `collector` on http://host:port/metrics from a thread of its
    own; returns the server (shutdown() stops it)."""
    from prometheus_client import start_http_server
    registry = CollectorRegistry(auto_describe=False)
    registry.register(collector)
    server, _ = start_http_server(port, addr=host, registry=registry)
    return server


__all__ = ["COUNTERS", "JobMetrics", "QueueCollector", "STATES", "queue_label", "serve"]
