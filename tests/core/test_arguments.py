import array
import errno
import sys
import pathlib

import pytest

from tarnwick import TarnwickCore

MAX_BODY_LEN = 536870891


class BytesPath:
    """A path object whose path is bytes: refused, as bytes are."""

    def __fspath__(self):
        return b"/tmp/q"


def call(q, name, *args, **kwargs):
    if name == "__new__":
        return TarnwickCore(*args, **kwargs)
    return getattr(q, name)(*args, **kwargs)


# --- binding: method, positional, keywords, exact TypeError text -------------

BINDING = [
    ("ack", (), {}, "TarnwickCore.ack() missing 1 required positional argument: 'seq'"),
    ("ack", (1, 2), {}, "TarnwickCore.ack() takes 1 positional arguments but 2 were given"),
    ("dequeue_batch", (1, 2, 3), {},
     "TarnwickCore.dequeue_batch() takes from 1 to 2 positional arguments but 3 were given"),
    ("dequeue", (1, 2), {},
     "TarnwickCore.dequeue() takes from 0 to 1 positional arguments but 2 were given"),
    ("ack", (), {"seq": 1, "x": 2}, "TarnwickCore.ack() got an unexpected keyword argument 'x'"),
    ("ack", (1,), {"seq": 1}, "TarnwickCore.ack() got multiple values for argument 'seq'"),
    ("nack", (), {"requeue": True},
     "TarnwickCore.nack() missing 1 required positional argument: 'seq'"),
    ("__new__", (), {}, "TarnwickCore.__new__() missing 1 required positional argument: 'path'"),
    ("__new__", (":memory:", 1, 2, 3, 4), {},
     "TarnwickCore.__new__() takes from 1 to 4 positional arguments but 5 were given"),
    ("__new__", (":memory:",), {"path": ":memory:"},
     "TarnwickCore.__new__() got multiple values for argument 'path'"),
    # Order of checks: surplus positionals, then keywords in the caller's order, then missing.
    ("ack", (1, 2), {"x": 1}, "TarnwickCore.ack() takes 1 positional arguments but 2 were given"),
    ("ack", (), {"x": 1}, "TarnwickCore.ack() got an unexpected keyword argument 'x'"),
    ("nack", (1,), {"bogus": 1, "seq": 2},
     "TarnwickCore.nack() got an unexpected keyword argument 'bogus'"),
    ("nack", (1,), {"seq": 2, "bogus": 1},
     "TarnwickCore.nack() got multiple values for argument 'seq'"),
    # Binding fails before any argument is converted.
    ("ack", ("not an int",), {"x": 1}, "TarnwickCore.ack() got an unexpected keyword argument 'x'"),
]


@pytest.mark.parametrize("name, args, kwargs, message", BINDING)
def test_binding_errors(mem_queue, name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        call(mem_queue, name, *args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize("name, args, kwargs, expected", [
    ("nack", (), {"requeue": False, "seq": 0}, True),
    ("extend_lease", (0,), {"lease_ms": 10}, True),
    ("extend_lease", (), {"lease_ms": 10, "seq": 1}, False),  # 1 is ready, not leased
    ("enqueue", (), {"body": b"kw"}, 2),
    ("dequeue_batch", (), {"lease_ms": 10, "max": 5}, [1]),
])
def test_keywords_fill_their_slots(mem_queue, name, args, kwargs, expected):
    mem_queue.enqueue_batch([b"x", b"y"])
    mem_queue.dequeue()
    result = call(mem_queue, name, *args, **kwargs)
    if isinstance(expected, list):
        result = [m[0] for m in result]
    assert result == expected and type(result) is type(expected)


# --- conversions: method, args, exception type, exact message ---------------

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FakeNumpyBool:
    """Looks like numpy's boolean scalar type: a class called bool_ in module numpy."""


FakeNumpyBool.__name__ = "bool_"
FakeNumpyBool.__module__ = "numpy"
TrueNumpyBool = type("bool", (), {"__module__": "numpy", "__bool__": lambda self: True})
FalseNumpyBool = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: False})
IntNumpyBool = type("bool", (), {"__module__": "numpy", "__bool__": lambda self: 1})
NotNumpyBool = type("bool_", (), {"__module__": "numpyish", "__bool__": lambda self: True})


