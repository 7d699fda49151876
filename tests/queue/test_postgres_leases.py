"""Leases between handles on one queue, over every backend with a shared
store (the directory, PostgreSQL): two consumers never hold the same lease,
an expired lease is redelivered with the count raised and fences the old
holder out, max_deliveries parks a message, a delay holds one back."""

import threading
import time

import pytest

from tarnwick_queue import Empty, LeaseLost


def test_two_consumers_never_hold_the_same_lease(open_queue):
    # Leases long enough to hold on a busy machine; a message a consumer
    # leaves unacked has its lease cut short on purpose, so it runs out and
    # goes to either consumer again.
    producer = open_queue(lease=30.0)
    consumers = [open_queue(lease=30.0), open_queue(lease=30.0)]
    producer.put_many([b"%d" % i for i in range(150)])
    records = []  # (id, deliveries, received, lease end, acked)
    lock = threading.Lock()
    errors = []
    acked_ids = set()
    give_up = time.monotonic() + 120

    def consume(queue, skip_every):
        try:
            n = 0
            while True:
                with lock:
                    if len(acked_ids) == 150:
                        return
                assert time.monotonic() < give_up, "the messages were not all acked in time"
                for message in queue.get_many(4, timeout=0.2):
                    received = time.time()
                    n += 1
                    acked = n % skip_every != 0  # the others run out
                    if acked:
                        message.ack()
                    else:
                        message.extend(0.05)
                    with lock:
                        if acked:
                            acked_ids.add(message.id)
                        records.append((message.id, message.deliveries, received,
                                        message.lease_expires_at, acked))
        except BaseException as exc:  # reported by the main thread
            errors.append(exc)

    threads = [threading.Thread(target=consume, args=(q, k))
               for q, k in zip(consumers, (5, 7))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert sorted(r[0] for r in records if r[4]) == sorted(set(r[0] for r in records))
    assert len({(r[0], r[1]) for r in records}) == len(records), "one delivery handed out twice"
    by_id = {}
    for r in records:
        by_id.setdefault(r[0], []).append(r)
    for id, got in by_id.items():
        got.sort(key=lambda r: r[1])
        assert [r[1] for r in got] == list(range(1, len(got) + 1))
        for earlier, later in zip(got, got[1:]):
            assert later[2] >= earlier[3] - 0.002, f"message {id} leased twice at once"
    assert any(len(got) > 1 for got in by_id.values())
    assert producer.stats()["total"] == 0


def test_expired_lease_is_redelivered_and_fences_its_holder(open_queue):
    first, second = open_queue(lease=30.0), open_queue(lease=30.0)
    id = first.put(b"job")
    old = first.get(lease=0.2)
    time.sleep(0.3)
    new = second.get(timeout=30)
    assert (new.id, new.body, new.deliveries) == (id, b"job", 2)
    assert new.enqueued_at == pytest.approx(old.enqueued_at, abs=0.002)
    for settle in (old.ack, old.nack, lambda: old.dead("x"), old.extend):
        with pytest.raises(LeaseLost):
            settle()
    assert [(i.id, i.state, i.deliveries) for i in first.peek()] == [(id, "leased", 2)]
    before = time.time()
    new.extend(10.0)
    assert new.lease_expires_at >= before + 10 - 0.002
    new.ack()
    with pytest.raises(LeaseLost):
        new.ack()
    assert second.stats()["total"] == 0


def test_an_expired_lease_nobody_took_still_fences(open_queue):
    queue = open_queue(lease=30.0)
    queue.put(b"job")
    message = queue.get(lease=0.1)
    time.sleep(0.2)
    with pytest.raises(LeaseLost):
        message.ack()
    again = queue.get_nowait()
    assert again.deliveries == 2
    again.ack()


def test_max_deliveries_parks_the_message_and_requeue_brings_it_back(open_queue):
    queue = open_queue(lease=30.0, max_deliveries=2)
    id = queue.put(b"poison")
    for _ in range(2):
        queue.get_nowait().nack()
    with pytest.raises(Empty):
        queue.get_nowait()
    (letter,) = queue.dead_letters.list()
    assert (letter.original_id, letter.body, letter.deliveries, letter.reason) == (
        id, b"poison", 2, "max deliveries exceeded")
    assert queue.stats()["dead_letters"] == len(queue.dead_letters) == 1
    assert queue.dead_letters.requeue([letter.id + 1000]) == 0
    assert queue.dead_letters.requeue([letter.id]) == 1
    back = queue.get_nowait()
    assert (back.body, back.deliveries) == (b"poison", 1) and back.id > id
    back.dead("by hand")
    assert [d.reason for d in queue.dead_letters.list()] == ["by hand"]
    assert queue.dead_letters.purge() == 1 and len(queue.dead_letters) == 0


def test_a_delay_holds_the_message_back_from_another_handle(open_queue):
    producer, consumer = open_queue(), open_queue()
    got = []
    # A far delay, seen as scheduled whatever the machine's load; a near one
    # the waiting handle receives once it is due, not before.
    far = producer.put(b"far", delay=3600)
    (info,) = producer.peek()
    assert (info.id, info.state, info.deliveries) == (far, "scheduled", 0)
    assert producer.stats()["scheduled"] == 1
    with pytest.raises(Empty):
        consumer.get_nowait()
    waiter = threading.Thread(target=lambda: got.append(consumer.get(timeout=30)))
    waiter.start()
    id = producer.put(b"later", delay=0.5)
    waiter.join()
    (message,) = got
    assert (message.id, message.deliveries) == (id, 1)
    assert time.time() >= message.enqueued_at + 0.5
    nacked_at = time.time()
    message.nack(delay=0.3)
    again = consumer.get(timeout=30)
    assert (again.id, again.deliveries) == (id, 2)
    assert time.time() >= nacked_at + 0.3
