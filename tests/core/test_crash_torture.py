"""Crash torture: producer and consumer processes share a queue and are killed
with SIGKILL at random moments, round after round. After every round the
reopened queue must hold exactly what the surviving journals allow: nothing
acknowledged is live, nothing enqueued is lost or changed, nothing is invented.

TARNWICK_TORTURE_ROUNDS sets the number of rounds (default 6)."""

import os
import random
import signal
import subprocess
import sys
import textwrap
import time

from tarnwick import TarnwickCore

LEASE_MS = 300

WORKER = textwrap.dedent(
    """
    import os, sys
    from tarnwick import TarnwickCore
    role, path, journal, tag = sys.argv[1:5]
    q = TarnwickCore(path, default_lease_ms=%d, sync_interval_ms=int(sys.argv[5]))
    out = open(journal, "a", buffering=1)
    i = 0
    while True:
        if role == "producer":
            body = ("%%s-%%d" %% (tag, i)).encode()
            out.write("produce %%s\\n" %% body.decode())
            if i %% 7 == 0:
                seqs = q.enqueue_batch([body + b"-a", body + b"-b"])
                out.write("batch %%s %%d %%d\\n" %% (body.decode(), seqs[0], seqs[1]))
            else:
                out.write("enqueued %%s %%d\\n" %% (body.decode(), q.enqueue(body)))
        else:
            m = q.dequeue()
            if m is None:
                continue
            seq, body = m[0], m[1].decode()
            out.write("settle %%s\\n" %% body)
            if i %% 5 == 0:
                q.nack(seq)
            elif q.ack(seq):
                out.write("acked %%s\\n" %% body)
        i += 1
    """ % LEASE_MS
)


def read_journals(directory):
    """What producers meant to enqueue and did, what consumers meant to settle
    and acknowledged; a line is written before and after each call."""
    produce, enqueued, settle, acked = set(), set(), set(), set()
    for name in os.listdir(directory):
        for line in open(os.path.join(directory, name)):
            parts = line.split()
            if len(parts) < 2:
                continue  # the last line of a killed writer may be torn
            if parts[0] == "produce":
                produce.add(parts[1])
            elif parts[0] == "settle":
                settle.add(parts[1])
            elif parts[0] == "enqueued" and len(parts) == 3:
                enqueued.add(parts[1])
            elif parts[0] == "batch" and len(parts) == 4:
                enqueued.update({parts[1] + "-a", parts[1] + "-b"})
            elif parts[0] == "acked":
                acked.add(parts[1])
    return produce, enqueued, settle, acked


def was_produced(body, produce):
    return body in produce or (body.endswith(("-a", "-b")) and body[:-2] in produce)


def test_kill_nine_torture(tmp_path):
    rounds = int(os.environ.get("TARNWICK_TORTURE_ROUNDS", "6"))
    rng = random.Random(int(os.environ.get("TARNWICK_TORTURE_SEED", "1234")))
    path, journals = str(tmp_path / "q"), tmp_path / "journals"
    journals.mkdir()
    TarnwickCore(path)
    kills = violations = 0
    for round_no in range(rounds):
        sync = rng.choice(["0", "50"])
        procs = []
        for k in range(4):
            role = "producer" if k < 2 else "consumer"
            journal = str(journals / f"r{round_no}-{k}")
            procs.append(subprocess.Popen(
                [sys.executable, "-c", WORKER, role, path, journal, f"r{round_no}p{k}", sync]))
        deadline = time.monotonic() + rng.uniform(0.8, 1.6)
        while procs and time.monotonic() < deadline:
            time.sleep(rng.uniform(0.05, 0.3))
            victim = procs.pop(rng.randrange(len(procs)))
            victim.send_signal(signal.SIGKILL)
            victim.wait()
            kills += 1
        for p in procs:
            p.send_signal(signal.SIGKILL)
            p.wait()
            kills += 1

        produce, enqueued, settle, acked = read_journals(journals)
        q = TarnwickCore(path, default_lease_ms=LEASE_MS)
        report = q.verify_integrity()
        violations += not report["ok"]
        time.sleep(LEASE_MS / 1000 + 0.05)  # let killed consumers' leases lapse
        assert q.available() >= 0
        violations += q.in_flight() != 0
        live = q.dequeue_batch(10**6, lease_ms=0)
        bodies = [m[1].decode() for m in live]
        violations += len(set(m[0] for m in live)) != len(live)  # a seq live twice
        violations += len(set(bodies)) != len(bodies)  # a message live twice
        violations += sum(1 for b in bodies if b in acked)  # acknowledged yet live
        violations += sum(1 for b in bodies if not was_produced(b, produce))  # invented
        violations += sum(1 for b in acked if not was_produced(b, produce))
        live_set = set(bodies)
        violations += sum(1 for b in enqueued if b not in live_set and b not in settle)  # lost
        q.available()  # the zero-length leases come back
        del q
        print(f"round {round_no}: kills={kills} enqueued={len(enqueued)} acked={len(acked)} "
              f"live={len(live)} log={report['bytes']}B violations={violations}")
    print(f"torture: rounds={rounds} kills={kills} messages={len(enqueued)} violations={violations}")
    assert violations == 0
