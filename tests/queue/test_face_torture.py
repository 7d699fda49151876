"""Crash torture for the face: producers (with delays) and consumers (acking,
nacking with delays, sending to the dead letters, hitting max_deliveries) are
killed with SIGKILL at random, round after round. Producers also put
messages with priorities, in groups, and with keys that the two of them
share; every round the queue is paused for a while. In the end every message
whose put returned (without a key) is acknowledged or in the dead letters,
nothing appears that no producer put, and every body arrives exactly as it
was put. Throughout, snapshots of the queue (peek, one atomic look each)
show no group with more than the queue's limit leased, no two live messages
with one key, and, while paused, no delivery. Afterwards every ack that
returned reads "acked" in status(), and every message that reads "acked" was
acked by someone (its ack was at least called).

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
    import hashlib, os, random, sys, time
    from tarnwick_queue import LeaseLost, Queue
    role, path, journal, tag = sys.argv[1:5]
    q = Queue(path, lease=0.3, max_deliveries=3, sync_interval=float(sys.argv[5]))
    groups = [None, None, "g0", "g1", "g2"]
    out = open(journal, "a", buffering=1)
    rng = random.Random(os.getpid())
    i = 0
    while True:
        if role == "producer":
            stem = "%s-%d" % (tag, i)
            body = (stem + "-" + hashlib.sha1(stem.encode()).hexdigest()[:8]).encode()
            out.write("try %s\\n" % body.decode())
            group, priority = rng.choice(groups), rng.randint(-2, 2)
            if i % 5 == 0:
                q.put_many([body + b"-a", body + b"-b"], delay=rng.choice([0, 0.05]),
                           group=group, priority=priority)
                out.write("put %s-a\\nput %s-b\\n" % (body.decode(), body.decode()))
            elif i % 7 == 0:
                # A key both producers use: this body may never be stored.
                q.put(body, key="key-%d" % rng.randrange(8), group=group,
                      unique_for=rng.choice([0, 0.1]))
            else:
                q.put(body, delay=rng.choice([0, 0, 0.1]), group=group, priority=priority)
                out.write("put %s\\n" % body.decode())
            i += 1
        else:
            # Batches too, so that more of a group than its limit could be
            # leased at once if the limit failed.
            for m in q.get_many(rng.choice([1, 4]), timeout=0.2):
                choice = rng.random()
                try:
                    if choice < 0.6:
                        out.write("ack %s\\n" % m.body.decode())
                        out.write("tryack %d\\n" % m.id)
                        m.ack()
                        out.write("acked %d %f\\n" % (m.id, time.time()))
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


def snapshot(queue, limit, violations):
    """One atomic look at the queue: notes a group with more than `limit`
    leased, or two live messages with one key. Returns {id: (state,
    deliveries)}."""
    infos = queue.peek(10**6)
    leased, keys = {}, {}
    for info in infos:
        if info.state == "leased" and info.group is not None:
            leased[info.group] = leased.get(info.group, 0) + 1
        if info.key is not None:
            keys.setdefault(info.key, []).append(info.id)
    violations += [f"group {g} had {n} leased" for g, n in leased.items() if n > limit]
    violations += [f"key {k} on live messages {ids}" for k, ids in keys.items() if len(ids) > 1]
    return {info.id: (info.state, info.deliveries) for info in infos}


def paused_violations(at_pause, at_resume):
    """What a paused queue must not have done between the two snapshots:
    deliver a message (its deliveries grew) or lose a ready one."""
    found = [f"message {id} delivered while paused" for id, (_, n) in at_resume.items()
             if n > at_pause.get(id, ("", 0))[1]]
    found += [f"ready message {id} went while paused" for id, (state, _) in at_pause.items()
              if state == "ready" and id not in at_resume]
    return found


def start(role, path, journal, tag, sync_interval):
    return subprocess.Popen([sys.executable, "-c", WORKER, role, str(path), str(journal), tag,
                             str(sync_interval)], stderr=subprocess.DEVNULL)


def test_kill_nine_torture(tmp_path):
    rng = random.Random(7)
    path = tmp_path / "queue"
    journals = tmp_path / "journals"
    journals.mkdir()
    rounds = int(os.environ.get("TARNWICK_TORTURE_ROUNDS", "6"))
    limit = 2
    violations = []
    # The limit is stored with the queue: every process keeps it.
    watcher = Queue(path, lease=30, group_limit=limit)
    for round_no in range(rounds):
        procs = []
        for n in range(2):
            for role in ("producer", "consumer"):
                tag = f"{role[0]}{round_no}.{n}"
                procs.append(start(role, path, journals / f"{tag}.log", tag,
                                   rng.choice([0.0, 0.05])))
        started = time.monotonic()
        pause_at, resume_at = started + rng.uniform(0.2, 0.8), None
        at_pause = None
        while time.monotonic() < started + 1.5 or at_pause is not None:
            next_kill = time.monotonic() + rng.uniform(0.05, 0.3)
            while time.monotonic() < next_kill:
                now = time.monotonic()
                if at_pause is None and resume_at is None and now >= pause_at:
                    watcher.pause()
                    at_pause, resume_at = snapshot(watcher, limit, violations), now + 0.3
                elif at_pause is not None and now >= resume_at:
                    at_resume = snapshot(watcher, limit, violations)
                    watcher.resume()
                    violations += paused_violations(at_pause, at_resume)
                    at_pause = None
                else:
                    snapshot(watcher, limit, violations)
                time.sleep(0.01)
            victim = rng.randrange(len(procs))
            procs[victim].send_signal(signal.SIGKILL)
        for proc in procs:
            proc.send_signal(signal.SIGKILL)
            proc.wait()
    watcher.close()
    assert not violations, violations[:5]

    tried, put, acked = set(), set(), set()
    ack_tried, ack_returned = set(), {}
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
            elif kind == "tryack":
                ack_tried.add(int(body))
            elif kind == "acked" and " " in body:
                id, at = body.split(" ")
                ack_returned[int(id)] = float(at)

    # Outcomes, before the drain below acks the rest: an ack that returned
    # is kept as "acked" (unless its retention, a minute by default, ran out
    # meanwhile on a slow machine), and nothing reads "acked" that no
    # consumer acked.
    with Queue(path, lease=30) as queue:
        retention = 60.0
        for id, at in ack_returned.items():
            status = queue.driver.status(id)
            if status is None and time.time() > at + retention - 1:
                continue
            assert status is not None and status.state == "acked", (id, status)
        read_acked = queue.driver.outcomes("acked", 10**7, None)
        assert {s.id for s in read_acked} <= ack_tried, "an outcome nobody acked"
        assert ack_returned, "no ack returned"

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
