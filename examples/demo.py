"""A tour of tarnwick_queue: producers and consumers in separate processes share
one queue directory; consumers sleep in `queue.get()` until a job is ready. One
is killed with SIGKILL while it holds a lease, and its job comes back to another
consumer once the lease runs out; a job that always fails ends in the dead
letters; a lease that ran out can no longer settle its message.
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
import traceback

from tarnwick_queue import Empty, LeaseLost, Queue

PRODUCERS, CONSUMERS, JOBS_PER_PRODUCER, MAX_DELIVERIES = 2, 3, 40, 3
DELAYED = {5: 1.0, 25: 1.5}  # job number -> delay in seconds, for producer 0
POISON = "job poison"  # fails every time it is tried
VICTIM_LEASE = 1.5  # the doomed consumer's lease: short, so its message returns quickly
TIMEOUT_S = 30  # for every wait; the whole demo takes a few seconds


class DemoFailed(Exception):
    """A check failed, or a wait gave up."""


class JobFailed(Exception):
    """What the poison job raises, every time."""


def report(path, line):
    """Appends one line with a single write: readers see whole lines only."""
    with open(path, "ab", buffering=0) as f:  # O_APPEND, and one write() call
        f.write((line + "\n").encode())


# The three roles, each run in a process of its own. They stop by themselves
# if the demo's main process dies without stopping them.
MAIN_PID = None


def main_alive():
    return os.getppid() == MAIN_PID


def open_queue(work, lease=30.0):
    return Queue(f"{work}/queue", lease=lease, max_deliveries=MAX_DELIVERIES)


def produce(work, producer):
    queue = open_queue(work)
    for i in range(JOBS_PER_PRODUCER):
        body = f"job {producer}-{i}"
        delay = DELAYED.get(i, 0.0) if producer == "0" else 0.0
        put_at = time.time()
        job_id = queue.put(body.encode(), delay=delay)
        report(f"{work}/enqueued-{producer}", f"{job_id} {put_at + delay} {body}")
        time.sleep(0.002)


def consume(work, consumer):
    queue = open_queue(work)  # a 30 s lease: never runs out here
    while not os.path.exists(f"{work}/stop") and main_alive():
        try:
            with queue.get(timeout=0.5) as message:  # acked when the block ends
                body = message.body.decode()
                if body == POISON:
                    report(f"{work}/failed-{consumer}", str(message.deliveries))
                    raise JobFailed(body)  # nacked: tried again, until max_deliveries
                time.sleep(0.003)  # the "work"
        except (Empty, JobFailed):
            continue
        report(f"{work}/processed-{consumer}",
               f"{message.id} {message.deliveries} {time.time()} {body}")


def doomed_consumer(work):
    """Takes one job, says which, and sleeps in the middle of it until killed."""
    queue = open_queue(work, lease=VICTIM_LEASE)
    with queue.get(timeout=TIMEOUT_S) as message:
        report(f"{work}/victim", f"{message.id} {message.body.decode()}")
        while main_alive():
            time.sleep(0.1)
        os._exit(1)  # the main process is gone; the lease runs out by itself


ROLES = {"produce": produce, "consume": consume, "doomed_consumer": doomed_consumer}


def read_lines(work, prefix, fields):
    """The lines of every report file named prefix*, each split in fields."""
    lines = []
    for name in sorted(os.listdir(work)):
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


def run(work, children, queue):
    total = PRODUCERS * JOBS_PER_PRODUCER
    print(f"{PRODUCERS} producers put {total} jobs ({len(DELAYED)} of them delayed), "
          f"{CONSUMERS} consumers, max_deliveries={MAX_DELIVERIES}")

    def start(role, *args):
        # A session of its own keeps Ctrl-C away from the child: the main
        # process stops everyone itself.
        command = [sys.executable, __file__, "--role", role, str(os.getpid()), work, *args]
        children.append(subprocess.Popen(command, start_new_session=True))
        return children[-1]

    victim = start("doomed_consumer")
    producers = [start("produce", str(p)) for p in range(PRODUCERS)]
    wait_for("a consumer to lease a job", lambda: read_lines(work, "victim", 2), children)
    victim_id, victim_body = read_lines(work, "victim", 2)[0]
    victim.kill()  # SIGKILL, inside its `with queue.get() as message:` block
    victim.wait()
    children.remove(victim)
    print(f"killed consumer {victim.pid} (SIGKILL) while it held a {VICTIM_LEASE} s lease "
          f"on {victim_body!r}")
    wait_for("the producers to finish", lambda: all(p.poll() == 0 for p in producers), children)
    poison_id = queue.put(POISON.encode())
    states = [info.state for info in queue.peek(limit=total + 1)]
    print("peek: " + ", ".join(f"{states.count(s)} {s}" for s in ("ready", "leased", "scheduled")))

    for c in range(CONSUMERS):
        start("consume", str(c))

    def all_done():
        done = {line[0] for line in read_lines(work, "processed-", 4)}
        return len(done) >= total and len(queue.dead_letters) >= 1

    wait_for(f"all {total} jobs and {POISON!r} to be settled", all_done, children)
    report(f"{work}/stop", "")
    wait_for("the consumers to stop", lambda: all(c.poll() == 0 for c in children), children)
    check(work, queue, total, victim_id, victim_body, poison_id)


def show_fencing(queue):
    """A lease that ran out (as the killed consumer's did) cannot settle the
    message once another consumer holds it."""
    queue.put(b"fenced job")
    stale = queue.get(timeout=5, lease=0.2)
    time.sleep(0.3)
    fresh = queue.get(timeout=5)
    try:
        stale.ack()
    except LeaseLost:
        print(f"fencing: ack() with a lease that ran out raised LeaseLost; "
              f"the new holder (deliveries={fresh.deliveries}) acked")
    else:
        raise DemoFailed("a lease that ran out acked a job another consumer holds")
    fresh.ack()


def check(work, queue, total, victim_id, victim_body, poison_id):
    enqueued = {i: (float(due), body) for i, due, body in read_lines(work, "enqueued-", 3)}
    lines = read_lines(work, "processed-", 4)
    done = {i: (int(deliveries), float(at), body) for i, deliveries, at, body in lines}
    lost = sorted(set(enqueued) - set(done), key=int)
    invented = sorted(set(done) - set(enqueued), key=int)
    wrong = [i for i in done if i in enqueued and done[i][2] != enqueued[i][1]]
    early = [i for i in done if i in enqueued and done[i][1] < enqueued[i][0] - 0.01]
    twice = len(lines) - len(done)
    redelivered = done.get(victim_id, (None,))[0]
    attempts = sorted(int(d) for (d,) in read_lines(work, "failed-", 1))
    dead = queue.dead_letters.list()
    print(f"{victim_body!r} came back after the lease ran out, with deliveries={redelivered}")
    print(f"{POISON!r} failed on deliveries {attempts}; dead_letters.list(): "
          + ", ".join(f"id {d.original_id} {d.body.decode()!r} ({d.reason})" for d in dead))
    show_fencing(queue)
    stats, integrity = queue.stats(), queue.verify()
    print(f"enqueued {len(enqueued)}, processed {len(done)}, lost {len(lost)}, invented "
          f"{len(invented)}, wrong body {len(wrong)}, acked twice {twice}, early {len(early)}")
    print(f"stats: {stats['total']} live, {stats['acked_total']} acked, "
          f"{stats['dead_letters']} dead letter(s); verify: {integrity['message']}")
    parked = [(d.original_id, d.body, d.reason) for d in dead]
    if (lost or invented or wrong or early or twice or len(enqueued) != total
            or redelivered != 2 or attempts != list(range(1, MAX_DELIVERIES + 1))
            or parked != [(poison_id, POISON.encode(), "max deliveries exceeded")]
            or stats["total"] != 0 or not integrity["ok"]):
        raise DemoFailed(f"lost={lost[:10]} invented={invented[:10]} wrong={wrong[:10]} "
                         f"early={early} redelivered={redelivered} parked={parked}")
    print(f"OK: every one of the {total} jobs was processed once; none lost, none invented")


def main():
    for sig in (signal.SIGTERM, signal.SIGHUP):  # clean up on these too
        signal.signal(sig, lambda signum, _: sys.exit(128 + signum))
    work = tempfile.mkdtemp(prefix="tarnwick-demo-")
    children = []
    try:
        with open_queue(work) as queue:
            run(work, children, queue)
        return 0
    except DemoFailed as e:
        print(f"FAILED: {e}")
        return 1
    except Exception:
        traceback.print_exc()
        print("FAILED: unexpected error")
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
