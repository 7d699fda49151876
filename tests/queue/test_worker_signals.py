"""Signals to `tarnwick worker --processes 3` and to one of its workers, with
a job in flight in each worker: which jobs complete, which come back to the
queue and when (at once, or at the lease's end), the exit status, and that
no worker is left running. The table these tests hold is in docs/workers.md.

Five jobs j0..j4 are put; each worker takes one and tells the test so (a
line in an events file), then waits until the test releases it (a file).
The other two wait in the queue. Leases are long (600 s) wherever the test
tells "back at once" from "back at the lease's end"; only the case of a
killed worker has a short lease, which the test waits past on purpose."""

import collections
import os
import re
import signal
import subprocess
import textwrap
import time

import pytest

from processes import alive, children, start_tarnwick, wait_for

from tarnwick_queue import Queue

pytestmark = pytest.mark.slow

HANDLER = textwrap.dedent("""
    import os, time
    VERSION = {version!r}
    EVENTS, RELEASE = os.environ["SIGNALS_EVENTS"], os.environ["SIGNALS_RELEASE"]

    def note(*words):
        fd = os.open(EVENTS, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
        os.write(fd, (" ".join(str(w) for w in words) + "\\n").encode())  # one write
        os.close(fd)

    def handle(message):
        body = message.body.decode()
        note("start", body, os.getpid(), message.deliveries, VERSION, repr(time.time()))
        while not any(os.path.exists(os.path.join(RELEASE, name)) for name in (body, "all")):
            time.sleep(0.02)
        note("done", body, os.getpid(), VERSION)
""")

JOBS = ["j0", "j1", "j2", "j3", "j4"]
HELD, WAITING = JOBS[:3], JOBS[3:]
LONG_LEASE = 600.0
WAIT = 60  # the bound on every wait: a loaded machine is slow, never this slow
# A handler's start: its job, its worker, the delivery, the code's version, the time.
Start = collections.namedtuple("Start", "body pid deliveries version at")
STOPPING = re.compile(r"\[(\d+)\] tarnwick_queue\.worker: (SIG[A-Z]+): stopping( now)?$")


