"""Worker: time limits (a signal in the main thread, a soft stop in threads,
cancellation for coroutines, the supervisor's kill for a handler stuck in C
code), handler threads, async handlers, several queues by priority."""

import asyncio
import json
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from processes import run_until, start_tarnwick, stop, wait_for

from tarnwick_queue import Queue, Worker

WAIT = 60  # the bound on every wait: a loaded machine is slow, never this slow


# --- in the main thread: a signal stops a sleeping, blocked or spinning handler ---

STUCK = textwrap.dedent("""
    import json, os, sys, threading, time
    from tarnwick_queue import Queue, Worker
    path = sys.argv[1]
    read_end, _ = os.pipe()  # nobody writes
    def handler(message):
        body = message.body
        if body == b"sleep":
            time.sleep(600)
        elif body == b"read":
            os.read(read_end, 1)
        elif body == b"spin":
            while True:
                pass
    worker = Worker(lambda: Queue(path, sync_interval=0.05), handler, timeout=0.5,
                    max_deliveries=2, backoff=(0.05, 1.0, 0.05))
    def stop_when_empty():
        with Queue(path) as q:
            while q.stats()["total"]:
                time.sleep(0.05)
        worker.stop()
    threading.Thread(target=stop_when_empty, daemon=True).start()
    started = time.monotonic()
    worker.run()
    print(json.dumps({"counts": worker.counts, "took": time.monotonic() - started}))
""")


def test_a_handler_past_its_limit_is_stopped_and_fails_then_dies(tmp_path):
    path = str(tmp_path / "q")
    with Queue(path) as q:
        q.put_many([b"sleep", b"ok", b"read", b"spin", b"ok"])
    out = subprocess.run([sys.executable, "-c", STUCK, path], capture_output=True,
                         timeout=WAIT * 2)
    assert out.returncode == 0, out.stderr.decode()
    report = json.loads(out.stdout)
    # Each stuck one twice at 0.5 s: about 3 s, far from the 600 s sleep.
    assert report["took"] < WAIT
    assert report["counts"] == {"acked": 2, "retried": 3, "dead": 3,
                                "lost": 0, "returned": 0, "unknown": 0}
    assert out.stderr.decode().count("timed out after 0.5 s; stopping its handler") == 6
    with Queue(path) as q:
        letters = sorted((d.body, d.deliveries, d.reason) for d in q.dead_letters.list())
    assert letters == [(body, 2, "timed out after 0.5 s") for body in (b"read", b"sleep", b"spin")]


# --- threads ---

def test_threads_run_at_once_keep_leases_and_stop_softly_at_the_limit(tmp_path):
    path = str(tmp_path / "q")
    queue = Queue(path, lease=1.0, sync_interval=0.05)
    queue.put_many([b"a", b"b", b"c", b"slow", b"d"])
    lock = threading.Lock()
    running, most, late = [0], [0], []
    three = threading.Barrier(3, timeout=WAIT)

    def handler(message):
        with lock:
            running[0] += 1
            most[0] = max(most[0], running[0])
        try:
            if message.body in (b"a", b"b", b"c"):
                three.wait()     # three at once, or this fails
                time.sleep(2.5)  # past two leases of 1 s: the keeper renews them
            elif message.body == b"slow" and message.deliveries == 1:
                time.sleep(4.5)  # past its 3 s limit: failed, its late return dropped
                late.append(message.id)
        finally:
            with lock:
                running[0] -= 1

    worker = Worker(queue, handler, threads=3, timeout=3.0, backoff=(0.05, 1.0, 0.05))
    try:
        run_until(worker, lambda: queue.stats()["total"] == 0 and late)
    finally:
        queue.close()
    assert most[0] == 3
    assert worker.counts == {"acked": 5, "retried": 1, "dead": 0,
                             "lost": 0, "returned": 0, "unknown": 0}


# --- async handlers ---

