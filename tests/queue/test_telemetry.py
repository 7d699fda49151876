"""OpenTelemetry: the spans instrument() makes on each backend, their
context carried by the message's headers to a Worker in another process,
and uninstrument() putting everything back."""

import json
import subprocess
import sys
import textwrap
import time

import pytest

pytest.importorskip("opentelemetry.sdk")
from opentelemetry.sdk.metrics import MeterProvider  # noqa: E402
from opentelemetry.sdk.metrics.export import InMemoryMetricReader  # noqa: E402
from opentelemetry.sdk.trace import TracerProvider  # noqa: E402
from opentelemetry.sdk.trace.export import SimpleSpanProcessor  # noqa: E402
from opentelemetry.sdk.trace.export.in_memory_span_exporter import (  # noqa: E402
    InMemorySpanExporter,
)
from opentelemetry.trace import SpanKind, StatusCode  # noqa: E402
from processes import run_until  # noqa: E402

import tarnwick_queue  # noqa: E402
from tarnwick_queue import BaseQueue, Message, Worker, telemetry  # noqa: E402


@pytest.fixture
def traced():
    exporter = InMemorySpanExporter()
    provider = TracerProvider()
    provider.add_span_processor(SimpleSpanProcessor(exporter))
    reader = InMemoryMetricReader()
    telemetry.instrument(tracer_provider=provider, meter_provider=MeterProvider([reader]))
    yield exporter, reader, provider
    telemetry.uninstrument()


def label_of(queue):
    return getattr(queue, "name", None) or getattr(queue, "path", None) or repr(queue)


def metric_points(reader):
    out = {}
    for resource in reader.get_metrics_data().resource_metrics:
        for scope in resource.scope_metrics:
            for metric in scope.metrics:
                for point in metric.data.data_points:
                    out[metric.name] = getattr(point, "value", None) or getattr(point, "count")
    return out


def test_a_job_s_spans_form_one_trace_from_put_to_settle(traced, open_queue):
    exporter, reader, provider = traced
    queue = open_queue()
    tracer = provider.get_tracer("test")
    with tracer.start_as_current_span("request") as request:
        queue.put(b"ok", headers={"task": "t"})
        queue.put_many([b"fails"])
    failed = []

    def handle(message):
        if message.body == b"fails" and not failed:
            failed.append(message.id)
            raise KeyError("once")
    worker = Worker(queue, handle, backoff=(0.01, 1.0, 0.01))
    run_until(worker, lambda: worker.counts["acked"] == 2)
    spans = exporter.get_finished_spans()
    name = label_of(queue)
    sends = [s for s in spans if s.name == f"send {name}"]
    processes = [s for s in spans if s.name == f"process {name}"]
    settles = [s for s in spans if s.name == f"settle {name}"]
    assert [s.kind for s in sends] == [SpanKind.PRODUCER] * 2
    assert {s.parent.span_id for s in sends} == {request.get_span_context().span_id}
    assert sends[0].attributes["messaging.system"] == "tarnwick"
    assert sends[0].attributes["messaging.destination.name"] == name
    assert sends[0].attributes["messaging.operation.type"] == "send"
    assert sends[1].attributes["messaging.batch.message_count"] == 1
    # Three deliveries, each a child of its message's send span, linked to it.
    assert len(processes) == 3 and {s.kind for s in processes} == {SpanKind.CONSUMER}
    by_send = {s.context.span_id: s for s in sends}
    for span in processes:
        assert span.context.trace_id == request.get_span_context().trace_id
        assert span.parent.span_id in by_send
        assert [link.context.span_id for link in span.links] == [span.parent.span_id]
    failing = [s for s in processes if s.status.status_code == StatusCode.ERROR]
    assert len(failing) == 1 and failing[0].attributes["error.type"] == "KeyError"
    assert failing[0].attributes["messaging.tarnwick.message.delivery_count"] == 1
    operations = sorted(s.attributes["messaging.operation.name"] for s in settles)
    assert operations[:3] == ["ack", "ack", "nack"]
    assert {s.kind for s in settles} == {SpanKind.CLIENT}
    points = metric_points(reader)
    assert points["messaging.client.sent.messages"] == 2
    assert points["messaging.client.consumed.messages"] == 3
    assert points["messaging.process.duration"] == 3


