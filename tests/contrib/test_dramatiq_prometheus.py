"""dramatiq's own Prometheus middleware in a real dramatiq worker process on
TarnwickBroker: the counters it serves match what was sent and what ran."""

import os
import signal
import socket
import subprocess
import sys
import time
import urllib.request

import pytest

dramatiq = pytest.importorskip("dramatiq")
pytest.importorskip("prometheus_client")

from prometheus_client.parser import text_string_to_metric_families  # noqa: E402

from tarnwick_queue.contrib.dramatiq import TarnwickBroker  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def _free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _scrape(port):
    """{(metric sample name, queue, actor): value}, gauges summed over the
    processes that wrote them."""
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/", timeout=30) as reply:
        text = reply.read().decode()
    values = {}
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            if not sample.name.startswith("dramatiq_"):
                continue
            key = (sample.name, sample.labels.get("queue_name"), sample.labels.get("actor_name"),
                   sample.labels.get("le"))
            values[key] = values.get(key, 0.0) + sample.value
    return values


def _value(values, name, queue, actor, le=None):
    return values.get((name, queue, actor, le), 0.0)


def _wait(what, predicate, deadline):
    while True:
        found = predicate()
        if found:
            return found
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.1)


def _lines(path):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return f.read().splitlines()


def _send(broker, actor, *args, **options):
    broker.enqueue(dramatiq.Message(queue_name="jobs", actor_name=actor, args=args, kwargs={},
                                    options=options))


def test_prometheus_middleware_counts_what_the_worker_did(tmp_path):
    marks, broker_dir, prom_db = tmp_path / "marks", tmp_path / "broker", tmp_path / "prom"
    marks.mkdir()
    prom_db.mkdir()
    port = _free_port()
    env = dict(os.environ, TARNWICK_PROM_BROKER=str(broker_dir), TARNWICK_PROM_MARKS=str(marks),
               dramatiq_prom_db=str(prom_db), dramatiq_prom_host="127.0.0.1",
               dramatiq_prom_port=str(port))
    env["PYTHONPATH"] = os.pathsep.join([HERE] + [p for p in sys.path if p])

    # The producer: a broker of its own on the same directory, without the
    # middleware (a sender counts nothing).
    producer = TarnwickBroker(str(broker_dir))
    producer.declare_queue("jobs")
    for n in range(3):
        _send(producer, "ok", n)
    for n in range(2):
        _send(producer, "fails", n)
    _send(producer, "flaky", 2)  # fails twice, retried twice, then succeeds
    _send(producer, "holds")

    log = open(tmp_path / "worker.log", "w")
    worker = subprocess.Popen(
        [sys.executable, "-m", "dramatiq", "dramatiq_prom_app", "--processes", "1",
         "--threads", "2"], cwd=tmp_path, env=env, stdout=log, stderr=subprocess.STDOUT,
        start_new_session=True)
    try:
        deadline = time.monotonic() + 60

        def scrape_when_up():
            try:
                return _scrape(port)
            except OSError:
                return None  # not listening yet

        # While `holds` runs, it is the one message in progress.
        _wait("holds to start", lambda: _lines(marks / "holds"), deadline)
        during = _wait("the exposition server", scrape_when_up, deadline)
        assert _value(during, "dramatiq_messages_inprogress", "jobs", "holds") == 1.0

        (marks / "release").touch()
        producer.join("jobs", timeout=60_000, fail_fast=False)
        # A dead letter is in the queue before the middleware counts it
        # (after the nack): wait for the counts, then check them all.
        values = _wait("the counts", lambda: (lambda v: v if (
            _value(v, "dramatiq_message_rejects_total", "jobs", "fails") >= 2
            and _value(v, "dramatiq_messages_total", "jobs", "holds") >= 1) else None)(
                _scrape(port)), deadline)
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
    assert worker.returncode == 0

    runs = {"ok": 3, "fails": 2, "flaky": 3, "holds": 1}
    errors = {"ok": 0, "fails": 2, "flaky": 2, "holds": 0}
    for actor, count in runs.items():
        assert _value(values, "dramatiq_messages_total", "jobs", actor) == count, actor
        assert _value(values, "dramatiq_message_errors_total", "jobs", actor) == errors[actor]
        assert _value(values, "dramatiq_messages_inprogress", "jobs", actor) == 0.0
        # One duration a run; the buckets are cumulative up to +Inf.
        assert _value(values, "dramatiq_message_duration_milliseconds_count", "jobs",
                      actor) == count
        buckets = sorted((float(le), v) for (name, queue, a, le), v in values.items()
                         if name == "dramatiq_message_duration_milliseconds_bucket"
                         and queue == "jobs" and a == actor)
        assert buckets[-1] == (float("inf"), count)
        assert [v for _, v in buckets] == sorted(v for _, v in buckets)
    assert _value(values, "dramatiq_message_rejects_total", "jobs", "fails") == 2
    assert sum(v for (name, *_), v in values.items()
               if name == "dramatiq_message_rejects_total") == 2
    # dramatiq counts a retry when it is put on the delay queue and again
    # when the worker moves it, due, to its queue (as with its own brokers):
    # the retry options travelled with the message both times.
    assert _value(values, "dramatiq_message_retries_total", "jobs.DQ", "flaky") == 2
    assert _value(values, "dramatiq_message_retries_total", "jobs", "flaky") == 2
    assert sum(v for (name, *_), v in values.items()
               if name == "dramatiq_message_retries_total") == 4
    # Every message that waited in memory for its eta went out again (dramatiq
    # adds it under the delay queue's name and takes it off under the queue's).
    assert sum(v for (name, *_), v in values.items()
               if name == "dramatiq_delayed_messages_inprogress") == 0
    assert len(_lines(marks / "flaky")) == 3

    # What the queue holds agrees: the two failures are its dead letters.
    producer.declare_queue("jobs")
    assert sorted(list(m.args) for m in producer.dead_letters) == [[0], [1]]
    assert producer.queues["jobs"].stats()["total"] == 0
    producer.close()
