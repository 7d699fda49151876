"""Priorities, unique keys, groups, headers, cancel and pause, on each
backend in BACKENDS, through the face only."""

import threading
import time

import pytest

from tarnwick_queue import Empty


def bodies(messages):
    return [m.body for m in messages]


def drain(queue, n=100):
    got = queue.get_many(n)
    for m in got:
        m.ack()
    return bodies(got)


class TestBadOptions:
    @pytest.mark.parametrize("options, error", [
        ({"priority": "1"}, TypeError), ({"priority": 1.0}, TypeError),
        ({"priority": True}, TypeError), ({"priority": None}, TypeError),
        ({"priority": 101}, ValueError), ({"priority": -101}, ValueError),
        ({"key": b"k"}, TypeError), ({"key": 7}, TypeError), ({"key": ""}, ValueError),
        ({"key": "k" * 256}, ValueError), ({"key": "é" * 128}, ValueError),
        ({"key": "a\x00b"}, ValueError), ({"key": "\udc80"}, ValueError),
        ({"key": "k", "unique_for": -1}, ValueError),
        ({"key": "k", "unique_for": float("nan")}, ValueError),
        ({"key": "k", "unique_for": float("inf")}, ValueError),
        ({"key": "k", "unique_for": "5"}, TypeError), ({"unique_for": 5}, ValueError),
        ({"group": 1}, TypeError), ({"group": ""}, ValueError),
        ({"group": "g" * 256}, ValueError),
        ({"headers": [("a", "b")]}, TypeError), ({"headers": {"a": 1}}, TypeError),
        ({"headers": {1: "a"}}, TypeError), ({"headers": {"a": b"b"}}, TypeError),
        ({"headers": {"a": "\x00"}}, ValueError),
        ({"headers": {"big": "x" * (64 << 10)}}, ValueError),
    ])
    def test_put_refuses_naming_the_option_and_writes_nothing(self, queue, options, error):
        name = next(n for n in options if n != "key" or len(options) == 1)
        with pytest.raises(error, match=name if name != "headers" else "header"):
            queue.put(b"x", **options)
        batch = {k: v for k, v in options.items() if k in ("priority", "group", "headers")}
        if batch:
            with pytest.raises(error):
                queue.put_many([b"a", b"b"], **batch)
        assert queue.stats()["total"] == 0 and queue.peek() == []

    def test_the_limits_themselves_are_taken(self, queue):
        headers = {"h": "x" * ((64 << 10) - len('{"h":""}'))}
        queue.put(b"a", priority=100, key="k" * 255, group="é" * 127, headers=headers)
        queue.put(b"b", priority=-100, key="k", unique_for=0)
        infos = queue.peek()
        assert [(i.priority, i.key) for i in infos] == [(100, "k" * 255), (-100, "k")]
        assert infos[0].group == "é" * 127 and infos[0].headers == headers

    def test_other_calls_refuse_bad_arguments(self, queue):
        with pytest.raises(TypeError, match="colour"):
            queue.put(b"x", colour="red")
        with pytest.raises(TypeError):
            queue.put_many([b"x"], key="k")  # a batch has no key
        for bad, error in (("1", TypeError), (True, TypeError), (-1, ValueError),
                           (2**64, ValueError)):
            with pytest.raises(error, match="id"):
                queue.cancel(bad)
        for bad, error in ((0, ValueError), ("2", TypeError), (True, TypeError),
                           (None, TypeError), (2**31, ValueError)):
            with pytest.raises(error, match="group_limit"):
                queue.group_limit = bad
        assert queue.group_limit == 1

    def test_a_bad_group_limit_is_refused_at_opening(self, open_queue):
        for bad, error in ((0, ValueError), ("2", TypeError), (1.5, TypeError)):
            with pytest.raises(error, match="group_limit"):
                open_queue(group_limit=bad)


