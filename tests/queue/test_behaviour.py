"""What every backend of the face must do, on each backend in BACKENDS."""

import pickle
import threading
import time

import pytest

from tarnwick_queue import Empty, LeaseLost, StopEvent


class TestPutAndGet:
    def test_round_trip_in_order(self, queue):
        ids = [queue.put(b"first"), *queue.put_many([b"second", bytearray(b"third")])]
        assert ids == sorted(ids) and len(set(ids)) == 3
        got = [queue.get(timeout=1) for _ in range(3)]
        assert [m.body for m in got] == [b"first", b"second", b"third"]
        assert [m.id for m in got] == ids
        assert all(m.deliveries == 1 for m in got)
        assert all(abs(m.enqueued_at - time.time()) < 60 for m in got)
        for m in got:
            m.ack()
        assert queue.stats()["total"] == 0

    def test_empty_queue(self, queue):
        with pytest.raises(Empty):
            queue.get_nowait()
        with pytest.raises(Empty):
            queue.get(block=False)
        started = time.monotonic()
        with pytest.raises(Empty):
            queue.get(timeout=0.2)
        assert time.monotonic() - started >= 0.19
        assert queue.get_many(5) == []

    def test_get_many_takes_at_most_max(self, queue):
        queue.put_many([b"%d" % i for i in range(5)])
        first = queue.get_many(3)
        assert [m.body for m in first] == [b"0", b"1", b"2"]
        assert [m.body for m in queue.get_many(10)] == [b"3", b"4"]
        assert queue.get_many(0) == []

    def test_empty_body_and_empty_batch(self, queue):
        assert queue.put_many([]) == []
        queue.put(b"")
        assert queue.get(timeout=1).body == b""

    def test_blocked_get_wakes_on_put_from_another_thread(self, queue):
        threading.Timer(0.2, queue.put, args=(b"late",)).start()
        message = queue.get(timeout=30)
        assert message.body == b"late"

    def test_a_stop_event_ends_a_blocked_get_and_the_next_ones(self, queue):
        stop = StopEvent()
        try:
            ended = []

            def wait():
                try:
                    queue.get(stop=stop)
                except Empty:
                    ended.append("empty")

            waiter = threading.Thread(target=wait)
            waiter.start()
            waiter.join(0.3)
            assert waiter.is_alive()  # blocked, with no timeout
            stop.set()
            waiter.join(10)
            assert not waiter.is_alive() and ended == ["empty"]
            queue.put(b"ready")
            with pytest.raises(Empty):
                queue.get(stop=stop)  # set: even a ready message is left
            assert queue.get(timeout=1).body == b"ready"
            with pytest.raises(TypeError):
                queue.get(stop=True)
        finally:
            stop.close()

    def test_bad_arguments(self, queue):
        with pytest.raises(TypeError):
            queue.put("text is not bytes")
        with pytest.raises(TypeError):
            queue.put_many(b"a single body")
        with pytest.raises(ValueError):
            queue.put(b"x", delay=-1)
        with pytest.raises(ValueError):
            queue.put(b"x", delay=float("nan"))
        with pytest.raises(ValueError):
            queue.get(timeout=-1)
        with pytest.raises(ValueError):
            queue.get(lease=0)
        with pytest.raises(TypeError):
            queue.get_many("3")
        with pytest.raises(ValueError):
            queue.peek(-1)
        assert queue.stats()["total"] == 0


class TestDelays:
    def test_delayed_message_waits_for_its_time(self, queue):
        # A far delay is scheduled whatever the machine's load; a near one is
        # received once it is due, not before.
        put_at = time.time()
        queue.put(b"far", delay=3600)
        put_done = time.time()
        queue.put(b"now")
        assert queue.get(timeout=1).body == b"now"
        [info] = [i for i in queue.peek() if i.state == "scheduled"]
        assert put_at + 3600 - 0.002 <= info.due_at <= put_done + 3600 + 0.002
        assert queue.stats()["scheduled"] == 1
        with pytest.raises(Empty):
            queue.get(timeout=0.1)
        put_at = time.time()
        queue.put(b"later", delay=0.4)
        message = queue.get(timeout=30)
        assert time.time() >= put_at + 0.4
        assert (message.body, message.deliveries) == (b"later", 1)

    def test_nack_with_delay(self, queue):
        queue.put(b"retry me")
        message = queue.get(timeout=1)
        nacked_at = time.time()
        message.nack(delay=0.3)
        again = queue.get(timeout=30)
        assert time.time() >= nacked_at + 0.3
        assert (again.body, again.deliveries) == (b"retry me", 2)
        again.nack(delay=3600)
        with pytest.raises(Empty):
            queue.get(timeout=0.1)
        assert queue.stats()["total"] == 1

    def test_put_many_delayed(self, queue):
        queue.put_many([b"far", b"farther"], delay=3600)
        assert queue.get_many(5) == []
        put_at = time.time()
        queue.put_many([b"a", b"b"], delay=0.2)
        got = queue.get_many(5, timeout=30)
        assert time.time() >= put_at + 0.2
        assert {m.body for m in got} <= {b"a", b"b"} and got


