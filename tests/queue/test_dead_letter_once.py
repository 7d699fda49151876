"""A move to the dead letters shows exactly once, whatever is killed when.

Consumers take messages with a short lease and send each to the dead letters;
every consumer is SIGKILLed a moment after it starts burying, so that many die
inside a move (on a directory: after the letter was written, before the
message left the queue). Their messages come back when the lease runs out and
another consumer takes them. In the end every message has exactly one dead
letter and none is left in the queue.

The full run (3,000 messages, 12 rounds of 12 consumers) is the one that
TARNWICK_SLOW_TESTS=1 asks for; otherwise a smaller one runs."""

import collections
import os
import random
import select
import signal
import subprocess
import sys
import textwrap
import time

import pytest

pytestmark = pytest.mark.slow

FULL = bool(os.environ.get("TARNWICK_SLOW_TESTS"))
MESSAGES = 3000 if FULL else 600
CONSUMERS = 12 if FULL else 6
ROUNDS = 12 if FULL else 6
LEASE = 1.0

CONSUMER = textwrap.dedent("""
    import sys
    from tarnwick_queue import Empty, LeaseLost
    backend, where, name = sys.argv[1:4]
    if backend == "postgres":
        from tarnwick_queue.postgres import PostgresQueue
        q = PostgresQueue(where, name, lease=%r)
    else:
        from tarnwick_queue import Queue
        q = Queue(where, lease=%r)
    sys.stdout.write("ready\\n")
    sys.stdout.flush()
    while True:
        try:
            m = q.get(timeout=5.0)
        except Empty:
            continue
        try:
            m.dead("buried by a consumer")
        except LeaseLost:
            pass
""" % (LEASE, LEASE))


def start_consumer(backend, where, name):
    return subprocess.Popen([sys.executable, "-c", CONSUMER, backend, where, name],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)


def wait_ready(processes, timeout=120.0):
    """Returns once every process printed its ready line (or ended)."""
    pending = {p.stdout.fileno(): p for p in processes}
    give_up = time.monotonic() + timeout
    while pending:
        left = give_up - time.monotonic()
        assert left > 0, "consumers did not start"
        readable, _, _ = select.select(list(pending), [], [], left)
        for fd in readable:
            pending.pop(fd).stdout.readline()


def kill_all(processes):
    for p in processes:
        if p.poll() is None:
            p.send_signal(signal.SIGKILL)
        p.wait()
        p.stdout.close()


@pytest.mark.parametrize("backend", ["disk", "postgres"])
def test_killed_moves_leave_one_dead_letter_each(request, backend, tmp_path):
    if backend == "postgres":
        where = request.getfixturevalue("pg_dsn")
        name = request.getfixturevalue("pg_name")
        from tarnwick_queue.postgres import PostgresQueue
        queue = PostgresQueue(where, name, lease=LEASE)
    else:
        where, name = str(tmp_path / "queue"), ""
        from tarnwick_queue import Queue
        queue = Queue(where, lease=LEASE)
    rng = random.Random(22)
    with queue:
        ids = queue.put_many([b"job %d" % i for i in range(MESSAGES)])
        # Rounds of consumers, each killed 30-200 ms after the round is ready;
        # then one consumer runs to the end, past the lease of every killed one.
        for _ in range(ROUNDS):
            consumers = [start_consumer(backend, where, name) for _ in range(CONSUMERS)]
            try:
                wait_ready(consumers)
                started = time.monotonic()
                for victim, at in zip(consumers, sorted(rng.uniform(0.03, 0.2)
                                                        for _ in consumers)):
                    time.sleep(max(0.0, started + at - time.monotonic()))
                    victim.send_signal(signal.SIGKILL)
            finally:
                kill_all(consumers)
        last = start_consumer(backend, where, name)
        try:
            give_up = time.monotonic() + 300
            while queue.stats()["total"] and time.monotonic() < give_up:
                assert last.poll() is None, "the last consumer died"
                time.sleep(0.2)
            assert queue.stats()["total"] == 0, f"left in the queue: {queue.stats()}"
        finally:
            kill_all([last])

        letters = queue.dead_letters.list()
        counts = collections.Counter(letter.original_id for letter in letters)
        twice = sorted(i for i, n in counts.items() if n > 1)
        assert not twice, f"{len(twice)} messages have more than one dead letter: {twice[:5]}"
        assert sorted(counts) == sorted(ids)
        assert len(queue.dead_letters) == MESSAGES
        assert sorted(letter.body for letter in letters) == sorted(
            b"job %d" % i for i in range(MESSAGES))
