"""A preallocated log, from the package: turned on by Queue(preallocate=True)
for every process and face that shares the queue, kept through compaction,
and shared by processes that write into it at once and are killed while
they do."""

import os
import signal
import subprocess
import sys
import textwrap

import pytest

import tarnwick
from tarnwick_queue import Queue

from processes import wait_for


def log_magic(path):
    with open(os.path.join(path, "queue.log"), "rb") as f:
        return f.read(4)


def test_preallocate_turns_the_log_once_for_every_handle_and_face(tmp_path):
    path = str(tmp_path / "q")
    with Queue(path) as q:
        q.put(b"before")
        taken = q.get(timeout=5)
    assert log_magic(path) == b"TWFL"
    with Queue(path, preallocate=True) as q:
        assert log_magic(path) == b"TWF5"
        assert os.path.getsize(os.path.join(path, "queue.log")) > 1 << 20
        assert [(m.body, m.state) for m in q.peek(10, bodies=True)] == [(b"before", "leased")]
        q.put(b"after", priority=3)
        generation = q.stats()["generation"]
    with Queue(path, preallocate=True) as q:
        assert q.stats()["generation"] == generation  # nothing to do again
    core = tarnwick.TarnwickCore(path)
    core.enqueue(b"from the core")
    assert core.verify_integrity()["ok"]
    del core
    with Queue(path) as q:
        assert log_magic(path) == b"TWF5"
        bodies = [q.get(timeout=5).body for _ in range(2)]
        assert bodies == [b"after", b"from the core"]
        q.compact()
        assert log_magic(path) == b"TWF5"
        assert q.verify()["ok"]
    assert taken.body == b"before"


def test_preallocate_is_refused_where_it_cannot_be_kept(tmp_path):
    path = str(tmp_path / "q")
    Queue(path).close()
    with pytest.raises(ValueError, match="read_only"):
        Queue(path, read_only=True, preallocate=True)
    with pytest.raises(TypeError, match="preallocate must be a bool"):
        Queue(path, preallocate=1)
    assert log_magic(path) == b"TWFL"
    with Queue(":memory:", preallocate=True) as q:  # nothing to preallocate
        q.put(b"m")
        assert q.get(timeout=5).body == b"m"


PRODUCER = textwrap.dedent("""
    import sys
    from tarnwick_queue import Queue
    path, name = sys.argv[1:3]
    q = Queue(path, auto_compact_bytes=1 << 20)
    n = 0
    while True:
        # Sizes that straddle sectors and, now and then, what was written ahead.
        q.put(f"{name}-{n}-".encode() + b"." * (n * 7919 % 20000))
        print(n, flush=True)  # once the put returned
        n += 1
""")


def _start(path, name, report):
    with open(report, "w") as out:
        return subprocess.Popen([sys.executable, "-c", PRODUCER, path, name], stdout=out)


def test_processes_killed_while_they_write_lose_no_returned_put(tmp_path):
    path = str(tmp_path / "q")
    Queue(path, preallocate=True).close()
    reports = {}  # name -> its report
    acked = set()

    def put_by(body):
        name, n, _ = body.split(b"-", 2)
        return name.decode(), int(n)

    with Queue(path) as consumer:
        for round in range(3):
            children = []
            for i in range(3):
                name = f"p{i}r{round}"
                reports[name] = tmp_path / f"report-{name}"
                children.append(_start(path, name, reports[name]))
            # Consumed while they write, so that compactions run among the puts.
            wait_for(lambda: all(reports[f"p{i}r{round}"].stat().st_size > 300
                                 for i in range(3)), 60, "puts")
            taken = [consumer.get(timeout=10) for _ in range(20)]
            consumer.ack_many(taken)
            acked |= {put_by(m.body) for m in taken}
            for child in children:
                child.send_signal(signal.SIGKILL)
                child.wait()
    returned = {(name, int(line)) for name, report in reports.items()
                for line in report.read_text().split()}
    with Queue(path) as q:
        assert log_magic(path) == b"TWF5"
        assert q.verify()["ok"], q.verify()
        live = [put_by(m.body) for m in q.peek(10**6, bodies=True)]
    assert len(live) == len(set(live)), "a message is in the queue twice"
    lost = returned - set(live) - acked
    assert not lost, f"{len(lost)} returned puts lost, e.g. {sorted(lost)[:5]}"
    # Besides those, at most the put each killed producer was writing.
    extra = set(live) - returned
    assert len(extra) <= len(reports), sorted(extra)
    assert all(n == max((m for name2, m in returned if name2 == name), default=-1) + 1
               for name, n in extra), sorted(extra)
