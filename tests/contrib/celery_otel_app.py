"""A Celery app on the tarnwick transport whose worker's pool children trace
with OpenTelemetry's Celery instrumentation, for test_celery_opentelemetry.py.

Each child writes its finished spans, one JSON object a line, to the file
TARNWICK_OTEL_SPANS; a task writes what it saw of its own request to
TARNWICK_OTEL_MARKS. The broker directory is TARNWICK_OTEL_BROKER."""

import json
import os

from celery import Celery
from celery.signals import worker_process_init
from opentelemetry import trace
from opentelemetry.sdk.trace.export import SpanExporter, SpanExportResult

import tarnwick_queue.contrib.kombu  # noqa: F401  (registers the "tarnwick" alias)

SPANS = os.environ.get("TARNWICK_OTEL_SPANS", "/nonexistent")
MARKS = os.environ.get("TARNWICK_OTEL_MARKS", "/nonexistent")

app = Celery("tarnwick_otel",
             broker="tarnwick://" + os.environ.get("TARNWICK_OTEL_BROKER", "/nonexistent"))
app.conf.update(task_acks_late=True, worker_prefetch_multiplier=1, task_ignore_result=True,
                worker_enable_remote_control=False, broker_connection_retry_on_startup=True)


def _ids(context):
    return {"trace_id": format(context.trace_id, "032x"),
            "span_id": format(context.span_id, "016x")}


class FileExporter(SpanExporter):
    """Appends each span as a line of JSON: what the test compares."""

    def __init__(self, path):
        self.path = path

    def export(self, spans):
        with open(self.path, "a") as out:
            for span in spans:
                out.write(json.dumps(dict(
                    _ids(span.context), name=span.name, kind=span.kind.name,
                    parent_id=format(span.parent.span_id, "016x") if span.parent else None,
                    attributes={k: v if isinstance(v, (str, int, float, bool)) else list(v)
                                for k, v in span.attributes.items()})) + "\n")
        return SpanExportResult.SUCCESS


@worker_process_init.connect(weak=False)
def _trace_this_child(**_):
    # As the instrumentation's documentation says: in each pool child,
    # after it started.
    from opentelemetry.instrumentation.celery import CeleryInstrumentor
    from opentelemetry.sdk.trace import TracerProvider
    from opentelemetry.sdk.trace.export import SimpleSpanProcessor

    provider = TracerProvider()
    provider.add_span_processor(SimpleSpanProcessor(FileExporter(SPANS)))
    CeleryInstrumentor().instrument(tracer_provider=provider)


@app.task(bind=True, max_retries=3)
def flaky(self, name):
    """Notes its request and the span it runs in; retries itself once."""
    with open(MARKS, "a") as out:
        out.write(json.dumps(dict(name=name, id=self.request.id, retries=self.request.retries,
                                  traceparent=getattr(self.request, "traceparent", None),
                                  span=_ids(trace.get_current_span().get_span_context()))) + "\n")
    if self.request.retries == 0:
        raise self.retry(countdown=0)
