"""PostgresQueue under faults: consumer processes killed with SIGKILL while
they hold leases, the server crashing (pg_ctl stop -m immediate) and coming
back in the middle of a run. Afterwards, every message whose put returned is
acked or still there, no body was invented, and no message was delivered
while another lease on it was live."""

import collections
import os
import random
import signal
import subprocess
import sys
import time

import pytest

WORKER = os.path.join(os.path.dirname(__file__), "pg_worker.py")
LEASE = 0.4


@pytest.fixture
def run_dir(tmp_path):
    return tmp_path


def spawn(*args):
    return subprocess.Popen([sys.executable, WORKER, *map(str, args)])


def read_logs(directory):
    events = []
    for name in sorted(os.listdir(directory)):
        if name.endswith(".log"):
            with open(os.path.join(directory, name)) as f:
                # A SIGKILL can cut the last line short.
                events += [line.split() for line in f.read().splitlines()]
    return events


def wait_for_progress(directory, puts, gets, timeout=30.0):
    """Until the workers have done that much (they take a while to start)."""
    give_up = time.monotonic() + timeout
    while time.monotonic() < give_up:
        events = read_logs(directory)
        if (sum(e[0] == "put" for e in events) >= puts
                and sum(e[0] == "got" for e in events) >= gets):
            return
        time.sleep(0.05)
    raise AssertionError("the workers made no progress")


def drain(dsn, name):
    from tarnwick_queue.postgres import PostgresQueue
    drained = []
    with PostgresQueue(dsn, name) as queue:
        # Leases of killed consumers end within LEASE.
        while True:
            batch = queue.get_many(100, timeout=LEASE * 2)
            if not batch:
                break
            for message in batch:
                drained.append((message.id, message.body.decode()))
                message.ack()
        assert queue.stats()["total"] == 0
    return drained


def check(events, drained):
    tried = {e[1] for e in events if e[0] == "try"}
    put = {e[1] for e in events if e[0] == "put"}
    deliveries = collections.defaultdict(list)  # id -> [(deliveries, received, expires)]
    seen = set()
    acked = collections.Counter()
    settling = set()
    for e in events:
        if e[0] == "got" and len(e) == 6:
            id, count, received, expires, body = int(e[1]), int(e[2]), float(e[3]), float(e[4]), e[5]
            assert (id, count) not in seen, f"message {id} delivered twice as delivery {count}"
            seen.add((id, count))
            deliveries[id].append((count, received, expires))
            assert body in tried, f"message {id} has a body nobody put: {body!r}"
        elif e[0] == "acked" and len(e) == 3:
            acked[int(e[1])] += 1
        elif e[0] == "acking" and len(e) == 3:
            settling.add(int(e[1]))
    assert all(n == 1 for n in acked.values()), "a message was acked twice"
    for id, got in deliveries.items():
        got.sort()
        for (_, _, expires), (count, received, _) in zip(got, got[1:]):
            # One machine, one clock: the server's deadline and our receipt time compare.
            assert received >= expires - 0.002, (
                f"message {id} delivery {count} began {expires - received:.3f}s before the "
                "previous lease ended")
    bodies_of_ids = {}
    for e in events:
        if e[0] == "got" and len(e) == 6:
            bodies_of_ids[int(e[1])] = e[5]
    settled_bodies = {bodies_of_ids[i] for i in settling if i in bodies_of_ids}
    drained_bodies = {body for _, body in drained}
    for _, body in drained:
        assert body in tried
    missing = put - settled_bodies - drained_bodies
    assert not missing, f"acknowledged puts lost: {sorted(missing)[:10]}"


def test_consumers_killed_mid_lease(pg_dsn, pg_name, run_dir):
    stop = run_dir / "stop"
    producer = spawn("produce", pg_dsn, pg_name, run_dir / "producer.log", 0, 400)
    consumers = [spawn("consume", pg_dsn, pg_name, run_dir / f"c{i}.log", LEASE, stop)
                 for i in range(3)]
    rng = random.Random(7)
    kills = 0
    try:
        wait_for_progress(run_dir, 20, 5)
        deadline = time.monotonic() + 4.0
        while time.monotonic() < deadline:
            time.sleep(rng.uniform(0.2, 0.6))
            victim = rng.randrange(len(consumers))
            consumers[victim].send_signal(signal.SIGKILL)
            consumers[victim].wait()
            kills += 1
            consumers[victim] = spawn("consume", pg_dsn, pg_name,
                                      run_dir / f"c{victim}-{kills}.log", LEASE, stop)
        assert producer.wait(timeout=60) == 0
        stop.touch()
        for consumer in consumers:
            assert consumer.wait(timeout=60) == 0
    finally:
        for process in [producer, *consumers]:
            if process.poll() is None:
                process.kill()
                process.wait()
    events = read_logs(run_dir)
    assert sum(e[0] == "put" for e in events) == 400
    check(events, drain(pg_dsn, pg_name))
    redelivered = [e for e in events if e[0] == "got" and len(e) == 6 and int(e[2]) > 1]
    assert redelivered, "no lease ran out: the kills proved nothing"


def test_server_crash_and_restart_mid_run(pg_server, pg_dsn, pg_name, run_dir):
    if pg_server is None:
        pytest.skip("the server named by TARNWICK_PG_DSN is not ours to stop")
    stop = run_dir / "stop"
    producers = [spawn("produce", pg_dsn, pg_name, run_dir / f"p{i}.log", i * 1000, 300)
                 for i in range(2)]
    consumers = [spawn("consume", pg_dsn, pg_name, run_dir / f"c{i}.log", LEASE, stop)
                 for i in range(2)]
    try:
        wait_for_progress(run_dir, 100, 20)
        pg_server.stop("immediate")
        time.sleep(0.5)
        pg_server.restart()
        for producer in producers:
            assert producer.wait(timeout=90) == 0
        stop.touch()
        for consumer in consumers:
            assert consumer.wait(timeout=60) == 0
    finally:
        if not pg_server.running:
            pg_server.restart()
        for process in [*producers, *consumers]:
            if process.poll() is None:
                process.kill()
                process.wait()
    events = read_logs(run_dir)
    assert any(e[0] == "unknown" for e in events), "no put met the crash: it was not mid-run"
    assert any(e[0] == "reconnect" for e in events), "no consumer met the crash"
    assert {e[1] for e in events if e[0] == "put"} == {
        f"m{i * 1000 + j}" for i in range(2) for j in range(300)}
    check(events, drain(pg_dsn, pg_name))