class TestPriority:
    def test_higher_first_and_id_order_among_equals(self, queue):
        for body, priority in ((b"a", 0), (b"b", 5), (b"c", -3), (b"d", 5), (b"e", 0),
                               (b"f", 100), (b"g", -100)):
            queue.put(body, priority=priority)
        got = [queue.get(timeout=1) for _ in range(4)] + queue.get_many(10)
        assert bodies(got) == [b"f", b"b", b"d", b"a", b"e", b"c", b"g"]
        assert [m.priority for m in got] == [100, 5, 5, 0, 0, -3, -100]
        # peek stays in id order, whatever the priorities.
        assert [i.priority for i in queue.peek()] == [0, 5, -3, 5, 0, 100, -100]

    def test_put_many_and_a_returned_message_keep_their_priority(self, queue):
        queue.put_many([b"low1", b"low2"], priority=-1)
        queue.put(b"plain")
        queue.put_many([b"high1", b"high2"], priority=1)
        first = queue.get(timeout=1)
        assert first.body == b"high1"
        first.nack()
        assert drain(queue) == [b"high1", b"high2", b"plain", b"low1", b"low2"]

    def test_a_due_low_priority_message_is_not_held_by_a_scheduled_high_one(self, queue):
        queue.put(b"later", priority=9, delay=3600)
        queue.put(b"now", priority=-9)
        assert queue.get(timeout=1).body == b"now"


class TestKeys:
    def test_a_live_key_returns_the_message_it_names(self, queue):
        first = queue.put(b"one", key="order-7")
        assert queue.put(b"two", key="order-7", priority=50, headers={"a": "b"}) == first
        other = queue.put(b"other", key="order-8")
        assert other != first
        assert [(i.body, i.key) for i in queue.peek(bodies=True)] == [
            (b"one", "order-7"), (b"other", "order-8")]
        message = queue.get(timeout=1)
        assert (message.id, message.key, message.priority, message.headers) == (
            first, "order-7", 0, {})
        assert queue.put(b"three", key="order-7") == first  # leased is live too
        message.nack(delay=3600)
        assert queue.put(b"four", key="order-7") == first  # and scheduled
        assert queue.stats()["total"] == 2

    def test_a_key_without_unique_for_is_free_once_its_message_left(self, queue):
        first = queue.put(b"one", key="k")
        queue.get(timeout=1).ack()
        second = queue.put(b"two", key="k")
        assert second > first
        assert queue.cancel(second)
        third = queue.put(b"three", key="k")
        assert third > second
        queue.get(timeout=1).dead("x")
        assert queue.put(b"four", key="k") > third

    @pytest.mark.parametrize("leave", ["ack", "dead", "cancel"])
    def test_unique_for_remembers_the_key_after_its_message_left(self, queue, leave):
        first = queue.put(b"one", key="k", unique_for=3600)
        if leave == "cancel":
            assert queue.cancel(first)
        else:
            message = queue.get(timeout=1)
            message.ack() if leave == "ack" else message.dead("gone")
        assert queue.stats()["total"] == 0
        assert queue.put(b"retry", key="k") == first
        assert queue.put(b"retry", key="k", unique_for=3600) == first
        assert queue.stats()["total"] == 0
        assert queue.put(b"another key", key="k2") != first

    def test_after_the_window_a_key_makes_a_new_message(self, queue):
        first = queue.put(b"one", key="k", unique_for=0.3)
        queue.get(timeout=1).ack()
        left_at = time.monotonic()
        # The window runs out on purpose; a put inside it is not tested for
        # its timing, only one after it.
        time.sleep(max(0.0, left_at + 0.5 - time.monotonic()))
        second = queue.put(b"two", key="k")
        assert second > first
        assert bodies(queue.get_many(5)) == [b"two"]

    def test_keys_are_shared_by_every_handle(self, open_queue):
        if not open_queue.shared_store:
            pytest.skip("needs a shared store")
        one, two = open_queue(), open_queue()
        first = one.put(b"a", key="k", unique_for=3600)
        assert two.put(b"b", key="k") == first
        two.get(timeout=1).ack()
        assert one.put(b"c", key="k") == first


