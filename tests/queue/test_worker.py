"""Worker: acking, retry pauses, dead letters, the lease heartbeat, shutdown
on signals; the supervisor behind `tarnwick worker`."""

import logging
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from dict_driver import DictStore, open_dict_queue
from processes import alive, children, run_tarnwick, run_until, start_tarnwick, stop, wait_for

from tarnwick_queue import Queue, Worker
from tarnwick_queue.worker import retry_delay


def test_acks_retries_with_growing_pauses_then_parks_with_the_exception(open_queue):
    queue = open_queue(lease=5.0, sync_interval=0.05)
    queue.put(b"ok")
    bad = queue.put(b"bad")
    queue.put(b"settles itself")
    seen = []

    def handler(message):
        seen.append((message.body, message.deliveries, time.monotonic()))
        if message.body == b"bad":
            raise ValueError(f"nope {message.deliveries}")
        if message.body == b"settles itself":
            message.dead("handled here")

    worker = Worker(queue, handler, max_deliveries=4, backoff=(0.1, 2.0, 0.25))
    run_until(worker, lambda: queue.stats()["total"] == 0)

    assert worker.counts == {"acked": 1, "retried": 3, "dead": 1, "lost": 0, "returned": 0,
                             "unknown": 0}
    tries = [(d, t) for body, d, t in seen if body == b"bad"]
    assert [d for d, _ in tries] == [1, 2, 3, 4]
    pauses = [b - a for (_, a), (_, b) in zip(tries, tries[1:])]
    # first pause 0.1, then 0.2, then capped at 0.25 (a few ms early at most:
    # delays are whole milliseconds of the wall clock)
    # (only lower bounds: a busy machine makes any pause longer)
    for pause, wanted in zip(pauses, [0.1, 0.2, 0.25]):
        assert pause >= wanted - 0.01
    letters = {d.original_id: d for d in queue.dead_letters.list()}
    assert letters[bad].reason == "ValueError: nope 4" and letters[bad].deliveries == 4
    assert letters[bad].body == b"bad"
    assert sorted(d.reason for d in letters.values()) == ["ValueError: nope 4", "handled here"]


def test_retry_pauses_grow_to_the_cap_without_overflow():
    assert [retry_delay(d, (1.0, 2.0, 300.0)) for d in (1, 2, 3, 9, 10)] == \
        [1.0, 2.0, 4.0, 256.0, 300.0]
    assert retry_delay(100000, (1.0, 2.0, 300.0)) == 300.0
    assert retry_delay(5, (0.5, 1.0, 9.0)) == 0.5


def test_without_max_deliveries_a_failing_message_keeps_coming_back(open_queue):
    queue = open_queue(lease=5.0, sync_interval=0.05)
    queue.put(b"x")
    deliveries = []

    def handler(message):
        deliveries.append(message.deliveries)
        raise RuntimeError

    worker = Worker(queue, handler, backoff=(0.0, 1.0, 0.0))
    run_until(worker, lambda: len(deliveries) >= 6)
    assert deliveries[:6] == [1, 2, 3, 4, 5, 6]
    assert len(queue.dead_letters) == 0


def test_heartbeat_keeps_a_long_job_leased(open_queue):
    # The heartbeat extends a lease with half of it left: a second of slack,
    # which holds on a busy machine.
    queue = open_queue(lease=2.0, sync_interval=0.05)
    queue.put(b"long")
    states = []

    def handler(message):
        first_end = message.lease_expires_at
        while time.time() < first_end + 2.0:  # past the end of two leases
            time.sleep(0.2)
            states.append(queue.peek()[0].state)
        states.append(message.lease_expires_at > time.time())

    worker = Worker(queue, handler)
    run_until(worker, lambda: queue.stats()["total"] == 0, timeout=60)
    assert len(states) >= 3 and states == ["leased"] * (len(states) - 1) + [True]
    assert worker.counts["acked"] == 1 and worker.counts["lost"] == 0


