"""OpenTelemetry's Celery instrumentation across the tarnwick transport: the
trace context the producer puts in a task's headers reaches a real Celery
worker process, whose spans join the producer's trace, and the task's own
headers (its id, its retries) arrive as they were sent."""

import json
import os
import signal
import subprocess
import sys
import time

import pytest

pytest.importorskip("celery")
pytest.importorskip("opentelemetry.instrumentation.celery")

from opentelemetry.instrumentation.celery import CeleryInstrumentor
from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.export import SimpleSpanProcessor
from opentelemetry.sdk.trace.export.in_memory_span_exporter import (
    InMemorySpanExporter,
)

HERE = os.path.dirname(os.path.abspath(__file__))


def _records(path):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [json.loads(line) for line in f.read().splitlines()]


@pytest.fixture
def otel_app(tmp_path, monkeypatch):
    env = dict(TARNWICK_OTEL_BROKER=str(tmp_path / "broker"),
               TARNWICK_OTEL_SPANS=str(tmp_path / "spans.jsonl"),
               TARNWICK_OTEL_MARKS=str(tmp_path / "marks.jsonl"))
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    monkeypatch.syspath_prepend(HERE)
    sys.modules.pop("celery_otel_app", None)
    import celery_otel_app
    exporter = InMemorySpanExporter()
    provider = TracerProvider()
    provider.add_span_processor(SimpleSpanProcessor(exporter))
    instrumentor = CeleryInstrumentor()
    instrumentor.instrument(tracer_provider=provider)
    try:
        yield celery_otel_app, exporter
    finally:
        instrumentor.uninstrument()
        sys.modules.pop("celery_otel_app", None)


def test_a_trace_spans_the_producer_and_the_worker(otel_app, tmp_path):
    app, exporter = otel_app
    sent = app.flaky.apply_async(("first",))
    published = [s for s in exporter.get_finished_spans()
                 if s.name == "apply_async/celery_otel_app.flaky"]
    assert len(published) == 1
    producer = published[0].context
    trace_id = format(producer.trace_id, "032x")
    producer_span = format(producer.span_id, "016x")

    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([HERE] + [p for p in sys.path if p])
    log = open(tmp_path / "worker.log", "w")
    worker = subprocess.Popen(
        [sys.executable, "-m", "celery", "-A", "celery_otel_app", "worker", "--pool=prefork",
         "--concurrency=1", "--without-gossip", "--without-mingle", "--without-heartbeat",
         "--loglevel=INFO"], cwd=tmp_path, env=env, stdout=log, stderr=subprocess.STDOUT,
        start_new_session=True)
    try:
        # Both runs (the first, and its retry) have ended their spans.
        deadline = time.monotonic() + 60
        while len([s for s in _records(tmp_path / "spans.jsonl")
                   if s["name"] == "run/celery_otel_app.flaky"]) < 2:
            assert time.monotonic() < deadline, "the worker's spans never came"
            assert worker.poll() is None, "the worker ended"
            time.sleep(0.1)
    finally:
        worker.send_signal(signal.SIGTERM)
        try:
            worker.wait(30)
        except subprocess.TimeoutExpired:
            os.killpg(worker.pid, signal.SIGKILL)
            worker.wait()
        log.close()
        with open(log.name) as f:
            print(f.read()[-4000:])

    spans = _records(tmp_path / "spans.jsonl")
    runs = [s for s in spans if s["name"] == "run/celery_otel_app.flaky"]
    retried = [s for s in spans if s["name"] == "apply_async/celery_otel_app.flaky"]
    assert len(runs) == 2 and len(retried) == 1, spans
    first, second = sorted(runs, key=lambda s: s["attributes"].get("celery.retries", 0))
    # One trace: the producer's publish, the first run under it, the retry
    # published from the first run, the second run under that.
    assert {s["trace_id"] for s in spans} == {trace_id}
    assert first["parent_id"] == producer_span and first["kind"] == "CONSUMER"
    assert retried[0]["parent_id"] == first["span_id"]
    assert second["parent_id"] == retried[0]["span_id"]
    # The task's own headers: its id throughout, its retries counted.
    for run in (first, second):
        assert run["attributes"]["messaging.message.id"] == sent.id
        assert run["attributes"]["messaging.conversation_id"] == sent.id  # correlation_id
    assert [s["attributes"]["celery.state"] for s in (first, second)] == ["RETRY", "SUCCESS"]
    assert "celery.retries" not in first["attributes"]  # 0, which the instrumentation omits
    assert second["attributes"]["celery.retries"] == 1
    assert {s["attributes"]["celery.task_name"] for s in runs} == {"celery_otel_app.flaky"}

    # What the task saw of its request: the same id, its retries, the
    # traceparent header each publisher put in, and it ran in the run span.
    marks = _records(tmp_path / "marks.jsonl")
    assert [(m["name"], m["id"], m["retries"]) for m in marks] == [
        ("first", sent.id, 0), ("first", sent.id, 1)]
    parents = [m["traceparent"].split("-") for m in marks]
    assert [p[:3] for p in parents] == [["00", trace_id, producer_span],
                                        ["00", trace_id, retried[0]["span_id"]]]
    assert all(int(p[3], 16) & 1 for p in parents)  # sampled
    assert [m["span"] for m in marks] == [
        {"trace_id": trace_id, "span_id": first["span_id"]},
        {"trace_id": trace_id, "span_id": second["span_id"]}]

    # Nothing is left in the queue: both messages were acked.
    from tarnwick_queue import Queue
    with Queue(str(tmp_path / "broker" / "celery")) as queue:
        stats = queue.stats()
    assert stats["ready"] == 0 and stats["in_flight"] == 0 and stats["dead_letters"] == 0