class Run:
    """A supervisor with 3 workers, each holding one of j0..j2."""

    def __init__(self, tmp_path, grace, lease=LONG_LEASE):
        self.tmp = tmp_path
        self.path = str(tmp_path / "q")
        self.events = tmp_path / "events"
        self.release_dir = tmp_path / "release"
        self.release_dir.mkdir()
        self.log_path = tmp_path / "supervisor.log"
        self.write_handler("v1")
        with Queue(self.path) as q:
            q.put_many([body.encode() for body in JOBS])
        env = dict(os.environ, SIGNALS_EVENTS=str(self.events),
                   SIGNALS_RELEASE=str(self.release_dir),
                   PYTHONDONTWRITEBYTECODE="1")  # a rewritten handler is read afresh
        with open(self.log_path, "wb") as log:
            self.supervisor = start_tarnwick(
                "worker", "signal_jobs:handle", "--queue", self.path, "--processes", 3,
                "--lease", lease, "--grace", grace, "--sync-interval", "0.05",
                cwd=tmp_path, env=env, stderr=log)
        holders = wait_for(lambda: (lambda s: s if len(s) == 3 else None)(self.starts()),
                           WAIT, "three workers to take a job each")
        assert sorted(s.body for s in holders) == HELD
        self.holder = {s.body: s.pid for s in holders}
        assert len(set(self.holder.values())) == 3
        # Each in a process group of its own: a terminal's Ctrl-C reaches
        # the supervisor only.
        assert all(os.getpgid(pid) == pid for pid in self.holder.values())

    def write_handler(self, version):
        (self.tmp / "signal_jobs.py").write_text(HANDLER.format(version=version))

    # --- what happened ---

    def lines(self):
        return [line.split() for line in self.events.read_text().splitlines()] \
            if self.events.exists() else []

    def starts(self):
        return [Start(w[1], int(w[2]), int(w[3]), w[4], float(w[5]))
                for w in self.lines() if w[0] == "start"]

    def done(self):
        """(body, pid, version) of each handler that returned."""
        return [(w[1], int(w[2]), w[3]) for w in self.lines() if w[0] == "done"]

    def log(self):
        return self.log_path.read_text()

    def stopping(self, pids):
        """Waits until each worker in `pids` has logged that it is stopping."""
        def seen():
            found = {int(m.group(1)) for m in map(STOPPING.search, self.log().splitlines())
                     if m}
            return set(pids) <= found
        wait_for(seen, WAIT, f"workers {sorted(pids)} to log that they are stopping")

    def queue(self):
        """body -> (state, deliveries, due_at) of what is in the queue."""
        with Queue(self.path) as q:
            return {m.body.decode(): (m.state, m.deliveries, m.due_at)
                    for m in q.peek(100, bodies=True)}

    def gone(self, *bodies):
        return not set(bodies) & set(self.queue())

    # --- acting ---

    def release(self, *bodies):
        for body in bodies:
            (self.release_dir / body).touch()

    def release_all(self):
        self.release("all")

    def exit_status(self):
        try:
            return self.supervisor.wait(WAIT)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"the supervisor did not exit:\n{self.log()}") from None

    def all_pids(self):
        return {s.pid for s in self.starts()} | set(self.holder.values())

    def no_worker_left(self):
        wait_for(lambda: not any(alive(pid) for pid in self.all_pids()), WAIT,
                 "every worker to exit")

    def stop(self):
        """The end of a run that goes on: a SIGTERM with nothing held."""
        self.release_all()
        wait_for(lambda: not self.queue(), WAIT, "the workers to finish every job")
        workers = children(self.supervisor.pid)
        self.supervisor.send_signal(signal.SIGTERM)
        assert self.exit_status() == 0, self.log()
        self.no_worker_left()
        assert not any(alive(pid) for pid in workers)

    def kill(self):
        """Whatever a failed test leaves running."""
        for pid in self.all_pids() | {self.supervisor.pid}:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.supervisor.wait()


@pytest.fixture
def run(tmp_path):
    runs = []

    def start(grace, lease=LONG_LEASE):
        runs.append(Run(tmp_path, grace, lease))
        return runs[-1]
    yield start
    for r in runs:
        if r.supervisor.poll() is None or any(alive(pid) for pid in r.all_pids()):
            r.kill()


# --- to the supervisor ---

@pytest.mark.parametrize("signum, within_grace, status", [
    (signal.SIGTERM, True, 0),
    (signal.SIGINT, True, 0),
    (signal.SIGKILL, True, -signal.SIGKILL),
    (signal.SIGTERM, False, 0),
    (signal.SIGKILL, False, -signal.SIGKILL),
], ids=["TERM", "INT", "KILL", "TERM-past-grace", "KILL-past-grace"])
def test_a_warm_stop_of_the_supervisor(run, signum, within_grace, status):
    """SIGTERM, SIGINT, and SIGKILL too (its workers see it die): the workers
    take nothing more, finish their jobs within the grace period and return
    at once those they could not finish."""
    r = run(grace=600 if within_grace else 1)
    r.supervisor.send_signal(signum)
    if within_grace:
        r.stopping(r.holder.values())
        r.release_all()
    assert r.exit_status() == status, r.log()
    r.no_worker_left()
    left = r.queue()
    if within_grace:
        assert sorted(body for body, _, _ in r.done()) == HELD
        assert sorted(left) == WAITING
    else:
        assert r.done() == []
        assert {body: left[body][:2] for body in HELD} == \
            {body: ("ready", 1) for body in HELD}  # back at once, not at the lease's end
    assert {body: left[body][:2] for body in WAITING} == {body: ("ready", 0) for body in WAITING}
    assert {s.body for s in r.starts()} == set(HELD)  # nothing taken after the signal


