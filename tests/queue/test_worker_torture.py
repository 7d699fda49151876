"""Worker torture: 4 worker processes under the supervisor, jobs from 2
producer processes, workers killed with SIGKILL at random and handlers
failing at random. In the end every job has succeeded at least once or sits
in the dead letters; none is lost and none invented. Duplicates (a job
that succeeded, then its worker died before the ack) are counted and
reported.

TARNWICK_WORKER_TORTURE_JOBS sets the number of jobs (default 20000)."""

import collections
import os
import random
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from processes import children, start_tarnwick, stop

from tarnwick_queue import Queue

JOBS = int(os.environ.get("TARNWICK_WORKER_TORTURE_JOBS", "20000"))
PRODUCERS = 2
WORKERS = 4
FAILURE_RATE = 0.2
MAX_DELIVERIES = 3
TIME_LIMIT = 600.0

HANDLER = textwrap.dedent("""
    import os, random
    out = os.open(os.environ["TORTURE_OUT"], os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    rate = float(os.environ["TORTURE_FAILURE_RATE"])

    def handle(message):
        if random.random() < rate:
            raise RuntimeError("random failure")
        os.write(out, message.body + b"\\n")  # one write: never torn by a kill
""")

PRODUCER = textwrap.dedent("""
    import sys
    from tarnwick_queue import Queue
    path, first, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    with Queue(path, sync_interval=0.05) as q:
        for start in range(first, first + count, 100):
            q.put_many([b"%d" % k for k in range(start, min(start + 100, first + count))])
""")


# prefetch 10: jobs taken ten at a time, their acks sent together, so a
# kill also takes back jobs that waited their turn or their ack.
@pytest.mark.parametrize("prefetch", [1, 10])
def test_worker_torture(tmp_path, capsys, prefetch):
    path, out = str(tmp_path / "q"), str(tmp_path / "done.txt")
    (tmp_path / "torture_jobs.py").write_text(HANDLER)
    env = dict(os.environ, TORTURE_OUT=out, TORTURE_FAILURE_RATE=str(FAILURE_RATE))
    log = open(tmp_path / "supervisor.log", "wb")
    supervisor = start_tarnwick(
        "worker", "torture_jobs:handle", "--queue", path, "--processes", WORKERS,
        "--lease", "1", "--max-deliveries", MAX_DELIVERIES, "--backoff", "0.01,2,0.05",
        "--sync-interval", "0.05", "--grace", "5", "--log-level", "warning",
        "--prefetch", prefetch,
        cwd=tmp_path, env=env, stderr=log)
    share = JOBS // PRODUCERS
    producers = [subprocess.Popen([sys.executable, "-c", PRODUCER, path, str(i * share),
                                   str(share if i < PRODUCERS - 1 else JOBS - i * share)])
                 for i in range(PRODUCERS)]
    kills = 0
    started = time.monotonic()
    rng = random.Random()
    try:
        with Queue(path) as q:
            while True:
                time.sleep(rng.uniform(0.02, 0.3))
                producing = any(p.poll() is None for p in producers)
                if not producing and q.stats()["total"] == 0:
                    break
                assert time.monotonic() - started < TIME_LIMIT, q.stats()
                workers = children(supervisor.pid)
                if workers:
                    try:
                        os.kill(rng.choice(workers), signal.SIGKILL)
                        kills += 1
                    except ProcessLookupError:
                        pass
            letters = q.dead_letters.list()
    finally:
        for p in producers:
            if p.poll() is None:
                p.kill()
        status = stop(supervisor, timeout=60)
        log.close()
    elapsed = time.monotonic() - started
    supervisor_log = (tmp_path / "supervisor.log").read_text()
    assert status == 0, supervisor_log[-3000:]
    assert all(p.wait() == 0 for p in producers)

    with open(out, "rb") as f:
        succeeded = collections.Counter(int(line) for line in f.read().splitlines())
    dead = collections.Counter(int(d.body) for d in letters)
    everything = set(range(JOBS))
    assert set(succeeded) <= everything and set(dead) <= everything, "invented jobs"
    lost = everything - set(succeeded) - set(dead)
    assert not lost, f"{len(lost)} jobs lost, e.g. {sorted(lost)[:10]}"
    assert all(d.reason == "RuntimeError: random failure" and d.deliveries >= MAX_DELIVERIES
               for d in letters)
    assert max(dead.values(), default=1) == 1, "a job was parked twice"
    duplicates = sum(n - 1 for n in succeeded.values())
    both = len(set(succeeded) & set(dead))
    restarts = supervisor_log.count("killed by SIGKILL; restarting")
    assert kills > 0 and restarts >= 1
    with capsys.disabled():
        print(f"\nworker torture (prefetch {prefetch}): {JOBS} jobs in {elapsed:.1f} s, {kills} workers killed "
              f"({restarts} restarts seen), {len(succeeded)} succeeded, {len(dead)} dead "
              f"letters, {duplicates} duplicate successes, {both} both succeeded and dead, "
              "0 lost")
