"""The single-process scenarios of bench/run.py, each timed on one opened
queue (see systems.py for what an opened queue offers)."""

import string

import harness

SMALL = 100
BIG = 64 * 1024
BATCH = 1000

# Scenario keys, their labels and units, in table order.
SCENARIOS = [
    ("enq", "enqueue 100 B", "ops/s"),
    ("cycle", "enqueue→dequeue→ack 100 B", "cycles/s"),
    ("benq", "enqueue_batch 1000×100 B", "batches/s"),
    ("bdeq", "dequeue_batch 1000", "batches/s"),
    ("back", "ack_batch 1000", "batches/s"),
    ("big_enq", "enqueue 64 KiB (+final flush)", "MB/s"),
    ("big_enq_nf", "enqueue 64 KiB (no final flush)", "MB/s"),
    ("big_drain", "dequeue+ack 64 KiB", "MB/s"),
    ("mp", "2 producers + 2 consumers, 100 B", "msgs/s"),
]


def ascii_bytes(rng, n):
    letters = (string.ascii_letters + string.digits).encode()
    return bytes(rng.choice(letters) for _ in range(n))


def enqueue(a, body, budget):
    for _ in range(20):
        a.enq(body)
    return harness.run_for(a.enq, body, budget, min_calls=10).rate


def cycle(a, body, budget):
    enq, deq, ack, h = a.enq, a.deq, a.ack, a.handle

    def step(b):
        enq(b)
        ack(h(deq()))

    for _ in range(20):
        step(body)
    return harness.run_for(step, body, budget, min_calls=10).rate


def batch_enqueue(a, body, budget):
    if a.enq_batch is None:
        return {"benq": "n/a"}
    return {"benq": harness.run_for(a.enq_batch, [body] * BATCH, budget, min_calls=2).rate}


def batch_drain(a, body, batches, ack_only_cap):
    """dequeue_batch and ack_batch over a queue filled with the same number of
    batches for every implementation, so that no one drains a deeper queue."""
    out = {"bdeq": "n/a", "back": "n/a"}
    if a.deq_batch is None and a.ack_batch is None:
        return out
    bodies = [body] * BATCH
    for _ in range(batches):
        if a.enq_batch is not None:
            a.enq_batch(bodies)
        else:
            for b in bodies:
                a.enq(b)
    lists = None
    if a.deq_batch is not None:
        with harness.Stopwatch() as watch:
            lists = [a.deq_batch(BATCH) for _ in range(batches)]
        sizes = {len(x) for x in lists}
        if sizes != {BATCH}:
            raise RuntimeError("dequeue_batch returned sizes %s" % sorted(sizes))
        out["bdeq"] = harness.per_second(batches, watch.seconds)
    else:
        lists = [[a.deq() for _ in range(BATCH)] for _ in range(min(batches, ack_only_cap))]
    if a.ack_batch is not None:
        handles = [[a.handle(m) for m in lst] for lst in lists]
        with harness.Stopwatch() as watch:
            for hs in handles:
                a.ack_batch(hs)
        out["back"] = harness.per_second(len(handles), watch.seconds)
    return out


def big_enqueue(a, big, count, cap_s, final_flush=True):
    """MB/s of `count` 64 KiB enqueues (fewer if cap_s passes first), with
    the final flush inside the timing when final_flush."""
    for _ in range(2):
        a.enq(big)
    with harness.Stopwatch() as watch:
        n = harness.run_for(a.enq, big, cap_s, max_calls=count).done
        if final_flush:
            a.flush()
    return harness.per_second(n * BIG / 1e6, watch.seconds)


def big(a, big_body, count, cap_s):
    """64 KiB enqueues, then the queue drained (dequeue + ack), both in MB/s."""
    enq_rate = big_enqueue(a, big_body, count, cap_s)
    try_deq, ack, h, body = a.try_deq, a.ack, a.handle, a.body
    first = [True]

    def drain_one():
        r = try_deq()
        if r is None:
            return 0
        if first[0] and len(body(r)) != BIG:
            raise RuntimeError("64 KiB body came back with %d bytes" % len(body(r)))
        first[0] = False
        ack(h(r))
        return 1

    drained = harness.count_for(drain_one, cap_s, until_empty=True)
    return {"big_enq": enq_rate,
            "big_drain": harness.per_second(drained.done * BIG / 1e6, drained.seconds)}


def table_rows(results, modes):
    """(key, label, unit, mode, row) for each row the results table has, mode
    by mode in the order of `modes`, scenario by scenario."""
    for mode in modes:
        for key, label, unit in SCENARIOS:
            row = results.get((key, mode))
            if row is not None:
                yield key, label, unit, mode, row