@pytest.mark.parametrize("signals", [
    (signal.SIGTERM, signal.SIGTERM),
    (signal.SIGINT, signal.SIGINT),
    (signal.SIGQUIT,),
], ids=["TERM-TERM", "INT-INT", "QUIT"])
def test_a_stop_now_of_the_supervisor_loses_no_job(run, signals):
    """A second SIGTERM or SIGINT, or a SIGQUIT: the running jobs are
    interrupted and back in the queue at once; a job finished before it is
    acked."""
    r = run(grace=600)
    *first, last = signals
    for signum in first:
        r.supervisor.send_signal(signum)
        r.stopping(r.holder.values())
        r.release("j0")
        wait_for(lambda: r.gone("j0"), WAIT, "j0 to be acked")
    r.supervisor.send_signal(last)
    assert r.exit_status() == 0, r.log()
    r.no_worker_left()
    finished = ["j0"] if first else []
    assert [body for body, _, _ in r.done()] == finished
    left = r.queue()
    assert {body: left[body][:2] for body in left} == dict(
        {body: ("ready", 1) for body in HELD if body not in finished},
        **{body: ("ready", 0) for body in WAITING})


def test_sighup_to_the_supervisor_replaces_its_workers(run):
    """SIGHUP: new workers, with the handler's module loaded afresh, start at
    once and take the waiting jobs; the old ones finish theirs and exit."""
    r = run(grace=600)
    old = set(r.holder.values())
    r.write_handler("v2")
    r.supervisor.send_signal(signal.SIGHUP)
    r.stopping(old)
    fresh = wait_for(lambda: (lambda s: s if len(s) == 2 else None)(
        [s for s in r.starts() if s.body in WAITING]), WAIT, "new workers to take j3 and j4")
    assert {s.version for s in fresh} == {"v2"} and not {s.pid for s in fresh} & old
    assert all(alive(pid) for pid in old)  # still finishing their jobs
    r.release_all()
    wait_for(lambda: not any(alive(pid) for pid in old), WAIT, "the old workers to exit")
    assert sorted(r.done()) == sorted([(b, r.holder[b], "v1") for b in HELD] +
                                      [(s.body, s.pid, "v2") for s in fresh])
    wait_for(lambda: all(f"replaced worker (pid {pid}) exited with status 0" in r.log()
                         for pid in old), WAIT, "the supervisor to reap the old workers")
    workers = wait_for(lambda: (lambda c: c if len(c) == 3 else None)(
        children(r.supervisor.pid)), WAIT, "three workers")
    assert not set(workers) & old
    r.stop()


# --- to one worker ---