class HugeBody:
    """A sequence claiming one byte more than a body may have; never iterated."""

    def __len__(self):
        return MAX_BODY_LEN + 1

    def __getitem__(self, i):
        raise AssertionError("an oversize body must be refused before it is read")


OVERSIZE = (f"message body of {MAX_BODY_LEN + 1} bytes exceeds the maximum of "
            f"{MAX_BODY_LEN} bytes")

CONVERSION = [
    ("nack", (1, None), TypeError,
     "argument 'requeue': 'NoneType' object cannot be converted to 'PyBool'"),
    ("nack", (1, 0), TypeError, "argument 'requeue': 'int' object cannot be converted to 'PyBool'"),
    ("nack", (1, FakeNumpyBool()), TypeError,
     "argument 'requeue': object of type 'bool_' does not define a '__bool__' conversion"),
    ("nack", (1, IntNumpyBool()), TypeError,
     "argument 'requeue': 'int' object cannot be converted to 'PyBool'"),
    ("nack", (1, NotNumpyBool()), TypeError,
     "argument 'requeue': 'bool_' object cannot be converted to 'PyBool'"),
    ("enqueue", ("text",), TypeError, "argument 'body': Can't extract `str` to `Vec`"),
    ("enqueue", ([256],), OverflowError, "out of range integral type conversion attempted"),
    ("enqueue", ([0, -1],), OverflowError, "out of range integral type conversion attempted"),
    ("enqueue", (5,), TypeError, "argument 'body': 'int' object cannot be converted to 'Sequence'"),
    ("enqueue", ({1: 2},), TypeError,
     "argument 'body': 'dict' object cannot be converted to 'Sequence'"),
    ("enqueue", ((x for x in b"ab"),), TypeError,
     "argument 'body': 'generator' object cannot be converted to 'Sequence'"),
    ("enqueue", (["a"],), TypeError,
     "argument 'body': 'str' object cannot be interpreted as an integer"),
    ("enqueue", ([1.5],), TypeError,
     "argument 'body': 'float' object cannot be interpreted as an integer"),
    ("enqueue", (HugeBody(),), OverflowError, OVERSIZE),
    ("enqueue_batch", ("ab",), TypeError, "argument 'bodies': Can't extract `str` to `Vec`"),
    ("enqueue_batch", ([b"a", "b"],), TypeError, "argument 'bodies': Can't extract `str` to `Vec`"),
    ("enqueue_batch", ([b"a", 5],), TypeError,
     "argument 'bodies': 'int' object cannot be converted to 'Sequence'"),
    ("enqueue_batch", ([b"a", [300]],), OverflowError,
     "out of range integral type conversion attempted"),
    ("enqueue_batch", ([b"fine", HugeBody()],), OverflowError, OVERSIZE),
    ("ack", (1.0,), TypeError,
     "argument 'seq': 'float' object cannot be interpreted as an integer"),
    ("ack", (None,), TypeError,
     "argument 'seq': 'NoneType' object cannot be interpreted as an integer"),
    ("ack_batch", ("12",), TypeError, "argument 'seqs': Can't extract `str` to `Vec`"),
    ("ack_batch", (5,), TypeError,
     "argument 'seqs': 'int' object cannot be converted to 'Sequence'"),
    ("ack_batch", ([1, 2.0],), TypeError,
     "argument 'seqs': 'float' object cannot be interpreted as an integer"),
    ("dequeue", (1.5,), TypeError,
     "argument 'lease_ms': 'float' object cannot be interpreted as an integer"),
    ("dequeue_batch", (None,), TypeError,
     "argument 'max': 'NoneType' object cannot be interpreted as an integer"),
    ("extend_lease", (1, "x"), TypeError,
     "argument 'lease_ms': 'str' object cannot be interpreted as an integer"),
    ("__new__", (BytesPath(),), TypeError,
     "argument 'path': 'BytesPath' object cannot be converted to 'PyString'"),
    ("__new__", (b":memory:",), TypeError,
     "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    ("__new__", (":memory:", None, None, "1"), TypeError,
     "argument 'auto_compact_bytes': 'str' object cannot be interpreted as an integer"),
    # Parameters convert in order: the first bad one is reported.
    ("nack", ("x", None), TypeError,
     "argument 'seq': 'str' object cannot be interpreted as an integer"),
    ("__new__", (BytesPath(), -1), TypeError,
     "argument 'path': 'BytesPath' object cannot be converted to 'PyString'"),
]

