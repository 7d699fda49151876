"""A tour of tarnwick: producers and consumers in separate processes share one
queue directory; one consumer is killed with SIGKILL while it holds a lease,
and its message comes back to another consumer once the lease runs out.

Run it with `bash scripts/run.sh` (or `python examples/demo.py`).

Every process reports by appending whole lines to a file of its own, so the
SIGKILL cannot leave anything of the demo's reporting half-done or locked.
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from tarnwick import TarnwickCore

PRODUCERS = 2
CONSUMERS = 3
MESSAGES_PER_PRODUCER = 150
LEASE_MS = 1500  # the doomed consumer's lease: short, so its message returns quickly
TIMEOUT_S = 60  # for every wait; the whole demo takes a few seconds


class DemoFailed(Exception):
    pass


def report(path, line):
    """Appends one line with a single write: readers see whole lines only."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    try:
        os.write(fd, (line + "\n").encode())
    finally:
        os.close(fd)


# The three roles, each run in a process of its own. They stop by themselves
# if the demo's main process dies without stopping them.
MAIN_PID = None


def main_alive():
    return os.getppid() == MAIN_PID


def produce(work, producer):
    queue = TarnwickCore(f"{work}/queue")
    for i in range(MESSAGES_PER_PRODUCER):
        body = f"job {producer}-{i}"
        seq = queue.enqueue(body.encode())
        report(f"{work}/enqueued-{producer}", f"{seq} {body}")
        time.sleep(0.002)


def consume(work, consumer):
    queue = TarnwickCore(f"{work}/queue")  # the default 30 s lease: never runs out here
    while not os.path.exists(f"{work}/stop") and main_alive():
        message = queue.dequeue()
        if message is None:
            time.sleep(0.01)
            continue
        seq, body, deliveries, _ = message
        time.sleep(0.003)  # the "work"
        if queue.ack(seq):
            report(f"{work}/processed-{consumer}", f"{seq} {deliveries} {body.decode()}")


def doomed_consumer(work):
    """Leases one message, says so, and sleeps until it is killed."""
    queue = TarnwickCore(f"{work}/queue", default_lease_ms=LEASE_MS)
    while main_alive():
        message = queue.dequeue()
        if message is None:
            time.sleep(0.01)
            continue
        # Written whole, then renamed: the main process never reads half a file.
        with open(f"{work}/victim.tmp", "w") as f:
            f.write(str(message[0]))
        os.rename(f"{work}/victim.tmp", f"{work}/victim")
        while main_alive():
            time.sleep(0.1)


ROLES = {"produce": produce, "consume": consume, "doomed_consumer": doomed_consumer}


def read_lines(work, prefix, fields):
    """The lines of every report file named prefix*, each split in fields."""
    lines = []
    for name in os.listdir(work):
        if name.startswith(prefix):
            with open(os.path.join(work, name)) as f:
                lines += [line.split(" ", fields - 1) for line in f.read().splitlines()]
    return lines


def wait_for(what, condition, children):
    deadline = time.monotonic() + TIMEOUT_S
    while not condition():
        failed = [c.pid for c in children if c.poll() not in (None, 0)]
        if failed:
            raise DemoFailed(f"process {failed[0]} died while waiting for {what}")
        if time.monotonic() > deadline:
            raise DemoFailed(f"gave up after {TIMEOUT_S} s waiting for {what}")
        time.sleep(0.05)


def run(work, children):
    total = PRODUCERS * MESSAGES_PER_PRODUCER
    queue = TarnwickCore(f"{work}/queue")
    print(f"{PRODUCERS} producers, {CONSUMERS} consumers, {total} messages, lease {LEASE_MS} ms")

    def start(role, *args):
        # A session of its own keeps Ctrl-C away from the child: the main
        # process stops everyone itself.
        command = [sys.executable, __file__, "--role", role, str(os.getpid()), work, *args]
        children.append(subprocess.Popen(command, start_new_session=True))
        return children[-1]

    victim = start("doomed_consumer")
    for p in range(PRODUCERS):
        start("produce", str(p))
    victim_file = f"{work}/victim"
    wait_for("a consumer to lease a message", lambda: os.path.exists(victim_file), children)
    with open(victim_file) as f:
        victim_seq = f.read()
    victim.kill()  # SIGKILL
    victim.wait()
    children.remove(victim)
    print(f"killed consumer pid {victim.pid} (SIGKILL) while it held the lease on seq {victim_seq}")

    for c in range(CONSUMERS):
        start("consume", str(c))

    def all_processed():
        return len({seq for seq, _, _ in read_lines(work, "processed-", 3)}) >= total

    wait_for(f"all {total} messages to be processed", all_processed, children)
    report(f"{work}/stop", "")
    for child in children:
        if child.wait(TIMEOUT_S) != 0:
            raise DemoFailed(f"process {child.pid} did not finish cleanly")

    enqueued = dict(read_lines(work, "enqueued-", 2))
    processed = {seq: (int(deliveries), body)
                 for seq, deliveries, body in read_lines(work, "processed-", 3)}
    lost = sorted(set(enqueued) - set(processed), key=int)
    invented = sorted(set(processed) - set(enqueued), key=int)
    wrong = sorted((s for s in processed if s in enqueued and processed[s][1] != enqueued[s]),
                   key=int)
    redelivered = processed.get(victim_seq, (None,))[0]
    stats, integrity = queue.stats(), queue.verify_integrity()

    print(f"seq {victim_seq} came back after the lease ran out, with deliveries={redelivered}")
    print(f"enqueued {len(enqueued)}, processed {len(processed)}, lost {len(lost)}, "
          f"invented {len(invented)}, wrong body {len(wrong)}")
    print(f"queue now: {stats['total']} live, {stats['acked_total']} acked, "
          f"integrity {integrity['message']}")
    if (lost or invented or wrong or len(enqueued) != total or redelivered != 2
            or stats["total"] != 0 or not integrity["ok"]):
        raise DemoFailed(f"lost={lost[:10]} invented={invented[:10]} wrong={wrong[:10]}")
    print(f"OK: every one of the {total} messages was processed; none lost, none invented")


def main():
    for sig in (signal.SIGTERM, signal.SIGHUP):  # clean up on these too
        signal.signal(sig, lambda signum, _: sys.exit(128 + signum))
    work = tempfile.mkdtemp(prefix="tarnwick-demo-")
    children = []
    try:
        run(work, children)
        return 0
    except DemoFailed as e:
        print(f"FAILED: {e}")
        return 1
    except KeyboardInterrupt:
        print("\ninterrupted")
        return 130
    finally:
        for child in children:
            child.kill()
            child.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--role"]:  # a child: --role NAME MAIN_PID WORK_DIR [ARG]
        MAIN_PID = int(sys.argv[3])
        ROLES[sys.argv[2]](*sys.argv[4:])
    else:
        sys.exit(main())