def test_a_lost_lease_is_logged_and_not_acked(open_queue, caplog):
    queue = open_queue(lease=2.0, sync_interval=0.05)
    queue.put(b"doomed")
    queue.put(b"next")
    bodies = []

    def handler(message):
        bodies.append(message.body)
        if message.body == b"doomed":
            # Another process could have purged it: the next extension fails.
            queue.purge()
            queue.put(b"after")
            wait_for(lambda: "lease lost" in caplog.text, 30, "the heartbeat to find it gone")

    worker = Worker(queue, handler)
    with caplog.at_level(logging.WARNING, logger="tarnwick_queue.worker"):
        # The queue is empty for a moment between the purge and the put.
        run_until(worker, lambda: len(bodies) == 2 and queue.stats()["total"] == 0)
    assert bodies == [b"doomed", b"after"]
    assert worker.counts["lost"] == 1 and worker.counts["acked"] == 1
    assert "lease lost" in caplog.text


def test_an_ack_goes_with_the_next_look_and_the_last_one_with_the_stop(open_queue, caplog):
    queue = open_queue(lease=30.0)
    queue.put_many([b"0", b"1", b"2", b"doomed", b"purged"])
    outcomes = []

    def handler(message):
        if message.body == b"doomed":
            # Gone before its ack, which goes with the next look: not acked,
            # and that look still takes what came meanwhile.
            queue.purge()
            queue.put(b"after")
        elif message.body == b"after":
            worker.stop()  # the loop ends with this success not acked yet

    worker = Worker(queue, handler,
                    on_job_done=lambda done: outcomes.append((done.message.body, done.outcome)))
    with caplog.at_level(logging.WARNING, logger="tarnwick_queue.worker"):
        worker.run()
    assert outcomes == [(b"0", "acked"), (b"1", "acked"), (b"2", "acked"), (b"doomed", "lost"),
                        (b"after", "acked")]
    assert worker.counts["acked"] == 4 and worker.counts["lost"] == 1
    assert queue.stats()["total"] == 0
    assert "its lease ended before it was settled" in caplog.text


def test_a_failed_step_leaves_its_ack_unknown_and_the_worker_goes_on(caplog):
    queue = open_dict_queue(DictStore())
    step = queue.driver.ack_then_take
    failures = [ConnectionError("the server went away")]

    def failing_once(*args):
        if failures:
            raise failures.pop()
        return step(*args)

    queue.driver.ack_then_take = failing_once
    first, _, _ = queue.put_many([b"a", b"b", b"c"])
    outcomes = []
    worker = Worker(queue, lambda m: worker.stop() if m.body == b"c" else None,
                    on_job_done=lambda done: outcomes.append((done.message.body, done.outcome)))
    with caplog.at_level(logging.WARNING, logger="tarnwick_queue.worker"):
        worker.run()
    assert outcomes == [(b"a", "unknown"), (b"b", "acked"), (b"c", "acked")]
    assert "the outcome of settling it is unknown" in caplog.text
    # Not acked: it comes back when its lease ends.
    assert [(i.id, i.state) for i in queue.peek()] == [(first, "leased")]


def test_a_message_the_handler_settled_is_left_alone(open_queue, caplog):
    queue = open_queue(lease=5.0, sync_interval=0.05)
    queue.put_many([b"ack", b"dead", b"raise after ack"])

    def handler(message):
        if message.body == b"dead":
            message.dead("own reason")
        else:
            message.ack()
        if message.body == b"raise after ack":
            raise ValueError

    worker = Worker(queue, handler, max_deliveries=1)
    with caplog.at_level(logging.WARNING, logger="tarnwick_queue.worker"):
        run_until(worker, lambda: queue.stats()["total"] == 0)
    assert worker.counts == {"acked": 0, "retried": 0, "dead": 0, "lost": 0, "returned": 0,
                             "unknown": 0}
    assert [d.reason for d in queue.dead_letters.list()] == ["own reason"]
    assert "lease" not in caplog.text


def test_a_factory_is_opened_in_run_and_closed_after(tmp_path):
    path = str(tmp_path / "q")
    with Queue(path, sync_interval=0.05) as q:
        q.put_many([b"1", b"2"])
    opened = []

    def factory():
        opened.append(Queue(path, sync_interval=0.05))
        return opened[-1]

    done = []
    worker = Worker(factory, lambda m: done.append(m.body))
    run_until(worker, lambda: len(done) == 2)
    assert len(opened) == 1 and opened[0].closed
    with Queue(path) as q:
        assert q.stats()["total"] == 0


class CountingQueue:
    """A queue of the face that counts the gets made through it."""

    def __init__(self, queue):
        self.queue = queue
        self.gets = 0
        self.waiting = threading.Event()

    def get(self, *args, **kwargs):
        self.gets += 1
        self.waiting.set()
        return self.queue.get(*args, **kwargs)