# Unsigned range errors carry the interpreter's own text, never an argument name.
INTERPRETER_OVERFLOW = [
    ("ack", (-1,)),
    ("ack", (2**64,)),
    ("ack_batch", ([1, -1],)),
    ("dequeue", (-1,)),
    ("dequeue_batch", (2**64,)),
    ("extend_lease", (0, -5)),
    ("enqueue", ([2**64],)),  # beyond signed 64-bit: not our 0..255 message
    ("__new__", (":memory:", -1)),
    ("__new__", (":memory:", None, 2**64)),
]


@pytest.mark.parametrize("name, args, exc_type, message", CONVERSION)
def test_conversion_errors(mem_queue, name, args, exc_type, message):
    with pytest.raises(exc_type) as info:
        call(mem_queue, name, *args)
    assert type(info.value) is exc_type
    assert str(info.value) == message
    assert mem_queue.stats()["enqueued_total"] == 0


@pytest.mark.parametrize("name, args", INTERPRETER_OVERFLOW)
def test_interpreter_overflow_errors(mem_queue, name, args):
    with pytest.raises(OverflowError) as info:
        call(mem_queue, name, *args)
    text = str(info.value)
    assert not text.startswith("argument")
    assert text != "out of range integral type conversion attempted"


def test_refused_arguments_touch_no_directory(tmp_path):
    path = tmp_path / "never"
    for kwargs in ({"sync_interval_ms": -1}, {"default_lease_ms": 2**64}):
        with pytest.raises(OverflowError):
            TarnwickCore(str(path), **kwargs)
    assert not path.exists()


def test_a_path_object_opens_the_queue_its_str_names(tmp_path):
    first = TarnwickCore(tmp_path / "q")
    first.enqueue(b"through a path object")
    assert TarnwickCore(str(tmp_path / "q")).dequeue()[1] == b"through a path object"


def test_a_path_object_whose_fspath_fails_reports_its_error():
    class Broken:
        def __fspath__(self):
            raise RuntimeError("no path today")

    with pytest.raises(RuntimeError, match="no path today"):
        TarnwickCore(Broken())


def test_a_path_that_is_a_file_gives_the_exact_os_error_text(tmp_path):
    a_file = tmp_path / "plain-file"
    a_file.write_bytes(b"not a directory")
    with pytest.raises(OSError) as info:
        TarnwickCore(a_file)
    # The message is the engine's text alone (a filename attribute would make
    # str() Python's "[Errno N] ...: 'path'" instead).
    assert info.value.args == (str(info.value),)
    assert str(info.value) == "Tarnwick I/O error: File exists (os error 17)"
    assert info.value.errno == errno.EEXIST


def test_type_error_cause_is_kept(mem_queue):
    class Bad:
        def __index__(self):
            raise TypeError("no index here") from KeyError("root")

    with pytest.raises(TypeError) as info:
        mem_queue.ack(Bad())
    assert str(info.value) == "argument 'seq': no index here"
    assert isinstance(info.value.__cause__, KeyError)


def test_other_conversion_errors_pass_unchanged(mem_queue):
    class MyTypeError(TypeError):
        pass

    class Raises:
        def __init__(self, exc):
            self.exc = exc

        def __index__(self):
            raise self.exc

    for exc in (ZeroDivisionError("zero"), MyTypeError("mine")):
        with pytest.raises(type(exc)) as info:
            mem_queue.ack(Raises(exc))
        assert info.value is exc
    with pytest.raises(UnicodeEncodeError):
        TarnwickCore("\ud800")


# --- accepted values --------------------------------------------------------

