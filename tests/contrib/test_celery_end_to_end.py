"""Celery on the tarnwick transport, end to end: a prefork worker process
with acks late and reject-on-worker-lost."""

import contextlib
import json
import os
import socket
import signal
import subprocess
import sys
import time

import pytest

pytest.importorskip("celery")

HERE = os.path.dirname(os.path.abspath(__file__))


def _lines(path):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [line.split() for line in f.read().splitlines()]


def _wait_for(path, deadline):
    while time.monotonic() < deadline:
        if _lines(path):
            return _lines(path)
        time.sleep(0.1)
    raise AssertionError(f"{os.path.basename(path)} never appeared")


@pytest.fixture
def celery_env(tmp_path, monkeypatch):
    broker, marks = tmp_path / "broker", tmp_path / "marks"
    marks.mkdir()
    monkeypatch.setenv("TARNWICK_E2E_BROKER", str(broker))
    monkeypatch.setenv("TARNWICK_E2E_MARKS", str(marks))
    monkeypatch.syspath_prepend(HERE)
    sys.modules.pop("celery_app", None)
    import celery_app
    yield celery_app, marks
    sys.modules.pop("celery_app", None)


@contextlib.contextmanager
def _celery_worker(tmp_path):
    """A Celery worker on the test's app, stopped with SIGTERM at the end
    (killed if it does not stop); its log is printed then."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([HERE] + [p for p in sys.path if p])
    log = open(tmp_path / "worker.log", "w")
    proc = subprocess.Popen(
        [sys.executable, "-m", "celery", "-A", "celery_app", "worker", "--pool=prefork",
         "--concurrency=1", "--without-gossip", "--without-mingle", "--without-heartbeat",
         "--loglevel=INFO"], cwd=tmp_path, env=env, stdout=log, stderr=subprocess.STDOUT)
    try:
        yield proc
    finally:
        _end(proc, log)


def _end(proc, log):
    """Stops `proc` with SIGTERM (killed if it does not stop) and prints the
    end of its log."""
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(30)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
    log.close()
    with open(log.name) as f:
        print(f.read()[-4000:])


def test_killed_child_task_runs_again_and_countdown_waits(celery_env, tmp_path):
    app, marks = celery_env
    app.record.delay("killed", die_first=True)
    sent = time.time()
    app.record.apply_async(("later",), countdown=3)
    with _celery_worker(tmp_path):
        deadline = time.monotonic() + 60
        done = _wait_for(marks / "killed.done", deadline)
        starts = _lines(marks / "killed.start")
        # The first run's child died with SIGKILL before it could finish; the
        # message came back and a new child completed it.
        assert len(starts) == 2 and len(done) == 1
        assert starts[0][1] != done[0][1]
        later = _wait_for(marks / "later.start", deadline)
        assert float(later[0][0]) >= sent + 3.0
        _wait_for(marks / "later.done", deadline)
    # Nothing is left in the queue: both messages were acked.
    from tarnwick_queue import Queue
    with Queue(str(tmp_path / "broker" / "celery")) as queue:
        stats = queue.stats()
    assert stats["ready"] == 0 and stats["in_flight"] == 0 and stats["dead_letters"] == 0


def test_rpc_reply_queues_of_clients_that_left_are_removed(celery_env, tmp_path):
    """Each client process of the rpc:// result backend has its reply queue
    (auto_delete) in the broker directory. A client exits without cancelling
    its consumer; the next channel opened on the directory removes the reply
    queues whose processes are gone."""
    broker = tmp_path / "broker"
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([HERE] + [p for p in sys.path if p])
    client = "import celery_app; print(celery_app.add.delay(2, 3).get(timeout=60))"
    with _celery_worker(tmp_path):
        seen = []
        for _ in range(3):
            done = subprocess.run([sys.executable, "-c", client], cwd=tmp_path, env=env,
                                  capture_output=True, text=True, timeout=120)
            assert done.returncode == 0 and done.stdout == "5\n", done.stderr
            # ("#tables" holds the exchanges' bindings.)
            replies = sorted(n for n in os.listdir(broker) if n != "celery"
                             and not n.startswith("#"))
            # Only the reply queue of the client that just left: the earlier
            # ones went when its channel opened.
            assert len(replies) == 1 and replies[0] not in seen, (replies, seen)
            seen += replies


def test_a_tasks_priority_name_and_id_reach_the_queue(celery_env, tmp_path):
    celery_app, _ = celery_env
    from tarnwick_queue import Queue

    urgent = celery_app.record.apply_async(("urgent",), priority=7)
    plain = celery_app.record.delay("plain")
    with Queue(str(tmp_path / "broker" / "celery")) as queue:
        infos = queue.peek()
        assert [(i.priority, i.headers) for i in infos] == [
            (70, {"task": "celery_app.record", "id": urgent.id}),
            (0, {"task": "celery_app.record", "id": plain.id})]
        assert queue.get(timeout=1).id == infos[0].id


@pytest.fixture
def control(monkeypatch):
    monkeypatch.setenv("TARNWICK_E2E_CONTROL", "1")


def test_inspect_ping_and_task_events_cross_processes(control, celery_env, tmp_path):
    """Remote control (a fanout exchange the worker's pidbox queue is bound
    to, and replies to the client's queue) and events (a topic exchange a
    receiver in this process binds to) between the worker process and
    clients in others."""
    celery_app, _ = celery_env
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([HERE] + [p for p in sys.path if p])
    with _celery_worker(tmp_path):
        deadline = time.monotonic() + 120
        while True:  # until the worker is up and answers
            ping = subprocess.run([sys.executable, "-m", "celery", "-A", "celery_app", "inspect",
                                   "ping", "--timeout", "5", "--json"], cwd=tmp_path, env=env,
                                  capture_output=True, text=True, timeout=120)
            if ping.returncode == 0:
                break
            assert time.monotonic() < deadline, ping.stdout + ping.stderr
        answers = json.loads(ping.stdout)
        assert list(answers.values()) == [{"ok": "pong"}], answers

        seen = []
        with celery_app.app.connection() as connection:
            def on_event(event):
                seen.append((event["type"], event.get("uuid")))

            receiver = celery_app.app.events.Receiver(
                connection, handlers={"task-succeeded": on_event, "task-received": on_event})
            with receiver.consumer_context() as (consuming, _, _):
                result = celery_app.add.delay(20, 22)
                while ("task-succeeded", result.id) not in seen:
                    assert time.monotonic() < deadline, seen
                    try:
                        consuming.drain_events(timeout=1)
                    except socket.timeout:
                        pass
        assert ("task-received", result.id) in seen


def test_celery_events_dumps_a_workers_task_events(control, celery_env, tmp_path):
    """`celery events --dump` as a command of its own: its event queue, bound
    in its process, hears the worker's events."""
    celery_app, _ = celery_env
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    env["PYTHONPATH"] = os.pathsep.join([HERE] + [p for p in sys.path if p])
    out = tmp_path / "events.txt"
    with open(out, "w") as sink:
        dumper = subprocess.Popen([sys.executable, "-m", "celery", "-A", "celery_app", "events",
                                   "--dump"], cwd=tmp_path, env=env, stdout=sink,
                                  stderr=subprocess.STDOUT)
    log = open(tmp_path / "dumper.log", "w")  # for _end's report
    try:
        with _celery_worker(tmp_path):
            deadline = time.monotonic() + 180
            while True:
                # Tasks until one is heard: the dumper's queue may be bound
                # after the first ones were sent.
                result = celery_app.add.delay(1, 2)
                assert result.get(timeout=60) == 3
                wait_until = time.monotonic() + 5
                while time.monotonic() < wait_until:
                    lines = out.read_text().splitlines()
                    if any("task succeeded" in line and result.id in line for line in lines):
                        break
                    time.sleep(0.2)
                else:
                    assert time.monotonic() < deadline, out.read_text()[-3000:]
                    continue
                break
        assert any("task received" in line and result.id in line and "celery_app.add" in line
                   for line in lines), lines
    finally:
        _end(dumper, log)