def test_an_idle_worker_waits_in_one_get_until_a_message_or_stop(open_queue):
    queue = open_queue(lease=5.0)
    counting = CountingQueue(queue)
    handled = threading.Event()
    worker = Worker(counting, lambda message: handled.set())
    thread = threading.Thread(target=worker.run)
    thread.start()
    try:
        assert counting.waiting.wait(20)
        time.sleep(1.5)  # idle: a loop that woke to look at its stop flag would get again
        assert counting.gets == 1
        counting.waiting.clear()
        queue.put(b"job")
        assert handled.wait(20)
        assert counting.waiting.wait(20)  # idle again
    finally:
        worker.stop()
        thread.join(10)
    assert not thread.is_alive()
    assert counting.gets == 2 and worker.counts["acked"] == 1


def test_a_signal_that_reaches_another_thread_stops_an_idle_worker(open_queue):
    # The main thread sleeps in get; the signal lands in a thread of ours, so
    # only the wake-up descriptor can end that sleep for the handler to run.
    counting = CountingQueue(open_queue(lease=5.0))
    worker = Worker(counting, print)
    returned = threading.Event()
    unstuck = []

    def signal_from_here():
        counting.waiting.wait(20)
        # Into the sleep, not the lines before it (a signal there is
        # handled on the spot); a signal too early only makes this pass.
        time.sleep(0.5)
        signal.pthread_kill(threading.get_ident(), signal.SIGTERM)
        if not returned.wait(20):
            unstuck.append(True)
            worker.stop()

    sender = threading.Thread(target=signal_from_here)
    sender.start()
    try:
        worker.run()
    finally:
        returned.set()
        sender.join()
    assert not unstuck, "run() did not return after SIGTERM"
    assert counting.gets == 1


def test_bad_arguments_are_refused():
    with Queue(":memory:") as q:
        for bad, error in [({"backoff": (1, 2)}, TypeError), ({"backoff": (1, 0.5, 3)}, ValueError),
                           ({"backoff": (5, 2, 1)}, ValueError),
                           ({"backoff": (-1, 2, 3)}, ValueError),
                           ({"lease": 0}, ValueError), ({"max_deliveries": 0}, ValueError),
                           ({"grace": -1}, ValueError), ({"backoff": ("1", 2, 3)}, TypeError)]:
            with pytest.raises(error):
                Worker(q, print, **bad)
        with pytest.raises(TypeError):
            Worker(q, "not callable")
        with pytest.raises(TypeError):
            Worker(42, print)


# --- signals, in a process of its own ---

SCRIPT = textwrap.dedent("""
    import json, sys, time
    from tarnwick_queue import Queue, Worker
    path, marker, sleep, grace = sys.argv[1], sys.argv[2], float(sys.argv[3]), float(sys.argv[4])
    def handler(message):
        open(marker, "w").close()
        time.sleep(sleep)
    worker = Worker(lambda: Queue(path, sync_interval=0.05), handler, grace=grace)
    worker.run()
    print(json.dumps(worker.counts))
""")


def start_script(tmp_path, sleep, grace):
    """A worker process whose handler has begun its one job: its signal
    handlers are in place."""
    path, marker = str(tmp_path / "q"), str(tmp_path / "started")
    with Queue(path) as q:
        q.put(b"job")
    process = subprocess.Popen([sys.executable, "-c", SCRIPT, path, marker, str(sleep),
                                str(grace)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    wait_for(lambda: os.path.exists(marker), 30, "the handler to start")
    return process, path


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT])
def test_a_handler_past_the_grace_period_is_interrupted_and_its_message_returned(
        tmp_path, signum):
    process, path = start_script(tmp_path, sleep=600, grace=0.3)
    started = time.monotonic()
    assert stop(process, signum, timeout=120) == 0, process.stderr.read()
    assert time.monotonic() - started < 60  # not the handler's 600 s
    assert b'"returned": 1' in process.stdout.read()
    with Queue(path) as q:
        (info,) = q.peek()
        assert info.state == "ready" and info.deliveries == 1  # back at once, no backoff


def test_a_handler_within_the_grace_period_finishes_and_is_acked(tmp_path):
    process, path = start_script(tmp_path, sleep=0.5, grace=600)
    assert stop(process, timeout=120) == 0
    assert b'"acked": 1' in process.stdout.read()
    with Queue(path) as q:
        assert q.stats()["total"] == 0


