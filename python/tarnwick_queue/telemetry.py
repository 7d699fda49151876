"""OpenTelemetry tracing and metrics for tarnwick queues (the optional extra
`telemetry`, on opentelemetry-api).

    from tarnwick_queue import telemetry
    telemetry.instrument()          # the global tracer and meter providers

From then on, in this process, following the OpenTelemetry messaging
conventions:

- put() and put_many() make a `send <queue>` span (PRODUCER) and inject its
  context into the message's headers (the propagator's fields, such as
  `traceparent`), so it travels with the message to whichever process takes it;
- each Worker made afterwards runs its handler in a `process <queue>` span
  (CONSUMER), a child of the context the message carries and linked to it;
- ack(), nack(), dead() and extend() make a `settle <queue>` span (CLIENT),
  and so does ack_many(), one for the batch (messaging.batch.message_count),
  linked to each message's creation; take(ack=message) makes the ack's span
  around its step (a Worker acks so).

Spans carry messaging.system "tarnwick", messaging.destination.name,
messaging.operation.type and .name, messaging.message.id, the delivery count
(messaging.tarnwick.message.delivery_count) and error.type when the call
failed. With a meter provider, messaging.client.sent.messages,
messaging.client.consumed.messages and messaging.process.duration are
recorded too. Nothing is changed, and nothing costs, until instrument() is
called; uninstrument() puts everything back.
"""

from __future__ import annotations

import functools
import time
from typing import Any, Callable, Dict, List, Optional, Tuple

from opentelemetry import context as otel_context
from opentelemetry import metrics as otel_metrics
from opentelemetry import propagate
from opentelemetry import trace as otel_trace
from opentelemetry.trace import Link, SpanKind, Status, StatusCode

from . import worker
from ._face import BaseQueue, LeaseLost, Message, queue_label

SYSTEM = "tarnwick"
DELIVERY_COUNT = "messaging.tarnwick.message.delivery_count"

_patched: List[Tuple[Any, str, Any]] = []   # (owner, name, the original)
_wrapper: Optional[Callable[..., Any]] = None


class _Instruments:
    def __init__(self, tracer_provider: Any, meter_provider: Any) -> None:
        version = _version()
        self.tracer = otel_trace.get_tracer(__name__, version, tracer_provider)
        meter = otel_metrics.get_meter(__name__, version, meter_provider)
        self.sent = meter.create_counter("messaging.client.sent.messages", "{message}",
                                         "Messages put.")
        self.consumed = meter.create_counter("messaging.client.consumed.messages", "{message}",
                                             "Messages a Worker handled.")
        self.duration = meter.create_histogram("messaging.process.duration", "s",
                                               "Seconds a Worker's handler ran.")


def instrument(tracer_provider: Any = None, meter_provider: Any = None) -> None:
    """Turns tracing (and metrics) on for every queue of the face in this
    process, with these providers (None: the global ones). Calling it again
    first undoes the previous call."""
    global _wrapper
    uninstrument()
    tools = _Instruments(tracer_provider, meter_provider)
    for name in ("put", "put_many"):
        _patch(BaseQueue, name, functools.partial(_traced_send, tools))
    for name in ("ack", "nack", "dead", "extend"):
        _patch(Message, name, functools.partial(_traced_settle, tools, name))
    _patch(BaseQueue, "ack_many", functools.partial(_traced_ack_many, tools))
    _patch(BaseQueue, "take", functools.partial(_traced_take, tools))
    _wrapper = functools.partial(_wrap_handler, tools)
    worker.HANDLER_WRAPPERS.append(_wrapper)


def uninstrument() -> None:
    """Undoes instrument(); Workers made meanwhile keep their spans."""
    global _wrapper
    while _patched:
        owner, name, original = _patched.pop()
        setattr(owner, name, original)
    if _wrapper is not None and _wrapper in worker.HANDLER_WRAPPERS:
        worker.HANDLER_WRAPPERS.remove(_wrapper)
    _wrapper = None


def _patch(owner: Any, name: str, traced: Callable[..., Any]) -> None:
    original = getattr(owner, name)

    @functools.wraps(original)
    def method(self: Any, *args: Any, **kwargs: Any) -> Any:
        return traced(original, self, *args, **kwargs)
    _patched.append((owner, name, original))
    setattr(owner, name, method)


def _attributes(destination: str, operation: str, name: str) -> Dict[str, Any]:
    return {"messaging.system": SYSTEM, "messaging.destination.name": destination,
            "messaging.operation.type": operation, "messaging.operation.name": name}


def _with_context(headers: Optional[Dict[str, str]]) -> Dict[str, str]:
    """A copy of `headers` with the current span's context injected."""
    out = dict(headers or {})
    propagate.inject(out)
    return out


def _failed(span: Any, exc: BaseException) -> None:
    span.set_attribute("error.type", type(exc).__qualname__)
    span.record_exception(exc)
    span.set_status(Status(StatusCode.ERROR, str(exc)))


