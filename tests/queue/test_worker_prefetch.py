"""Worker(prefetch=N): messages taken N at a time and run in turn, the acks
of those that succeeded sent together; the leases of waiting messages
held; a gathered ack sent within its window however long the next job
runs; unstarted messages given back at a stop; failures settled at once;
acks that find their leases gone counted as lost."""

import logging
import threading

import pytest
from processes import run_until, wait_for

from tarnwick_queue import Worker
from tarnwick_queue.worker import ACK_WINDOW


def counting_acks(queue):
    """Counts the queue's ack_many calls and the messages they carried."""
    calls = []
    ack_many = queue.ack_many

    def counted(messages):
        messages = list(messages)
        calls.append(len(messages))
        return ack_many(messages)
    queue.ack_many = counted
    return calls


def test_successes_are_acked_together_and_failures_at_once(open_queue):
    queue = open_queue(lease=30.0, sync_interval=0.05)
    ids = queue.put_many([b"%d" % i for i in range(100)])
    failing = ids[37]
    calls = counting_acks(queue)
    seen = []

    def handler(message):
        seen.append((message.id, message.deliveries))
        if message.id == failing and message.deliveries == 1:
            raise ValueError("once")

    worker = Worker(queue, handler, prefetch=10, backoff=(0.01, 1.0, 0.01),
                    fire_schedules=False)
    run_until(worker, lambda: queue.stats()["total"] == 0)
    assert worker.counts == {"acked": 100, "retried": 1, "dead": 0, "lost": 0,
                             "returned": 0, "unknown": 0}
    assert sum(calls) == 100
    # Ten a take (the retry comes back alone): far fewer commits than acks.
    assert len(calls) <= 20, calls
    assert sorted(seen) == sorted([(i, 1) for i in ids] + [(failing, 2)])
    status = queue.status(failing)
    assert status.state == "acked" and status.deliveries == 2
    assert "ValueError: once" in status.errors[0]


def test_a_gathered_ack_is_sent_while_the_next_job_runs(open_queue):
    if not open_queue.shared_store:
        pytest.skip("needs a second handle to see the ack")
    queue = open_queue(lease=30.0, sync_interval=0.05)
    other = open_queue(lease=30.0, sync_interval=0.05)
    quick, slow = queue.put(b"quick"), queue.put(b"slow")
    release = threading.Event()

    def handler(message):
        if message.id == slow:
            release.wait(30)

    worker = Worker(queue, handler, prefetch=2, fire_schedules=False)
    thread = threading.Thread(target=worker.run)
    thread.start()
    try:
        # The quick job's ack waits neither for the slow job nor for the
        # next take: it goes within the window.
        wait_for(lambda: other.status(quick).state == "acked", 30,
                 f"the gathered ack within {ACK_WINDOW} s")
        assert other.status(slow).state == "leased" and not release.is_set()
    finally:
        release.set()
        worker.stop()
        thread.join(60)
    assert worker.counts["acked"] == 2
    assert other.stats()["total"] == 0


def test_waiting_messages_stay_leased(open_queue):
    if not open_queue.shared_store:
        pytest.skip("needs a second handle to look for a redelivery")
    # Six jobs of 0.6 s behind each other outlast a lease of 3 s: the ones
    # waiting their turn are renewed (every second), none is delivered twice.
    queue = open_queue(lease=3.0, sync_interval=0.05)
    other = open_queue(lease=3.0, sync_interval=0.05)
    queue.put_many([b"%d" % i for i in range(6)])
    deliveries = []
    stolen = []

    def handler(message):
        deliveries.append(message.deliveries)
        stolen.extend(other.get_many(6, timeout=0.6))

    worker = Worker(queue, handler, prefetch=6, fire_schedules=False)
    run_until(worker, lambda: len(deliveries) == 6 or stolen)
    assert not stolen, [m.body for m in stolen]
    assert deliveries == [1] * 6
    assert worker.counts["acked"] == 6
    assert other.stats()["total"] == 0


def test_a_stop_gives_back_what_was_not_started(open_queue):
    if not open_queue.shared_store:
        pytest.skip("needs a second handle to take what came back")
    queue = open_queue(lease=30.0, sync_interval=0.05)
    other = open_queue(lease=30.0, sync_interval=0.05)
    ids = queue.put_many([b"%d" % i for i in range(5)])
    ran = []

    def handler(message):
        ran.append(message.id)
        worker.stop()

    worker = Worker(queue, handler, prefetch=5, fire_schedules=False)
    worker.run()
    assert ran == [ids[0]]
    assert worker.counts["acked"] == 1 and worker.counts["returned"] == 4
    back = other.get_many(10, timeout=10)
    # Back at once, not at the end of their leases; their take counted.
    assert sorted(m.id for m in back) == ids[1:]
    assert {m.deliveries for m in back} == {2}
    other.ack_many(back)


def test_a_handler_ending_the_process_gives_back_the_rest(open_queue):
    if not open_queue.shared_store:
        pytest.skip("needs a second handle to take what came back")
    queue = open_queue(lease=30.0, sync_interval=0.05)
    other = open_queue(lease=30.0, sync_interval=0.05)
    ids = queue.put_many([b"%d" % i for i in range(5)])

    def handler(message):
        raise SystemExit(3)

    worker = Worker(queue, handler, prefetch=5, fire_schedules=False)
    with pytest.raises(SystemExit):
        worker.run()
    # The four never started are back at once, long before their leases end.
    back = other.get_many(10, timeout=10)
    assert sorted(m.id for m in back) == ids
    other.ack_many(back)


def test_acks_whose_leases_are_gone_count_as_lost(open_queue, caplog):
    queue = open_queue(lease=30.0, sync_interval=0.05)
    queue.put_many([b"a", b"b", b"c"])

    def handler(message):
        if message.body == b"a":
            queue.purge()  # every lease taken with this batch is gone

    worker = Worker(queue, handler, prefetch=3, fire_schedules=False)
    with caplog.at_level(logging.WARNING, logger="tarnwick_queue"):
        run_until(worker, lambda: sum(worker.counts.values()) == 3)
    assert worker.counts["lost"] == 3 and worker.counts["acked"] == 0
    assert queue.stats()["total"] == 0
    assert "lease" in caplog.text


def test_prefetch_is_for_plain_handlers(open_queue):
    queue = open_queue()

    async def handler(message):
        pass
    with pytest.raises(ValueError, match="prefetch is for plain handlers"):
        Worker(queue, handler, prefetch=2)
    with pytest.raises(ValueError):
        Worker(queue, lambda m: None, prefetch=0)