class TestSettling:
    def test_nack_returns_message_at_its_place(self, queue):
        queue.put_many([b"a", b"b"])
        first = queue.get(timeout=1)
        first.nack()
        again = queue.get(timeout=1)
        assert (again.body, again.deliveries) == (b"a", 2)

    def test_settling_twice_is_lease_lost(self, queue):
        queue.put(b"once")
        message = queue.get(timeout=1)
        message.ack()
        assert message.settled
        for settle in (message.ack, message.nack, message.dead, message.extend):
            with pytest.raises(LeaseLost) as lost:
                settle()
            assert lost.value.lost == [message.id]

    def test_context_manager_acks_or_nacks(self, queue):
        queue.put_many([b"good", b"bad"])
        with queue.get(timeout=1) as message:
            assert message.body == b"good"
        with pytest.raises(RuntimeError):
            with queue.get(timeout=1):
                raise RuntimeError("handler failed")
        back = queue.get(timeout=1)
        assert (back.body, back.deliveries) == (b"bad", 2)
        with back:
            back.dead("settled inside the block")
        assert queue.stats()["total"] == 0
        assert len(queue.dead_letters) == 1

    def test_expired_lease_cannot_settle(self, queue):
        queue.put(b"slow job")
        stale = queue.get(timeout=1, lease=0.2)
        time.sleep(0.3)
        fresh = queue.get(timeout=1)
        assert (fresh.id, fresh.deliveries) == (stale.id, 2)
        for settle in (stale.ack, stale.nack, stale.extend, lambda: stale.dead("x")):
            with pytest.raises(LeaseLost):
                settle()
        assert queue.stats()["in_flight"] == 1
        fresh.ack()
        assert len(queue.dead_letters) == 0

    def test_expired_lease_lost_even_when_nobody_took_it(self, queue):
        queue.put(b"x")
        message = queue.get(timeout=1, lease=0.1)
        time.sleep(0.2)
        with pytest.raises(LeaseLost):
            message.ack()
        assert queue.get(timeout=1).deliveries == 2

    def test_extend_keeps_the_lease(self, queue):
        # The first lease is long enough to last until the extension on a busy
        # machine; the test then waits past its end.
        queue.put(b"long job")
        message = queue.get(timeout=1, lease=2.0)
        before = message.lease_expires_at
        extended_at = time.time()
        message.extend(30.0)
        assert message.lease_expires_at >= extended_at + 30 - 0.002
        assert message.lease_expires_at > before + 20
        time.sleep(max(0.0, before - time.time()) + 0.2)
        assert queue.get_many(1) == []
        assert [i.state for i in queue.peek()] == ["leased"]
        message.ack()