def _traced_send(tools: _Instruments, send: Callable[..., Any], queue: BaseQueue, given: Any,
                 **options: Any) -> Any:
    """put() (`given` a body, an id back) or put_many() (bodies, ids)."""
    destination = queue_label(queue)
    with tools.tracer.start_as_current_span(
            f"send {destination}", kind=SpanKind.PRODUCER,
            attributes=_attributes(destination, "send", "send"),
            record_exception=False, set_status_on_exception=False) as span:
        try:
            options["headers"] = _with_context(options.get("headers"))
            sent = send(queue, given, **options)
        except BaseException as exc:
            _failed(span, exc)
            raise
        if isinstance(sent, list):
            span.set_attribute("messaging.batch.message_count", len(sent))
        else:
            span.set_attribute("messaging.message.id", str(sent))
    tools.sent.add(len(sent) if isinstance(sent, list) else 1,
                   {"messaging.system": SYSTEM, "messaging.destination.name": destination})
    return sent


def _creation_link(message: Message) -> List[Link]:
    carried = otel_trace.get_current_span(propagate.extract(message.headers)).get_span_context()
    return [Link(carried)] if carried.is_valid else []


def _settle_span(tools: _Instruments, name: str, message: Message) -> Any:
    destination = "" if message.queue is None else queue_label(message.queue)
    attributes = _attributes(destination, "settle", name)
    attributes.update({"messaging.message.id": str(message.id),
                       DELIVERY_COUNT: message.deliveries})
    return tools.tracer.start_as_current_span(
        f"settle {destination}" if destination else "settle", kind=SpanKind.CLIENT,
        attributes=attributes, links=_creation_link(message), record_exception=False,
        set_status_on_exception=False)


def _traced_settle(tools: _Instruments, name: str, settle: Callable[..., Any],
                   message: Message, *args: Any, **kwargs: Any) -> Any:
    with _settle_span(tools, name, message) as span:
        try:
            return settle(message, *args, **kwargs)
        except BaseException as exc:
            _failed(span, exc)
            raise


def _traced_take(tools: _Instruments, take: Callable[..., Any], queue: BaseQueue,
                 *args: Any, ack: Optional[Message] = None, **kwargs: Any) -> Any:
    """take(); with `ack`, in the span of that ack, failed as a refused
    ack() would be when the ack was not made."""
    if ack is None or ack.settled:  # no ack to make
        return take(queue, *args, ack=ack, **kwargs)
    with _settle_span(tools, "ack", ack) as span:
        try:
            taken = take(queue, *args, ack=ack, **kwargs)
        except BaseException as exc:
            _failed(span, exc)
            raise
        if not ack.settled:
            _failed(span, LeaseLost(f"message {ack.id}: not acked, its lease is no longer "
                                    "current", lost=[ack.id]))
        return taken


def _traced_ack_many(tools: _Instruments, ack_many: Callable[..., Any], queue: BaseQueue,
                     messages: Any) -> Any:
    batch = list(messages)
    destination = queue_label(queue)
    attributes = _attributes(destination, "settle", "ack")
    attributes["messaging.batch.message_count"] = len(batch)
    links = [link for message in batch for link in _creation_link(message)]
    with tools.tracer.start_as_current_span(
            f"settle {destination}", kind=SpanKind.CLIENT, attributes=attributes, links=links,
            record_exception=False, set_status_on_exception=False) as span:
        try:
            return ack_many(queue, batch)
        except BaseException as exc:
            _failed(span, exc)
            raise


def _wrap_handler(tools: _Instruments, handler: Callable[[Message], Any],
                  is_async: bool) -> Callable[[Message], Any]:
    if is_async:
        async def traced_async(message: Message) -> Any:
            token, span, started = _begin(tools, message)
            try:
                return await handler(message)
            except BaseException as exc:
                _failed(span, exc)
                raise
            finally:
                _end(tools, message, token, span, started)
        return traced_async

    def traced(message: Message) -> Any:
        token, span, started = _begin(tools, message)
        try:
            return handler(message)
        except BaseException as exc:
            _failed(span, exc)
            raise
        finally:
            _end(tools, message, token, span, started)
    return traced


def _begin(tools: _Instruments, message: Message) -> Tuple[Any, Any, float]:
    destination = "" if message.queue is None else queue_label(message.queue)
    attributes = _attributes(destination, "process", "process")
    attributes.update({"messaging.message.id": str(message.id),
                       DELIVERY_COUNT: message.deliveries})
    carried = propagate.extract(message.headers)
    span = tools.tracer.start_span(f"process {destination}" if destination else "process",
                                   context=carried, kind=SpanKind.CONSUMER,
                                   attributes=attributes, links=_creation_link(message),
                                   record_exception=False, set_status_on_exception=False)
    token = otel_context.attach(otel_trace.set_span_in_context(span))
    return token, span, time.monotonic()


def _end(tools: _Instruments, message: Message, token: Any, span: Any, started: float) -> None:
    otel_context.detach(token)
    span.end()
    labels = {"messaging.system": SYSTEM, "messaging.destination.name":
              "" if message.queue is None else queue_label(message.queue)}
    tools.consumed.add(1, labels)
    tools.duration.record(time.monotonic() - started, labels)


def _version() -> str:
    try:
        from importlib.metadata import version
        return version("tarnwick")
    except Exception:  # not installed as a distribution: a source tree
        return "0"


__all__ = ["instrument", "uninstrument"]