class TestGroups:
    def test_one_at_a_time_per_group_by_default_others_pass(self, queue):
        a1, a2, a3 = (queue.put(b"a%d" % i, group="a") for i in (1, 2, 3))
        queue.put(b"b1", group="b")
        queue.put(b"n1")
        queue.put(b"n2")
        first = queue.get_many(10)
        assert bodies(first) == [b"a1", b"b1", b"n1", b"n2"]
        assert first[0].group == "a" and first[2].group is None
        assert queue.get_many(10) == []
        assert queue.stats()["ready"] == 2  # ready, held by their group
        first[0].ack()
        second = queue.get(timeout=1)
        assert (second.id, queue.get_many(10)) == (a2, [])
        second.ack()
        assert queue.get(timeout=1).id == a3

    def test_nack_expiry_and_dead_free_the_slot(self, queue):
        ids = [queue.put(b"%d" % i, group="g") for i in range(3)]
        held = queue.get(timeout=1)
        held.nack()
        again = queue.get(timeout=1)
        assert (again.id, again.deliveries) == (ids[0], 2)  # id order kept
        again.nack(delay=3600)  # scheduled: takes no slot
        assert queue.get(timeout=1).id == ids[1]
        assert queue.get_many(5) == []

    def test_an_expired_lease_frees_the_slot(self, queue):
        ids = [queue.put(b"%d" % i, group="g") for i in range(2)]
        queue.get(timeout=1, lease=0.2)  # runs out on purpose
        # Held by the group until then: only the expiry lets the next take in.
        again = queue.get(timeout=30)
        assert (again.id, again.deliveries) == (ids[0], 2)
        again.dead("poison")
        assert queue.get(timeout=1).id == ids[1]

    def test_a_scheduled_message_of_a_group_does_not_hold_it(self, queue):
        queue.put(b"later", group="g", delay=3600)
        now = queue.put(b"now", group="g")
        assert queue.get(timeout=1).id == now

    def test_within_a_group_id_order_beats_priority(self, queue):
        queue.put(b"g-low", group="g", priority=-5)
        queue.put(b"g-high", group="g", priority=5)
        queue.put(b"plain", priority=1)
        got = queue.get_many(10)
        assert bodies(got) == [b"plain", b"g-low"]
        got[1].ack()
        assert queue.get(timeout=1).body == b"g-high"

    def test_a_limit_of_two(self, open_queue):
        queue = open_queue(lease=30.0, group_limit=2)
        assert queue.group_limit == 2
        queue.put_many([b"g%d" % i for i in range(5)], group="g")
        queue.put(b"h0", group="h")
        first = queue.get_many(10)
        assert bodies(first) == [b"g0", b"g1", b"h0"]
        first[1].ack()
        assert bodies(queue.get_many(10)) == [b"g2"]
        queue.group_limit = 3
        assert bodies(queue.get_many(10)) == [b"g3"]
        queue.group_limit = 1
        first[0].ack()
        assert queue.get_many(10) == []  # g2 and g3 still hold it

    def test_the_limit_is_the_queues_for_every_handle(self, open_queue):
        if not open_queue.shared_store:
            pytest.skip("needs a shared store")
        one = open_queue(lease=30.0, group_limit=2)
        two = open_queue(lease=30.0)  # None: keeps the stored limit
        assert two.group_limit == 2
        one.put_many([b"0", b"1", b"2"], group="g")
        assert bodies(one.get_many(1) + two.get_many(5)) == [b"0", b"1"]


class TestHeaders:
    def test_headers_round_trip_through_take_and_peek(self, queue):
        headers = {"traceparent": "00-abc-01", "task": "resize", "ü": "✓ 失败", "": ""}
        queue.put(b"x", headers=headers)
        queue.put_many([b"y", b"z"], headers={"batch": "1"})
        queue.put(b"plain")
        assert [i.headers for i in queue.peek()] == [headers, {"batch": "1"},
                                                     {"batch": "1"}, {}]
        got = queue.get_many(10)
        assert [m.headers for m in got] == [headers, {"batch": "1"}, {"batch": "1"}, {}]
        got[0].headers["changed"] = "here"  # a copy: the queue's stays
        got[0].nack()
        assert queue.get(timeout=1).headers == headers

    def test_the_callers_headers_are_copied(self, queue):
        headers = {"a": "1"}
        queue.put(b"x", headers=headers)
        headers["a"] = "2"
        assert queue.get(timeout=1).headers == {"a": "1"}


class TestCancel:
    def test_ready_and_scheduled_are_cancelled(self, queue):
        ready = queue.put(b"ready")
        later = queue.put(b"later", delay=3600)
        kept = queue.put(b"kept")
        assert queue.cancel(ready) and queue.cancel(later)
        assert [i.id for i in queue.peek()] == [kept]
        assert not queue.cancel(ready)  # once
        assert queue.stats()["total"] == 1 and len(queue.dead_letters) == 0
        assert queue.get(timeout=1).id == kept

    def test_leased_acked_and_unknown_are_not(self, queue):
        leased_id, acked_id = queue.put(b"leased"), queue.put(b"acked")
        leased = queue.get(timeout=1)
        queue.get(timeout=1).ack()
        before = queue.peek()
        assert not queue.cancel(leased_id)
        assert not queue.cancel(acked_id)
        assert not queue.cancel(10**9)
        assert queue.peek() == before
        leased.ack()  # still its holder's

    def test_a_nacked_message_can_be_cancelled(self, queue):
        id = queue.put(b"x")
        queue.get(timeout=1).nack(delay=3600)
        assert queue.cancel(id) and queue.stats()["total"] == 0


