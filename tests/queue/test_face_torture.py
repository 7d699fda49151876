"""Crash torture for the face: producers (with delays) and consumers (acking,
nacking with delays, sending to the dead letters, hitting max_deliveries) are
killed with SIGKILL at random, round after round. In the end every message
whose put returned is acknowledged or in the dead letters, nothing appears
that no producer put, and every body arrives exactly as it was put.

TARNWICK_TORTURE_ROUNDS sets the number of rounds (default 6)."""

import hashlib
import os
import random
import signal
import subprocess
import sys
import textwrap
import time

from tarnwick_queue import Queue

WORKER = textwrap.dedent("""
    import hashlib, os, random, sys
    from tarnwick_queue import Empty, LeaseLost, Queue
    role, path, journal, tag = sys.argv[1:5]
    q = Queue(path, lease=0.3, max_deliveries=3, sync_interval=float(sys.argv[5]))
    out = open(journal, "a", buffering=1)
    rng = random.Random(os.getpid())
    i = 0
    while True:
        if role == "producer":
            stem = "%s-%d" % (tag, i)
            body = (stem + "-" + hashlib.sha1(stem.encode()).hexdigest()[:8]).encode()
            out.write("try %s\\n" % body.decode())
            if i % 5 == 0:
                q.put_many([body + b"-a", body + b"-b"], delay=rng.choice([0, 0.05]))
                out.write("put %s-a\\nput %s-b\\n" % (body.decode(), body.decode()))
            else:
                q.put(body, delay=rng.choice([0, 0, 0.1]))
                out.write("put %s\\n" % body.decode())
            i += 1
        else:
            try:
                m = q.get(timeout=0.2)
            except Empty:
                continue
            choice = rng.random()
            try:
                if choice < 0.6:
                    out.write("ack %s\\n" % m.body.decode())
                    m.ack()
                elif choice < 0.9:
                    m.nack(delay=rng.choice([0, 0.05]))
                else:
                    m.dead("torture")
            except LeaseLost:
                pass
""")


def well_formed(body):
    stem, _, rest = body.rpartition("-")
    if rest in ("a", "b"):
        stem, _, rest = stem.rpartition("-")
    return hashlib.sha1(stem.encode()).hexdigest()[:8] == rest


def start(role, path, journal, tag, sync_interval):
    return subprocess.Popen([sys.executable, "-c", WORKER, role, str(path), str(journal), tag,
                             str(sync_interval)], stderr=subprocess.DEVNULL)


def test_kill_nine_torture(tmp_path):
    rng = random.Random(7)
    path = tmp_path / "queue"
    journals = tmp_path / "journals"
    journals.mkdir()
    rounds = int(os.environ.get("TARNWICK_TORTURE_ROUNDS", "6"))
    for round_no in range(rounds):
        procs = []
        for n in range(2):
            for role in ("producer", "consumer"):
                tag = f"{role[0]}{round_no}.{n}"
                procs.append(start(role, path, journals / f"{tag}.log", tag,
                                   rng.choice([0.0, 0.05])))
        deadline = time.monotonic() + 1.5
        while time.monotonic() < deadline:
            time.sleep(rng.uniform(0.05, 0.3))
            victim = rng.randrange(len(procs))
            procs[victim].send_signal(signal.SIGKILL)
        for proc in procs:
            proc.send_signal(signal.SIGKILL)
            proc.wait()

    tried, put, acked = set(), set(), set()
    for journal in journals.iterdir():
        for line in journal.read_text().splitlines():
            if " " not in line:
                continue  # a line cut by the kill
            kind, body = line.split(" ", 1)
            if kind == "try":
                tried.update({body, body + "-a", body + "-b"})
            elif kind == "put":
                put.add(body)
            elif kind == "ack":
                acked.add(body)

    drained = []
    with Queue(path, lease=30) as queue:
        give_up = time.monotonic() + 30
        while queue.stats()["total"] and time.monotonic() < give_up:
            for message in queue.get_many(100, timeout=0.5):
                drained.append(message.body.decode())
                message.ack()
        assert queue.stats()["total"] == 0, "messages still leased or scheduled after 30 s"
        dead = [d.body.decode() for d in queue.dead_letters.list()]
        assert queue.verify()["ok"]

    seen = acked | set(drained) | set(dead)
    assert put, "no producer got a put through"
    assert not put - seen, f"lost: {sorted(put - seen)[:5]}"
    assert not (set(drained) | set(dead)) - tried, "a message nobody put"
    assert all(well_formed(b) for b in drained + dead), "a body changed"
    duplicates = len(drained) + len(dead) - len(set(drained) | set(dead))
    print(f"{len(put)} put, {len(acked)} acked in rounds, {len(drained)} drained, "
          f"{len(dead)} dead letters, {duplicates} duplicates")