@pytest.mark.parametrize("body, expected", [
    (b"", b""),
    ([], b""),
    (b"\x00\xffab", b"\x00\xffab"),
    (bytearray(b"ba"), b"ba"),
    ([0, 1, 255], b"\x00\x01\xff"),
    ((7, Index(8)), b"\x07\x08"),
    (memoryview(b"mv"), b"mv"),
    (range(3), b"\x00\x01\x02"),
    (array.array("B", [9, 10]), b"\x09\x0a"),
    ([True, False], b"\x01\x00"),
])
def test_body_kinds_round_trip(queue, body, expected):
    seq = queue.enqueue(body)
    got = queue.dequeue()
    assert got[0] == seq and got[1] == expected and type(got[1]) is bytes


def test_body_with_getitem_but_no_len(mem_queue):
    class Items:
        def __getitem__(self, i):
            if i < 3:
                return i + 65
            raise IndexError

    mem_queue.enqueue(Items())
    assert mem_queue.dequeue()[1] == b"ABC"


def test_bytearray_changed_by_a_later_item_is_read_as_it_ends(mem_queue):
    buf = bytearray(b"before")

    class Grows:
        def __index__(self):
            buf.extend(b"-and-after" * 100)
            return 1

    mem_queue.enqueue_batch([buf, [Grows()]])
    (first, second) = mem_queue.dequeue_batch(2)
    assert first[1] == bytes(buf) and len(buf) == 6 + 1000
    assert second[1] == b"\x01"


@pytest.mark.parametrize("requeue, ready_after", [
    (True, 1), (False, 0), (TrueNumpyBool(), 1), (FalseNumpyBool(), 0),
])
def test_requeue_values(mem_queue, requeue, ready_after):
    seq = mem_queue.enqueue(b"m")
    mem_queue.dequeue()
    assert mem_queue.nack(seq, requeue) is True
    assert mem_queue.available() == ready_after


def test_real_numpy_scalars():
    np = pytest.importorskip("numpy")
    q = TarnwickCore(":memory:")
    q.enqueue([np.uint8(3), np.int64(4)])
    q.enqueue(b"y")
    (seq, body, _, _) = q.dequeue()
    assert body == b"\x03\x04"
    assert q.nack(np.uint64(seq), np.True_) is True
    assert q.nack(1, requeue=np.False_) is True
    assert q.stats()["dead_total"] == 1


@pytest.mark.parametrize("seqs, removed", [
    ((0, 1), 2), (range(3), 3), ([Index(2), 2, 99], 1), (b"\x00\x01", 2),
])
def test_seqs_kinds(mem_queue, seqs, removed):
    mem_queue.enqueue_batch([b"a", b"b", b"c"])
    assert mem_queue.ack_batch(seqs) == removed


def test_no_value_error_from_bad_arguments(mem_queue):
    bad_calls = [(name, args) for name, args, _, _ in CONVERSION] + INTERPRETER_OVERFLOW
    for name, args in bad_calls:
        try:
            call(mem_queue, name, *args)
        except ValueError as e:  # pragma: no cover - the assertion is the point
            pytest.fail(f"{name}{args!r} raised ValueError: {e!r}")
        except (TypeError, OverflowError):
            pass


def test_argument_references_are_balanced(mem_queue):
    body = b"bytes body"
    buf = bytearray(b"buf")
    listed = [1, 2, 3]
    bodies = [body, buf, listed]
    seqs = [0, 1, 2]
    index = Index(1)
    fake = FakeNumpyBool()
    text = "not bytes"
    watched = [body, buf, listed, bodies, seqs, index, fake, text]
    calls = [
        lambda: mem_queue.enqueue(body),
        lambda: mem_queue.enqueue(body=buf),
        lambda: mem_queue.enqueue(listed),
        lambda: mem_queue.enqueue_batch(bodies),
        lambda: mem_queue.enqueue_batch([body, text]),
        lambda: mem_queue.enqueue(text),
        lambda: mem_queue.ack_batch(seqs),
        lambda: mem_queue.ack(index),
        lambda: mem_queue.nack(index, fake),
        lambda: mem_queue.ack(seq=index, x=body),
        lambda: mem_queue.ack(index, seq=index),
        lambda: mem_queue.dequeue_batch(index, index, index),
        lambda: mem_queue.dequeue(index),
        lambda: TarnwickCore(text, index, sync_interval_ms=body),
    ]
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(20):
        for c in calls:
            try:
                c()
            except (TypeError, OverflowError):
                pass
    assert [sys.getrefcount(o) for o in watched] == before