class TestAckMany:
    def test_mixed_batch_acks_the_current_and_names_the_lost(self, open_queue):
        queue = open_queue(lease=30.0)
        queue.put_many([b"a", b"b", b"settled", b"expires", b"after"])
        first, second = queue.get_many(2)
        settled = queue.get(timeout=1)
        settled.ack()
        expiring = queue.get(timeout=1, lease=0.2)
        time.sleep(0.3)
        with pytest.raises(LeaseLost) as lost:
            queue.ack_many([first, expiring, second, settled, first])
        assert lost.value.lost == [expiring.id, settled.id]
        assert first.settled and second.settled and not expiring.settled
        assert [m.body for m in queue.peek(bodies=True)] == [b"expires", b"after"]
        # Whoever holds the expired message now still settles it.
        other = open_queue(lease=30.0) if open_queue.shared_store else queue
        taken_over = other.get(timeout=1)
        assert (taken_over.id, taken_over.deliveries) == (expiring.id, 2)
        other.ack_many([taken_over])
        assert taken_over.settled
        with pytest.raises(LeaseLost) as again:
            queue.ack_many([second])
        assert again.value.lost == [second.id]
        assert queue.stats()["total"] == 1

    def test_get_many_then_ack_many_settles_all(self, queue):
        queue.put_many([b"%d" % i for i in range(100)])
        batch = queue.get_many(100)
        queue.ack_many(batch + batch[:3])  # given twice: acked once, no error
        assert all(m.settled for m in batch)
        assert queue.stats()["total"] == 0
        queue.ack_many([])
        queue.ack_many(m for m in ())

    def test_bad_items_are_refused_before_anything_is_acked(self, queue):
        queue.put(b"x")
        message = queue.get(timeout=1)
        for bad in ([message, message.id], [message, None], message, 3):
            with pytest.raises(TypeError):
                queue.ack_many(bad)
        assert not message.settled and queue.stats()["in_flight"] == 1
        message.ack()

    def test_message_of_another_queue_object_is_lost_and_left_leased(self, open_queue):
        if not open_queue.shared_store:
            pytest.skip("needs a shared store")
        mine, theirs = open_queue(lease=30.0), open_queue(lease=30.0)
        mine.put_many([b"mine", b"theirs"])
        own, foreign = mine.get(timeout=1), theirs.get(timeout=1)
        with pytest.raises(LeaseLost) as lost:
            mine.ack_many([own, foreign])
        assert lost.value.lost == [foreign.id] and own.settled
        foreign.ack()


class TestAckThenTake:
    """take(ack=message): a worker's step from one job to the next."""

    def test_acks_then_takes_and_settled_tells_the_outcome(self, open_queue):
        queue = open_queue(lease=30.0)
        queue.put_many([b"first", b"second", b"third"])
        first = queue.get(timeout=1)
        taken, due = queue.take(ack=first)
        assert first.settled and [m.body for m in taken] == [b"second"] and due is None
        second = taken[0]
        # A lease that ran out acks nothing; the take still happens.
        stale = queue.get(timeout=1, lease=0.2)
        time.sleep(0.3)
        taken, _ = queue.take(2, ack=stale)
        assert not stale.settled
        assert [(m.body, m.deliveries) for m in taken] == [(b"third", 2)]
        third = taken[0]
        # Nothing left to take: the ack alone, and when the next lease ends.
        taken, due = queue.take(ack=second)
        assert second.settled and taken == []
        assert due is not None and 20 < due <= 30
        # Settled already: not acked again, a plain take.
        assert queue.take(ack=second)[0] == [] and queue.stats()["total"] == 1
        third.ack()
        assert queue.stats()["total"] == 0

    def test_max_zero_only_acks(self, queue):
        queue.put_many([b"a", b"b"])
        message = queue.get(timeout=1)
        assert queue.take(0, ack=message) == ([], None)
        assert message.settled and queue.stats()["total"] == 1

    def test_bad_ack_is_refused_before_anything_happens(self, open_queue):
        queue = open_queue(lease=30.0)
        queue.put(b"x")
        with pytest.raises(TypeError):
            queue.take(ack=b"x")
        assert queue.stats()["ready"] == 1
        if not open_queue.shared_store:
            return
        foreign = open_queue(lease=30.0).get(timeout=1)
        with pytest.raises(ValueError):
            queue.take(ack=foreign)
        assert not foreign.settled and queue.stats()["in_flight"] == 1


def test_lease_lost_keeps_its_ids_across_pickling():
    lost = pickle.loads(pickle.dumps(LeaseLost("gone", lost=[3, 5])))
    assert (lost.args, lost.lost) == (("gone",), [3, 5])
    assert LeaseLost("plain").lost == []