def test_an_idle_worker_stops_at_once(tmp_path):
    process, path = start_script(tmp_path, sleep=0, grace=600)
    with Queue(path) as q:  # its one job done, the worker waits for more
        wait_for(lambda: q.stats()["total"] == 0, 30, "the job to be acked")
    started = time.monotonic()
    assert stop(process, timeout=120) == 0
    assert time.monotonic() - started < 60  # not the grace period's 600 s


# --- the supervisor ---

HANDLER = "def handle(message):\n    pass\n"


def supervised(tmp_path, processes, *extra):
    (tmp_path / "jobs.py").write_text(HANDLER)
    return start_tarnwick("worker", "jobs:handle", "--queue", tmp_path / "q",
                          "--processes", processes, "--sync-interval", "0.05", *extra,
                          cwd=tmp_path, stderr=subprocess.PIPE)


def test_supervisor_restarts_a_killed_worker_and_stops_all_on_sigterm(tmp_path):
    supervisor = supervised(tmp_path, 3)
    try:
        first = wait_for(lambda: (lambda c: c if len(c) == 3 else None)(children(supervisor.pid)),
                         20, "three workers")
        os.kill(first[0], signal.SIGKILL)
        later = wait_for(lambda: (lambda c: c if len(c) == 3 and first[0] not in c else None)(
            children(supervisor.pid)), 20, "a new worker")
        assert set(first[1:]) <= set(later)
        with Queue(str(tmp_path / "q")) as q:
            q.put_many([b"x"] * 50)
            wait_for(lambda: q.stats()["total"] == 0, 20, "the workers to drain the queue")
    finally:
        status = stop(supervisor)
    log = supervisor.stderr.read().decode()
    assert status == 0, log
    assert "killed by SIGKILL; restarting" in log
    assert not any(alive(pid) for pid in later)


def test_workers_stop_when_their_supervisor_is_killed(tmp_path):
    supervisor = supervised(tmp_path, 2)
    workers = wait_for(lambda: (lambda c: c if len(c) == 2 else None)(children(supervisor.pid)),
                       20, "two workers")
    stop(supervisor, signal.SIGKILL)
    wait_for(lambda: not any(alive(pid) for pid in workers), 20, "the orphaned workers to stop")


def test_a_handler_that_cannot_be_loaded_is_one_error_line(tmp_path):
    (tmp_path / "jobs.py").write_text(HANDLER)
    missing = run_tarnwick("worker", "nosuchmodule:handle", "--queue", tmp_path / "q",
                           cwd=tmp_path)
    assert missing.returncode == 1
    assert missing.stderr.decode().strip() == \
        "tarnwick: error: cannot import 'nosuchmodule': no such module"
    # The module exists but the function does not: the worker process finds
    # out, and the supervisor gives up instead of restarting it forever.
    no_function = run_tarnwick("worker", "jobs:nothing", "--queue", tmp_path / "q",
                               "--processes", "2", cwd=tmp_path)
    assert no_function.returncode == 1
    assert "tarnwick: error: 'jobs' has no 'nothing'" in no_function.stderr.decode()
    bad_spec = run_tarnwick("worker", "jobs", "--queue", tmp_path / "q", cwd=tmp_path)
    assert bad_spec.returncode == 1 and b"expected MODULE:FUNCTION" in bad_spec.stderr


def test_a_worker_that_keeps_crashing_on_start_is_restarted_ever_more_slowly(tmp_path):
    (tmp_path / "crashing.py").write_text("import sys\nsys.exit(3)\ndef handle(m): pass\n")
    supervisor = start_tarnwick("worker", "crashing:handle", "--queue", tmp_path / "q",
                                cwd=tmp_path, stderr=subprocess.PIPE)
    pauses = []  # of the restarts since the last one without a pause
    give_up = time.monotonic() + 120
    try:
        for line in supervisor.stderr:
            if b"exited with status 3; restarting it" not in line:
                continue
            after = line.split(b"restarting it")[-1]
            if after.startswith(b" in "):
                pauses.append(float(after.split()[1]))
            else:
                # A busy machine: the worker took longer than the quick-death
                # window to start and crash, so it was restarted at once and
                # its pauses start over.
                pauses = []
            if len(pauses) == 2 or time.monotonic() > give_up:
                break
    finally:
        assert stop(supervisor) == 0
    assert pauses == [0.5, 1.0]
