"""stats() tells when the ready message that has waited longest became
ready (its put, the end of its delay or of its lease, its return), on every
backend; a queue directory (disk, memory) also counts the leases that ran
out, once each, over a reopen and from other processes."""

import json
import os
import subprocess
import sys
import textwrap
import time

import pytest

import tarnwick_queue

# The engine keeps times in milliseconds, PostgreSQL in microseconds.
CLOCK = 0.002


def oldest(queue):
    return queue.stats()["oldest_ready_at"]


def wait_past(when):
    """Returns once the wall clock has passed `when` (a lease or delay that
    is meant to run out, by a margin the engine's millisecond clock sees)."""
    while time.time() < when + 0.02:
        time.sleep(max(0.0, when + 0.02 - time.time()))


def assert_between(value, before, after):
    assert value is not None
    assert before - CLOCK <= value <= after + CLOCK


class TestOldestReady:
    def test_empty_queue_has_none(self, queue):
        assert oldest(queue) is None
        queue.put(b"far", delay=3600)
        assert oldest(queue) is None, "a scheduled message is not ready"

    def test_a_put_is_ready_from_its_put(self, queue):
        before = time.time()
        queue.put(b"a")
        after = time.time()
        queue.put(b"b")
        first = queue.peek()[0]
        assert oldest(queue) == pytest.approx(first.enqueued_at, abs=1e-6)
        assert_between(oldest(queue), before, after)

    def test_a_delayed_put_is_ready_from_its_due_time(self, queue):
        before = time.time()
        queue.put(b"soon", delay=0.2)
        after = time.time()
        wait_past(after + 0.2)
        assert_between(oldest(queue), before + 0.2, after + 0.2)

    def test_a_nacked_message_is_ready_from_its_nack(self, queue):
        queue.put(b"a")
        message = queue.get(timeout=1)
        assert oldest(queue) is None, "a leased message is not ready"
        before = time.time()
        message.nack()
        after = time.time()
        assert_between(oldest(queue), before, after)

    def test_an_expired_lease_is_ready_from_its_end(self, queue):
        queue.put(b"a")
        message = queue.get(timeout=1, lease=0.2)
        wait_past(message.lease_expires_at)
        assert oldest(queue) == pytest.approx(message.lease_expires_at, abs=CLOCK)

    def test_an_ack_of_the_oldest_moves_on_to_the_next(self, queue):
        queue.put(b"first")
        first_at = queue.peek()[0].enqueued_at
        wait_past(first_at)  # the next put is later by the clock
        queue.put(b"second")
        second_at = queue.peek()[1].enqueued_at
        assert second_at > first_at
        assert oldest(queue) == pytest.approx(first_at, abs=1e-6)
        message = queue.get(timeout=1)
        assert message.body == b"first"
        message.ack()
        assert oldest(queue) == pytest.approx(second_at, abs=1e-6)
        queue.get(timeout=1).ack()
        assert oldest(queue) is None

    def test_held_back_by_its_group_or_a_pause_is_still_ready(self, queue):
        queue.put(b"a", group="g")
        queue.put(b"b", group="g")
        held_at = queue.peek()[1].enqueued_at
        queue.get(timeout=1)
        stats = queue.stats()
        assert stats["ready"] == 1
        assert stats["oldest_ready_at"] == pytest.approx(held_at, abs=1e-6)
        queue.pause()
        assert oldest(queue) == pytest.approx(held_at, abs=1e-6)

    def test_another_handle_sees_an_expiry_and_a_nack(self, open_queue):
        if not open_queue.shared_store:
            pytest.skip("needs a shared store")
        mine, theirs = open_queue(lease=30.0), open_queue(lease=30.0)
        mine.put(b"runs out")
        mine.put(b"returned")
        returned = theirs.get(timeout=1)
        runs_out = theirs.get(timeout=1, lease=0.2)
        wait_past(runs_out.lease_expires_at)
        assert oldest(mine) == pytest.approx(runs_out.lease_expires_at, abs=CLOCK)
        mine.get(timeout=1).ack()
        before = time.time()
        returned.nack()
        # A queue directory's log does not tell when a return was written:
        # another handle knows it no later than when it reads it.
        assert_between(oldest(mine), before, time.time())