def test_every_settle_is_a_span_and_a_batch_ack_is_one(traced, open_queue):
    exporter, _, _ = traced
    queue = open_queue(lease=30.0)
    queue.put_many([b"dies", b"extended"])
    dies, extended = queue.get_many(2, timeout=5)
    dies.dead("broken")
    extended.extend(60.0)
    extended.ack()
    # A prefetching Worker acks its batch with one ack_many: one span for it.
    ids = queue.put_many([b"%d" % i for i in range(5)])
    worker = Worker(queue, lambda message: None, prefetch=5, fire_schedules=False)
    run_until(worker, lambda: worker.counts["acked"] == 5)
    name = label_of(queue)
    settles = [s for s in exporter.get_finished_spans() if s.name == f"settle {name}"]
    assert [(s.attributes["messaging.operation.name"], s.attributes.get("messaging.message.id"))
            for s in settles[:3]] == [("dead", str(dies.id)), ("extend", str(extended.id)),
                                      ("ack", str(extended.id))]
    batches = settles[3:]
    assert sum(s.attributes["messaging.batch.message_count"] for s in batches) == len(ids)
    assert len(batches) < len(ids)
    sends = {s.context.span_id for s in exporter.get_finished_spans() if s.name == f"send {name}"}
    assert {link.context.span_id for s in batches for link in s.links} <= sends
    assert all(s.status.status_code != StatusCode.ERROR for s in settles)


def test_an_ack_in_a_take_is_a_settle_span_failed_when_it_was_refused(traced, open_queue):
    exporter, _, _ = traced
    queue = open_queue(lease=30.0)
    queue.put_many([b"acked", b"expires", b"after"])
    acked = queue.get(timeout=5)
    (expiring,), _ = queue.take(ack=acked, lease=0.2)
    time.sleep(0.3)
    taken, _ = queue.take(ack=expiring)
    assert acked.settled and not expiring.settled and len(taken) == 1
    queue.take(ack=acked)  # settled already: no ack, no span
    name = label_of(queue)
    settles = [s for s in exporter.get_finished_spans() if s.name == f"settle {name}"]
    assert [(s.attributes["messaging.operation.name"], s.attributes["messaging.message.id"],
             s.attributes.get("error.type")) for s in settles] == [
        ("ack", str(acked.id), None), ("ack", str(expiring.id), "LeaseLost")]
    assert settles[1].status.status_code == StatusCode.ERROR


def test_the_headers_carry_the_context_and_keep_the_caller_s(traced, open_queue):
    queue = open_queue()
    given = {"task": "t"}
    queue.put(b"x", headers=given)
    message = queue.get(timeout=5)
    assert message.headers["task"] == "t" and "traceparent" in message.headers
    assert given == {"task": "t"}  # the caller's dict is not changed
    message.ack()


def test_uninstrument_puts_everything_back(open_queue):
    before = (BaseQueue.put, BaseQueue.put_many, Message.ack, Message.nack, Message.dead,
              Message.extend)
    exporter = InMemorySpanExporter()
    provider = TracerProvider()
    provider.add_span_processor(SimpleSpanProcessor(exporter))
    telemetry.instrument(tracer_provider=provider)
    telemetry.instrument(tracer_provider=provider)  # again: not wrapped twice
    queue = open_queue()
    queue.put(b"a")
    assert len(exporter.get_finished_spans()) == 1
    telemetry.uninstrument()
    assert (BaseQueue.put, BaseQueue.put_many, Message.ack, Message.nack, Message.dead,
            Message.extend) == before
    assert not tarnwick_queue.worker.HANDLER_WRAPPERS
    queue.put(b"b")
    first, second = queue.get(timeout=5), queue.get(timeout=5)
    assert "traceparent" in first.headers and "traceparent" not in second.headers
    first.ack()
    second.ack()
    assert len(exporter.get_finished_spans()) == 1


WORKER = textwrap.dedent("""
    import json, sys
    from opentelemetry.sdk.trace import TracerProvider
    from opentelemetry.sdk.trace.export import SimpleSpanProcessor, SpanExporter, SpanExportResult
    from tarnwick_queue import Queue, Worker, telemetry

    class ToFile(SpanExporter):
        def export(self, spans):
            with open(sys.argv[2], "a") as out:
                for s in spans:
                    out.write(json.dumps({"name": s.name, "trace": s.context.trace_id,
                                          "parent": s.parent.span_id if s.parent else None}) + "\\n")
            return SpanExportResult.SUCCESS

    provider = TracerProvider()
    provider.add_span_processor(SimpleSpanProcessor(ToFile()))
    telemetry.instrument(tracer_provider=provider)
    queue = Queue(sys.argv[1])
    worker = Worker(queue, lambda m: worker.stop())
    worker.run()
""")


def test_a_trace_spans_the_producer_and_a_worker_process(traced, tmp_path):
    exporter, _, _ = traced
    path, spans_file = str(tmp_path / "q"), tmp_path / "spans"
    with tarnwick_queue.Queue(path) as queue:
        queue.put(b"job")
    [send] = exporter.get_finished_spans()
    subprocess.run([sys.executable, "-c", WORKER, path, str(spans_file)], check=True,
                   timeout=120)
    seen = [json.loads(line) for line in spans_file.read_text().splitlines()]
    [process] = [s for s in seen if s["name"] == f"process {path}"]
    assert process["trace"] == send.context.trace_id
    assert process["parent"] == send.context.span_id