class TestPause:
    def test_a_paused_queue_takes_puts_and_settles_but_delivers_nothing(self, queue):
        assert not queue.paused and queue.stats()["paused"] is False
        queue.put(b"before")
        held = queue.get(timeout=1)
        queue.pause()
        queue.pause()  # twice: still paused
        assert queue.paused and queue.stats()["paused"] is True
        queue.put(b"during")
        queue.put_many([b"batch"])
        with pytest.raises(Empty):
            queue.get_nowait()
        with pytest.raises(Empty):
            queue.get(timeout=0.2)
        assert queue.get_many(5) == [] and queue.take(5) == ([], None)
        held.nack()
        assert [i.state for i in queue.peek()] == ["ready", "ready", "ready"]
        assert queue.stats()["ready"] == 3
        queue.resume()
        assert not queue.paused and queue.stats()["paused"] is False
        assert drain(queue) == [b"before", b"during", b"batch"]

    def test_resume_wakes_a_get_blocked_in_another_thread(self, queue):
        queue.pause()
        queue.put(b"waiting")
        got, errors = [], []

        def consume():
            try:
                got.append(queue.get(timeout=120))
            except Exception as exc:  # shown by the assertion below
                errors.append(exc)

        thread = threading.Thread(target=consume)
        thread.start()
        thread.join(0.3)
        assert thread.is_alive() and not got
        assert queue.peek()[0].deliveries == 0  # nothing was delivered while paused
        queue.resume()
        thread.join(60)
        assert not thread.is_alive() and not errors
        assert got[0].body == b"waiting"

    def test_pause_is_seen_by_every_handle(self, open_queue):
        if not open_queue.shared_store:
            pytest.skip("needs a shared store")
        one, two = open_queue(), open_queue()
        one.put(b"x")
        one.pause()
        assert two.paused
        assert open_queue().paused  # a handle opened later too
        with pytest.raises(Empty):
            two.get(timeout=0.1)
        two.resume()
        assert not one.paused
        assert one.get(timeout=1).body == b"x"


class TestScheduledNack:
    def test_a_message_nacked_with_a_delay_is_scheduled_not_in_flight(self, queue):
        queue.put(b"x")
        queue.put(b"leased")
        queue.get(timeout=1).nack(delay=3600)
        queue.get(timeout=1)
        [scheduled, leased] = queue.peek()
        assert (scheduled.state, scheduled.deliveries) == ("scheduled", 1)
        assert scheduled.due_at > time.time() + 3000 and scheduled.consumer is None
        assert leased.state == "leased"
        stats = queue.stats()
        assert (stats["ready"], stats["in_flight"], stats["scheduled"], stats["total"]) == (
            0, 1, 1, 2)


def test_the_async_face_offers_the_same(queue):
    import asyncio

    from tarnwick_queue import AsyncQueue

    async def main():
        aq = AsyncQueue.wrap(queue)
        first = await aq.put(b"x", priority=5, key="k", group="g", headers={"a": "b"})
        assert await aq.put(b"again", key="k") == first
        later = await aq.put_many([b"p", b"q"], priority=-1, delay=3600)
        assert aq.cancel(later[1]) and not aq.cancel(10**9)
        aq.pause()
        assert aq.paused and queue.paused
        with pytest.raises(Empty):
            await aq.get(timeout=0.1)
        # Resumed from another thread while the loop waits in get().
        threading.Timer(0.2, queue.resume).start()
        message = await aq.get(timeout=60)
        assert (message.id, message.priority, message.key, message.group, message.headers) == (
            first, 5, "k", "g", {"a": "b"})
        aq.group_limit = 2
        assert queue.group_limit == 2 and aq.group_limit == 2
        with pytest.raises(TypeError):
            await aq.put(b"x", colour="red")

    asyncio.run(asyncio.wait_for(main(), 90))