@pytest.mark.parametrize("signals, outcome", [
    ((signal.SIGTERM,), "finished"),
    ((signal.SIGINT,), "finished"),
    ((signal.SIGHUP,), "finished"),
    ((signal.SIGTERM, signal.SIGTERM), "back at once"),
    ((signal.SIGQUIT,), "back at once"),
    ((signal.SIGKILL,), "back at the lease's end"),
], ids=["TERM", "INT", "HUP", "TERM-TERM", "QUIT", "KILL"])
def test_a_signal_to_one_worker(run, signals, outcome):
    """The worker stops (warmly, or now, or killed), the supervisor starts
    another in its place at once, the others go on."""
    r = run(grace=600, lease=5 if outcome == "back at the lease's end" else LONG_LEASE)
    target = r.holder["j0"]
    *first, last = signals
    for signum in first:
        os.kill(target, signum)
        r.stopping([target])
    os.kill(target, last)
    if outcome == "finished":
        r.stopping([target])
        r.release("j0")
    wait_for(lambda: not alive(target), WAIT, "the worker to exit")
    how = "was killed by SIGKILL" if last == signal.SIGKILL else "exited with status 0"
    wait_for(lambda: f"(pid {target}) {how}; restarting it" in r.log(), WAIT,
             "the supervisor to restart it")
    if outcome == "finished":
        wait_for(lambda: r.gone("j0"), WAIT, "j0 to be acked")
        assert r.done() == [("j0", target, "v1")]
        taken_next = "j3"
    elif outcome == "back at once":
        assert r.done() == []
        taken_next = "j0"  # before j3: it is ready again, with the smallest id
    else:
        state, deliveries, lease_end = r.queue()["j0"]
        assert (state, deliveries) == ("leased", 1)
        taken_next = "j3"  # j0 is still leased
    replacement = wait_for(lambda: [s for s in r.starts() if s.body == taken_next and
                                    s.pid != target], WAIT, f"a new worker to take {taken_next}")
    assert replacement[0].deliveries == (2 if taken_next == "j0" else 1)
    assert all(alive(r.holder[body]) for body in ("j1", "j2"))  # the others go on
    if outcome == "back at the lease's end":
        r.release("j3", "j4")  # frees a worker to take j0 again
        again = wait_for(lambda: [s for s in r.starts() if s.body == "j0" and s.deliveries == 2],
                         WAIT, "j0 to be delivered again")
        assert again[0].at >= lease_end - 0.01, (again[0].at, lease_end)
    r.stop()
    assert sorted(body for body, _, _ in r.done()) == JOBS  # each job finished once


# --- a worker that does not stop ---

STUBBORN = textwrap.dedent("""
    import os, time
    def handle(message):
        with open(os.environ["SIGNALS_EVENTS"], "a") as events:
            events.write("start %d\\n" % os.getpid())
        while True:
            try:
                time.sleep(1)
            except BaseException:  # what a handler must not do: it eats the interruption
                with open(os.environ["SIGNALS_EVENTS"], "a") as events:
                    events.write("interrupted\\n")
""")


@pytest.mark.parametrize("grace, signals", [
    (0, (signal.SIGTERM,)),                  # killed --grace + 5 s after the stop began
    (600, (signal.SIGTERM, signal.SIGTERM)),  # killed 10 s after the stop now
], ids=["TERM-grace-0", "TERM-TERM"])
def test_a_worker_that_does_not_stop_is_killed_and_its_job_comes_back_at_the_lease_end(
        tmp_path, grace, signals):
    (tmp_path / "stubborn.py").write_text(STUBBORN)
    path, events, log_path = str(tmp_path / "q"), tmp_path / "events", tmp_path / "log"
    with Queue(path) as q:
        q.put(b"job")
    env = dict(os.environ, SIGNALS_EVENTS=str(events))
    with open(log_path, "wb") as log:
        supervisor = start_tarnwick("worker", "stubborn:handle", "--queue", path,
                                    "--lease", LONG_LEASE, "--grace", grace,
                                    cwd=tmp_path, env=env, stderr=log)
    try:
        wait_for(lambda: events.exists() and events.read_text().startswith("start"), WAIT,
                 "the handler to start")
        worker = int(events.read_text().split()[1])
        *first, last = signals
        for signum in first:
            supervisor.send_signal(signum)
            wait_for(lambda: f"[{worker}] tarnwick_queue.worker: SIGTERM: stopping" in
                     log_path.read_text(), WAIT, "the worker to begin its warm stop")
        supervisor.send_signal(last)  # the handler is interrupted at once
        wait_for(lambda: "interrupted" in events.read_text(), WAIT, "the interruption")
        assert supervisor.wait(WAIT) == 0
    finally:
        if supervisor.poll() is None:
            supervisor.kill()
            supervisor.wait()
    assert f"worker pid {worker} did not stop; killing it" in log_path.read_text()
    assert not alive(worker)
    with Queue(path) as q:
        (info,) = q.peek()
        assert (info.state, info.deliveries) == ("leased", 1)  # back at the lease's end
