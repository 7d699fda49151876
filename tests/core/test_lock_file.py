"""Processes keep excluding each other when `.proc_lock` is deleted under them."""

import collections
import json
import os
import subprocess
import sys

# Opens the queue, says so, waits for the start, then runs enqueue -> dequeue
# -> ack cycles for a while and prints what it enqueued and what it received.
WORKER = r"""
import json, sys, time
import tarnwick
path, name, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
q = tarnwick.TarnwickCore(path, sync_interval_ms=10**9)
print("ready", flush=True)
sys.stdin.readline()
sent, got = [], []
end = time.monotonic() + seconds
i = 0
while time.monotonic() < end:
    body = ("%s-%d" % (name, i)).encode()
    q.enqueue(body)
    sent.append(body.decode())
    i += 1
    message = q.dequeue()
    if message is not None:
        q.ack(message[0])
        got.append(message[1].decode())
print(json.dumps({"sent": sent, "got": got}), flush=True)
"""


def test_writers_before_and_after_a_deleted_lock_file_lose_and_repeat_nothing(tmp_path):
    import tarnwick

    path = str(tmp_path / "q")
    tarnwick.TarnwickCore(path)

    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))

    def start(name):
        proc = subprocess.Popen([sys.executable, "-c", WORKER, path, name, "1.5"], env=env,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        assert proc.stdout.readline().strip() == "ready", proc.stderr.read()
        return proc

    procs = [start("a"), start("b")]
    os.unlink(os.path.join(path, ".proc_lock"))
    procs.append(start("newcomer"))
    for proc in procs:
        proc.stdin.write("go\n")
        proc.stdin.flush()
    results = []
    for proc in procs:
        out, err = proc.communicate(timeout=60)
        assert proc.returncode == 0, err
        results.append(json.loads(out.strip().splitlines()[-1]))

    sent = [b for r in results for b in r["sent"]]
    received = [b for r in results for b in r["got"]]
    q = tarnwick.TarnwickCore(path)
    message = q.dequeue()
    while message is not None:
        q.ack(message[0])
        received.append(message[1].decode())
        message = q.dequeue()
    assert all(r["sent"] for r in results), "a worker made no progress"
    counts = collections.Counter(received)
    assert not [b for b in sent if b not in counts], "enqueues that returned were lost"
    assert not [b for b, n in counts.items() if n > 1], "messages delivered twice"
    assert set(counts) == set(sent), "bodies delivered that nobody enqueued"
    assert q.verify_integrity()["ok"]
