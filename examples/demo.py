"""A tour of tarnwick: producers and consumers in separate processes share one
queue directory; one consumer is killed with SIGKILL while it holds a lease,
and its message comes back to another consumer once the lease runs out.

Run it with `bash scripts/run.sh` (or `python examples/demo.py [DIR]`).
"""

import multiprocessing as mp
import os
import signal
import sys
import tempfile
import time

from tarnwick import TarnwickCore

PRODUCERS = 2
CONSUMERS = 3
MESSAGES_PER_PRODUCER = 150
LEASE_MS = 1500  # short, so the killed consumer's message returns quickly


def produce(path, producer, results):
    queue = TarnwickCore(path)
    for i in range(MESSAGES_PER_PRODUCER):
        body = f"job {producer}-{i}".encode()
        seq = queue.enqueue(body)
        results.put(("enqueued", seq, body))
        time.sleep(0.002)


def consume(path, results, stop):
    queue = TarnwickCore(path, default_lease_ms=LEASE_MS)
    while not stop.is_set():
        message = queue.dequeue()
        if message is None:
            time.sleep(0.01)
            continue
        seq, body, deliveries, _ = message
        time.sleep(0.003)  # the "work"
        if queue.ack(seq):
            results.put(("processed", seq, body, deliveries))


def doomed_consumer(path, results):
    """Leases one message and then hangs until it is killed."""
    queue = TarnwickCore(path, default_lease_ms=LEASE_MS)
    while True:
        message = queue.dequeue()
        if message is not None:
            results.put(("leased-by-victim", message[0], message[1]))
            signal.pause()
        time.sleep(0.01)


def progress(done, total, width=40):
    filled = width * done // total
    sys.stdout.write(f"\r  [{'#' * filled}{'.' * (width - filled)}] {done}/{total}")
    sys.stdout.flush()


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="tarnwick-demo-")
    total = PRODUCERS * MESSAGES_PER_PRODUCER
    ctx = mp.get_context("spawn")
    results = ctx.Queue()
    stop = ctx.Event()
    print(f"queue directory: {path}")
    print(f"{PRODUCERS} producers, {CONSUMERS} consumers, {total} messages, lease {LEASE_MS} ms")

    victim = ctx.Process(target=doomed_consumer, args=(path, results))
    producers = [ctx.Process(target=produce, args=(path, p, results)) for p in range(PRODUCERS)]
    consumers = [ctx.Process(target=consume, args=(path, results, stop)) for _ in range(CONSUMERS)]
    victim.start()
    for p in producers:
        p.start()

    enqueued, processed, victim_seq = {}, {}, None
    redelivered = None
    started_consumers = False
    deadline = time.monotonic() + 120
    while len(processed) < total and time.monotonic() < deadline:
        try:
            event = results.get(timeout=0.2)
        except Exception:
            continue
        kind, seq, body = event[0], event[1], event[2]
        if kind == "enqueued":
            enqueued[seq] = body
        elif kind == "leased-by-victim":
            victim_seq = seq
            os.kill(victim.pid, signal.SIGKILL)
            victim.join()
            print(f"killed consumer pid {victim.pid} (SIGKILL) while it held the lease on seq {seq}")
            for c in consumers:
                c.start()
            started_consumers = True
        else:
            processed.setdefault(seq, []).append((body, event[3]))
            if seq == victim_seq:
                redelivered = event[3]
            progress(len(processed), total)
    print()
    stop.set()
    for p in producers + (consumers if started_consumers else []):
        p.join(timeout=10)

    lost = sorted(set(enqueued) - set(processed))
    invented = sorted(set(processed) - set(enqueued))
    wrong = [s for s, got in processed.items() if any(b != enqueued.get(s) for b, _ in got)]
    if victim_seq is not None and redelivered is not None:
        print(f"seq {victim_seq} came back after its lease expired and was delivered "
              f"to another consumer with deliveries={redelivered}")
    queue = TarnwickCore(path)
    print("stats:", queue.stats())
    print("verify_integrity:", queue.verify_integrity())
    if lost or invented or wrong or len(enqueued) != total:
        print(f"FAILED: lost={lost[:10]} invented={invented[:10]} wrong={wrong[:10]}")
        return 1
    print(f"every one of the {total} messages was processed at least once; none was lost")
    return 0


if __name__ == "__main__":
    sys.exit(main())