def _local(queue):
    if not isinstance(queue, tarnwick_queue.Queue):
        pytest.skip("the leases that ran out are counted by a queue directory")


def expired(queue):
    return queue.stats()["expired_total"]


class TestExpiredTotal:
    def test_counted_once_per_lease_that_ran_out(self, queue):
        _local(queue)
        queue.put_many([b"a", b"b"])
        assert expired(queue) == 0
        # The lease that must hold first: the short one cannot run out before it is taken.
        other = queue.get(timeout=1)
        message = queue.get(timeout=1, lease=0.2)
        wait_past(message.lease_expires_at)
        assert expired(queue) == 1
        assert expired(queue) == 1, "a second look counts nothing more"
        again = queue.get(timeout=1)
        assert again.id == message.id and again.deliveries == 2
        assert expired(queue) == 1, "taken again after it was counted"
        other.nack()
        again.ack()
        assert expired(queue) == 1, "a nack or an ack is no lease running out"

    def test_a_delay_is_no_lease(self, queue):
        _local(queue)
        queue.put(b"soon", delay=0.1)
        message = queue.get(timeout=5)
        message.nack(delay=0.1)
        assert queue.get(timeout=5).deliveries == 2
        assert expired(queue) == 0

    def test_moved_to_the_dead_letters_by_the_delivery_limit(self, open_queue):
        queue = open_queue(lease=30.0, max_deliveries=1)
        _local(queue)
        queue.put(b"a")
        message = queue.get(timeout=1, lease=0.2)
        wait_past(message.lease_expires_at)
        with pytest.raises(tarnwick_queue.Empty):
            queue.get_nowait()
        stats = queue.stats()
        assert (stats["expired_total"], stats["dead_letters"]) == (1, 1)

    def test_kept_across_a_reopen(self, open_queue, backend):
        if backend != "disk":
            pytest.skip("needs a log to read again")
        queue = open_queue(lease=30.0)
        queue.put_many([b"a", b"b"])
        first = queue.get(timeout=1)
        message = queue.get(timeout=1, lease=0.2)
        first.nack(error="failed")  # returned by hand, with its error: no expiry
        wait_past(message.lease_expires_at)
        assert expired(queue) == 1
        queue.close()
        reopened = open_queue(lease=30.0)
        stats = reopened.stats()
        assert stats["expired_total"] == 1
        assert stats["oldest_ready_at"] == pytest.approx(message.lease_expires_at, abs=CLOCK)

    def test_another_process_s_expiry_is_counted(self, open_queue, backend, queue_dir):
        if backend != "disk":
            pytest.skip("needs a directory another process opens")
        queue = open_queue(lease=30.0)
        queue.put(b"a")
        # The other process lets its lease run out and looks (which returns
        # the message); its exit is the signal that it is done.
        script = textwrap.dedent("""
            import json, sys, time
            import tarnwick_queue
            with tarnwick_queue.Queue(sys.argv[1]) as q:
                m = q.get(timeout=5, lease=0.2)
                while time.time() < m.lease_expires_at + 0.02:
                    time.sleep(0.05)
                print(json.dumps([m.lease_expires_at, q.stats()["expired_total"]]))
        """)
        done = subprocess.run([sys.executable, "-c", script, queue_dir], capture_output=True,
                              text=True, timeout=60, env=dict(os.environ))
        assert done.returncode == 0, done.stderr
        ended_at, counted_there = json.loads(done.stdout)
        assert counted_there == 1
        stats = queue.stats()
        assert stats["expired_total"] == 1
        assert stats["oldest_ready_at"] == pytest.approx(ended_at, abs=CLOCK)