def test_an_async_handler_runs_concurrently_and_settles_by_its_outcome(tmp_path):
    queue = Queue(str(tmp_path / "q"), lease=30.0, sync_interval=0.05)
    queue.put_many([b"one", b"two", b"bad", b"hang"])
    seen, at_once, most = [], [0], [0]

    async def handler(message):
        seen.append((message.body, message.deliveries))
        at_once[0] += 1
        most[0] = max(most[0], at_once[0])
        try:
            if message.body == b"bad":
                raise ValueError("no")
            if message.body == b"hang":
                await asyncio.sleep(600)
            await asyncio.sleep(0.3)
        finally:
            at_once[0] -= 1

    worker = Worker(queue, handler, concurrency=2, timeout=1.0, max_deliveries=2,
                    backoff=(0.05, 1.0, 0.05))
    try:
        run_until(worker, lambda: queue.stats()["total"] == 0)
        letters = sorted((d.body, d.reason) for d in queue.dead_letters.list())
    finally:
        queue.close()
    assert letters == [(b"bad", "ValueError: no"), (b"hang", "timed out after 1 s")]
    assert sorted(seen) == [(b"bad", 1), (b"bad", 2), (b"hang", 1), (b"hang", 2),
                            (b"one", 1), (b"two", 1)]
    assert most[0] == 2
    assert worker.counts == {"acked": 2, "retried": 2, "dead": 2,
                             "lost": 0, "returned": 0, "unknown": 0}


def test_a_plain_function_that_returns_a_coroutine_fails_its_message(tmp_path):
    queue = Queue(str(tmp_path / "q"), sync_interval=0.05)
    queue.put(b"x")

    async def never_awaited(message):
        raise AssertionError("not run")

    worker = Worker(queue, lambda message: never_awaited(message), max_deliveries=1)
    try:
        run_until(worker, lambda: queue.stats()["total"] == 0)
        (letter,) = queue.dead_letters.list()
    finally:
        queue.close()
    assert letter.reason.startswith("TypeError: the handler returned an awaitable")


def test_mixed_up_arguments_are_refused():
    async def coroutine(message):
        pass
    with Queue(":memory:") as q:
        with pytest.raises(ValueError, match="concurrency"):
            Worker(q, coroutine, threads=2)
        with pytest.raises(ValueError, match="async"):
            Worker(q, print, concurrency=2)
        for bad in ({"threads": 0}, {"timeout": 0}, {"timeout": -1}):
            with pytest.raises(ValueError):
                Worker(q, print, **bad)
        with pytest.raises(ValueError):
            Worker([], print)


# --- several queues ---

@pytest.mark.parametrize("mode", ["sync", "async", "postgres"])
def test_several_queues_are_taken_by_priority_and_one_wait_covers_all(request, tmp_path, mode):
    if mode == "postgres":  # the waits on server notifications' sockets
        pytest.importorskip("psycopg")
        from tarnwick_queue.postgres import PostgresQueue
        dsn, name = request.getfixturevalue("pg_dsn"), request.getfixturevalue("pg_name")
        high, low = PostgresQueue(dsn, name + "-high"), PostgresQueue(dsn, name + "-low")
    else:
        high = Queue(str(tmp_path / "high"), sync_interval=0.05)
        low = Queue(str(tmp_path / "low"), sync_interval=0.05)
    low.put_many([b"low1", b"low2"])
    high.put_many([b"high1", b"high2"])
    seen = []

    def record(message):
        seen.append(message.body)

    async def record_async(message):
        record(message)

    worker = Worker([high, low], record_async if mode == "async" else record)
    thread = threading.Thread(target=worker.run)
    thread.start()
    try:
        wait_for(lambda: len(seen) == 4, WAIT, "the first four")
        assert seen == [b"high1", b"high2", b"low1", b"low2"]
        time.sleep(0.3)  # idle, waiting on both
        low.put(b"low3")  # the low queue's change wakes the one wait
        wait_for(lambda: len(seen) == 5, WAIT, "a message put into the second queue")
        high.put(b"high3")
        wait_for(lambda: len(seen) == 6, WAIT, "a message put into the first queue")
    finally:
        worker.stop()
        thread.join(WAIT)
        high.close()
        low.close()
    assert not thread.is_alive()
    assert seen[4:] == [b"low3", b"high3"]