def test_flower_shows_the_worker_and_its_tasks(control, celery_env, tmp_path):
    """A real Flower on loopback, on the same broker directory: its HTTP API
    lists the worker (through remote control) and the tasks it ran
    (through events)."""
    pytest.importorskip("flower")
    import urllib.request

    celery_app, _ = celery_env
    env = dict(os.environ, FLOWER_UNAUTHENTICATED_API="1")
    env["PYTHONPATH"] = os.pathsep.join([HERE] + [p for p in sys.path if p])
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    log = open(tmp_path / "flower.log", "w")
    flower = subprocess.Popen([sys.executable, "-m", "celery", "-A", "celery_app", "flower",
                               "--address=127.0.0.1", f"--port={port}"], cwd=tmp_path, env=env,
                              stdout=log, stderr=subprocess.STDOUT)

    def api(path):
        with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=30) as reply:
            return json.loads(reply.read())

    try:
        with _celery_worker(tmp_path):
            deadline = time.monotonic() + 180
            workers = {}
            while not any(w.get("stats") for w in workers.values()):
                assert time.monotonic() < deadline, workers
                try:
                    workers = api("/api/workers?refresh=1")
                except OSError:
                    time.sleep(0.5)  # not listening yet
            results = [celery_app.add.delay(n, n) for n in range(3)]
            assert [r.get(timeout=60) for r in results] == [0, 2, 4]
            ids = {r.id for r in results}
            while True:
                tasks = api("/api/tasks")
                done = {id for id, task in tasks.items() if task.get("state") == "SUCCESS"}
                if ids <= done:
                    break
                assert time.monotonic() < deadline, tasks
                time.sleep(0.5)
            assert {tasks[id]["name"] for id in ids} == {"celery_app.add"}
            assert {tasks[id]["worker"] for id in ids} == set(workers)
    finally:
        _end(flower, log)
