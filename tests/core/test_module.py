import gc
import importlib.metadata
import inspect
import sys
import weakref

import pytest

import tarnwick
from interpreters import run_python
from tarnwick import TarnwickCore

CLASS_SIGNATURE = "(path, sync_interval_ms=None, default_lease_ms=None, auto_compact_bytes=None)"

# name, parameters after self as (name, default or REQUIRED), docstring text (None when empty)
REQUIRED = inspect.Parameter.empty
METHODS = [
    ("enqueue", [("body", REQUIRED)],
     "Append a message; returns its monotonic sequence id (the ack/nack handle)."),
    ("enqueue_batch", [("bodies", REQUIRED)],
     "Append many messages under a single lock + single fsync. Returns the\n"
     "assigned sequence ids in order."),
    ("dequeue", [("lease_ms", None)],
     "Lease the next ready message for `lease_ms` (or the queue default).\n"
     "Returns `(seq, body, deliveries, enqueued_ts_ms)` or `None` if empty.\n"
     "Expired in-flight leases are reclaimed first, so a consumer that crashed\n"
     "without acking has its messages redelivered."),
    ("dequeue_batch", [("max", REQUIRED), ("lease_ms", None)],
     "Lease up to `max` ready messages at once."),
    ("ack", [("seq", REQUIRED)],
     "Acknowledge (permanently remove) a message. Returns whether it existed."),
    ("ack_batch", [("seqs", REQUIRED)], None),
    ("nack", [("seq", REQUIRED), ("requeue", True)],
     "Negative-acknowledge. `requeue=true` returns the message to the ready set\n"
     "for redelivery; `requeue=false` drops it (dead-letters). Returns whether\n"
     "it existed."),
    ("extend_lease", [("seq", REQUIRED), ("lease_ms", None)],
     "Renew the lease on an in-flight message without redelivering it."),
    ("available", [], "Number of messages ready for immediate delivery."),
    ("in_flight", [], "Number of leased (in-flight, not-yet-acked) messages."),
    ("stats", [], None),
    ("flush", [], "Force a flush + fsync of any buffered records."),
    ("compact", [], "Rewrite the log keeping only live messages, reclaiming acked space."),
    ("purge", [],
     "Remove every message and reset the log (a fresh generation so other\n"
     "processes reload)."),
    ("verify_integrity", [],
     "Re-read the whole log, CRC-verifying every record. Returns a report dict\n"
     "`{ok, records, bytes, message}`. Does not mutate state."),
]
NOARGS = [name for name, params, _ in METHODS if not params]


def test_module_attributes():
    assert tarnwick.__all__ == ["TarnwickCore", "__version__"]
    # The distribution's version, which pyproject.toml alone sets.
    assert tarnwick.__version__ == importlib.metadata.version("tarnwick")
    assert tarnwick.__doc__ == ""
    assert tarnwick.TarnwickCore is TarnwickCore
    # Raised on internal failures, but deliberately not exported.
    assert not hasattr(tarnwick, "PanicException")


def test_class_identity_and_docstring():
    assert TarnwickCore.__module__ == "builtins"
    assert TarnwickCore.__name__ == TarnwickCore.__qualname__ == "TarnwickCore"
    assert TarnwickCore.__doc__ == ""
    assert TarnwickCore.__bases__ == (object,)


@pytest.mark.skipif(sys.version_info < (3, 10),
                    reason="Python 3.9 drops the text signature of classes made by PyType_FromSpec")
def test_class_text_signature():
    assert TarnwickCore.__text_signature__ == CLASS_SIGNATURE
    assert str(inspect.signature(TarnwickCore)) == CLASS_SIGNATURE


def test_methods_are_defined_in_table_order():
    own = [k for k in vars(TarnwickCore) if not k.startswith("__")]
    assert own == [name for name, _, _ in METHODS]


@pytest.mark.parametrize("name, params, text", METHODS, ids=[m[0] for m in METHODS])
def test_method_signature_and_docstring(name, params, text):
    method = getattr(TarnwickCore, name)
    assert method.__doc__ == text
    sig = inspect.signature(method)
    (self_param, *rest) = sig.parameters.values()
    assert self_param.name == "self"
    assert [(p.name, p.default) for p in rest] == params
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in rest)
    shown = ", ".join(["$self"] + [n if d is REQUIRED else f"{n}={d!r}" for n, d in params])
    assert method.__text_signature__ == f"({shown})"


@pytest.mark.parametrize("name", NOARGS)
def test_noargs_methods_refuse_arguments(mem_queue, name):
    method = getattr(mem_queue, name)
    with pytest.raises(TypeError, match="takes no arguments"):
        method(1)
    with pytest.raises(TypeError):
        method(x=1)


def test_class_is_final_and_slotless(mem_queue):
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (TarnwickCore,), {})
    with pytest.raises(TypeError):
        weakref.ref(mem_queue)
    with pytest.raises(AttributeError):
        mem_queue.extra = 1
    assert not hasattr(mem_queue, "__dict__")
    assert not gc.is_tracked(mem_queue)


def test_construction_paths():
    assert isinstance(TarnwickCore.__new__(TarnwickCore, ":memory:"), TarnwickCore)
    assert isinstance(TarnwickCore(path=":memory:", default_lease_ms=5), TarnwickCore)
    with pytest.raises(TypeError):
        object.__new__(TarnwickCore)


def test_dropping_the_last_reference_keeps_the_records(tmp_path):
    path = str(tmp_path / "q")
    q = TarnwickCore(path, sync_interval_ms=10**9)
    q.enqueue_batch([b"one", b"two"])
    q.enqueue(b"three")
    del q
    gc.collect()
    again = TarnwickCore(path)
    assert [m[1] for m in again.dequeue_batch(10)] == [b"one", b"two", b"three"]


def test_second_initialisation_is_refused():
    out = run_python(
        """
        import importlib.util, sys
        import tarnwick
        first = tarnwick
        del sys.modules["tarnwick"]
        found = importlib.util.find_spec("tarnwick")
        try:
            importlib.util.module_from_spec(found)
        except ImportError as e:
            print("ImportError:", e)
        else:
            print("no error")
        # The first module keeps working.
        print(first.TarnwickCore(":memory:").enqueue(b"x"))
        """
    )
    lines = out.splitlines()
    assert lines[0].startswith("ImportError:")
    assert lines[0].endswith("may only be initialized once per interpreter process")
    assert lines[1] == "0"