class TestDeadLetters:
    def test_dead_then_requeue(self, queue):
        queue.put(b"poison")
        message = queue.get(timeout=1)
        message.dead("cannot parse")
        [letter] = queue.dead_letters.list()
        assert (letter.original_id, letter.body, letter.deliveries, letter.reason) == (
            message.id, b"poison", 1, "cannot parse")
        assert letter.died_at >= letter.enqueued_at
        assert queue.stats()["dead_letters"] == 1
        assert queue.dead_letters.requeue() == 1
        assert len(queue.dead_letters) == 0
        back = queue.get(timeout=1)
        assert (back.body, back.deliveries) == (b"poison", 1)
        assert back.id != message.id

    def test_max_deliveries(self, open_queue):
        queue = open_queue(lease=30.0, max_deliveries=2)
        queue.put_many([b"always fails", b"fine"])
        for expected in (1, 2):
            message = queue.get(timeout=1)
            assert (message.body, message.deliveries) == (b"always fails", expected)
            message.nack()
        assert queue.get(timeout=1).body == b"fine"
        [letter] = queue.dead_letters.list()
        assert (letter.reason, letter.deliveries) == ("max deliveries exceeded", 2)

    def test_requeue_some_and_purge(self, queue):
        queue.put_many([b"a", b"b", b"c"])
        for message in queue.get_many(3):
            message.dead("r")
        letters = queue.dead_letters.list()
        assert [d.body for d in letters] == [b"a", b"b", b"c"]
        assert [d.body for d in queue.dead_letters.list(limit=2)] == [b"a", b"b"]
        assert queue.dead_letters.requeue([letters[1].id, letters[1].id, 10**9]) == 1
        assert queue.get(timeout=1).body == b"b"
        assert queue.dead_letters.purge() == 2
        assert queue.dead_letters.list() == []
        with pytest.raises(TypeError):
            queue.dead_letters.requeue(["1"])

    def test_unicode_reason(self, queue):
        queue.put(b"x")
        queue.get(timeout=1).dead("échec — 失败")
        assert queue.dead_letters.list()[0].reason == "échec — 失败"


class TestPeekAndStats:
    def test_peek_shows_states_without_changing_anything(self, queue):
        queue.put_many([b"leased", b"ready"])
        queue.put(b"scheduled", delay=60)
        queue.get(timeout=1)
        before = queue.stats()
        infos = queue.peek(bodies=True)
        assert [i.state for i in infos] == ["leased", "ready", "scheduled"]
        assert [i.body for i in infos] == [b"leased", b"ready", b"scheduled"]
        assert [i.size for i in infos] == [6, 5, 9]
        assert infos[0].due_at is not None and infos[1].due_at is None
        assert [i.deliveries for i in infos] == [1, 0, 0]
        assert queue.peek(1)[0].body is None
        assert len(queue.peek(1)) == 1
        after = queue.stats()
        assert before == after

    def test_stats_counts(self, queue):
        queue.put_many([b"a", b"b", b"c"])
        queue.put(b"d", delay=60)
        queue.get(timeout=1).ack()
        queue.get(timeout=1)
        stats = queue.stats()
        # in_flight counts the leased only: the scheduled are apart.
        assert (stats["ready"], stats["in_flight"], stats["scheduled"], stats["total"]) == (
            1, 1, 1, 3)
        assert stats["dead_letters"] == 0


class TestSharedStore:
    def test_two_handles_never_share_a_lease(self, open_queue):
        if not open_queue.shared_store:
            pytest.skip("needs a shared store")
        first, second = open_queue(lease=30.0), open_queue(lease=30.0)
        first.put_many([b"a", b"b"])
        got = [first.get(timeout=1), second.get(timeout=1)]
        assert sorted(m.body for m in got) == [b"a", b"b"]
        with pytest.raises(Empty):
            second.get_nowait()

    def test_delay_seen_by_another_handle(self, open_queue):
        if not open_queue.shared_store:
            pytest.skip("needs a shared store")
        producer, consumer = open_queue(), open_queue()
        producer.put(b"far", delay=3600)
        assert consumer.peek()[0].state == "scheduled"
        put_at = time.time()
        producer.put(b"soon", delay=0.3)
        assert consumer.get(timeout=30).body == b"soon"
        assert time.time() >= put_at + 0.3


def test_closed_queue_refuses(open_queue):
    queue = open_queue()
    queue.close()
    assert queue.closed
    with pytest.raises(ValueError):
        queue.put(b"x")
    with pytest.raises(ValueError):
        queue.get_nowait()
    queue.close()  # closing twice is harmless