# --- the supervisor kills a process whose handler is stuck in C code ---

IN_C = textwrap.dedent("""
    import ctypes, os, signal
    def handle(message):
        if message.deliveries == 1:
            open(os.path.join(os.environ["LIMITS_DIR"], "stuck"), "w").close()
            signal.pthread_sigmask(signal.SIG_BLOCK, set(signal.Signals))
            ctypes.CDLL(None).pause()  # no signal handler can run: only SIGKILL ends it
        with open(os.path.join(os.environ["LIMITS_DIR"], "done"), "a") as f:
            f.write(f"{message.body.decode()} {message.deliveries} {os.getpid()}\\n")
""")


def test_a_worker_stuck_in_c_code_is_killed_and_replaced_and_the_job_comes_back(tmp_path):
    (tmp_path / "c_jobs.py").write_text(IN_C)
    path = str(tmp_path / "q")
    with Queue(path) as q:
        q.put(b"job")
    log_path = tmp_path / "supervisor.log"
    with open(log_path, "wb") as log:
        supervisor = start_tarnwick(
            "worker", "c_jobs:handle", "--queue", path, "--processes", 1, "--timeout", 1,
            "--backoff", "0.1,1,0.1", "--sync-interval", "0.05", cwd=tmp_path,
            env=dict(os.environ, LIMITS_DIR=str(tmp_path)), stderr=log)
    try:
        wait_for(lambda: (tmp_path / "stuck").exists(), WAIT, "the handler to get stuck")
        wait_for(lambda: (tmp_path / "done").exists(), WAIT, "the job to come back")
        with Queue(path) as q:
            wait_for(lambda: q.stats()["total"] == 0, WAIT, "the job to be acked")
    finally:
        assert stop(supervisor) == 0
    text = log_path.read_text()
    assert "timed out after 1 s" in text
    assert "past its time limit; killing the process" in text
    assert "was killed by SIGKILL; restarting it" in text
    (line,) = (tmp_path / "done").read_text().splitlines()
    assert line.split()[:2] == ["job", "2"]


# --- shutdown with several handlers at once ---

MANY = textwrap.dedent("""
    import asyncio, os, time
    def note(message):
        open(os.path.join(os.environ["MANY_DIR"], message.body.decode()), "w").close()
    async def coroutine(message):
        note(message)
        await asyncio.sleep(600 if message.body == b"long" else 0.1)
    def function(message):
        note(message)
        time.sleep(600 if message.body == b"long" else 0.1)
""")


@pytest.mark.parametrize("how", [("many:coroutine", "--concurrency"),
                                 ("many:function", "--threads")])
def test_a_warm_stop_finishes_the_short_jobs_and_returns_the_long_one(tmp_path, how):
    handler, option = how
    (tmp_path / "many.py").write_text(MANY)
    path = str(tmp_path / "q")
    with Queue(path) as q:
        q.put_many([b"a", b"long", b"b"])
    supervisor = start_tarnwick("worker", handler, "--queue", path, option, 3, "--grace", 0.5,
                                "--sync-interval", "0.05", cwd=tmp_path,
                                env=dict(os.environ, MANY_DIR=str(tmp_path)),
                                stderr=subprocess.DEVNULL)
    try:
        wait_for(lambda: (tmp_path / "long").exists(), WAIT, "the long job to start")
        with Queue(path) as q:
            wait_for(lambda: q.stats()["total"] == 1, WAIT, "the short jobs to be acked")
    finally:
        assert stop(supervisor) == 0
    with Queue(path) as q:
        (info,) = q.peek()
    assert info.state == "ready" and info.deliveries == 1  # back at once
