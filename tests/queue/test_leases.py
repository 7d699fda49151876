"""LeaseKeeper: a held message stays leased, a released one runs out, a lost
lease is dropped and logged, a failing renewal is tried again, a time limit
ends the renewals; the keeper can stop."""

import logging
import threading
import time
from queue import Empty

import pytest

from processes import wait_for

from tarnwick_queue import LeaseLost
from tarnwick_queue.leases import LeaseKeeper


@pytest.fixture
def keeper():
    keeper = LeaseKeeper()
    yield keeper
    keeper.close()


def test_a_held_message_stays_leased_past_several_leases(open_queue, keeper):
    if not open_queue.shared_store:
        pytest.skip("needs a second handle to look for a redelivery")
    # A lease of 3 s renewed every second: a renewal can be two seconds
    # late (a loaded machine) and the lease still holds.
    queue = open_queue(lease=3.0, sync_interval=0.05)
    other = open_queue(lease=3.0, sync_interval=0.05)
    queue.put(b"long")
    message = queue.get(timeout=10)
    first_end = message.lease_expires_at
    keeper.hold(message)
    # Two and a half lease lengths.
    while time.time() < first_end + 4.5:
        with pytest.raises(Empty):
            other.get(timeout=0.25)
    assert keeper.holds(message)
    assert message.lease_expires_at > first_end + 3.0
    assert keeper.release(message) is True
    message.ack()
    assert other.stats()["total"] == 0


def test_a_held_message_with_a_lease_of_its_own(open_queue, keeper):
    queue = open_queue(lease=1.0, sync_interval=0.05)
    queue.put(b"long")
    message = queue.get(timeout=10, lease=3.0)
    first_end = message.lease_expires_at
    keeper.hold(message, lease=3.0)
    wait_for(lambda: message.lease_expires_at > first_end + 2.0, 30,
             "the keeper to renew the lease twice")
    assert keeper.release(message) is True
    message.ack()
    assert queue.stats()["total"] == 0


def test_a_released_message_runs_out(open_queue, keeper):
    if not open_queue.shared_store:
        pytest.skip("needs a second handle to see the redelivery")
    queue = open_queue(lease=1.0, sync_interval=0.05)
    other = open_queue(lease=10.0, sync_interval=0.05)
    queue.put(b"dropped")
    message = queue.get(timeout=10)
    keeper.hold(message)
    assert keeper.release(message) is True
    assert not keeper.holds(message)
    again = other.get(timeout=30)
    assert (again.id, again.body, again.deliveries) == (message.id, b"dropped", 2)
    again.ack()
    with pytest.raises(LeaseLost):
        message.ack()


def test_a_lost_lease_is_dropped_and_logged(open_queue, keeper, caplog):
    queue = open_queue(lease=1.0, sync_interval=0.05)
    queue.put(b"purged")
    message = queue.get(timeout=10)
    with caplog.at_level(logging.WARNING, logger="tarnwick_queue.leases"):
        keeper.hold(message)
        queue.purge()  # as another process could: the next renewal finds it gone
        wait_for(lambda: not keeper.holds(message), 30, "the keeper to drop the message")
    assert f"message {message.id}: lease lost" in caplog.text
    assert keeper.release(message) is False


def test_a_message_settled_meanwhile_is_dropped_quietly(open_queue, keeper, caplog):
    queue = open_queue(lease=0.6, sync_interval=0.05)
    queue.put(b"acked")
    message = queue.get(timeout=10)
    with caplog.at_level(logging.DEBUG, logger="tarnwick_queue.leases"):
        keeper.hold(message)
        message.ack()  # without a release: the next renewal sees it settled
        wait_for(lambda: not keeper.holds(message), 30, "the keeper to drop the message")
    assert "lease" not in caplog.text
    assert keeper.release(message) is True


class FlakyMessage:
    """The public face of a Message the keeper uses, whose first renewals
    fail with `error`."""

    def __init__(self, lease, failures, error):
        self.id = 7
        self.settled = False
        self.lease = lease
        self.lease_expires_at = time.time() + lease
        self.failures = failures
        self.error = error
        self.calls = []
        self.renewed = threading.Event()

    def extend(self, seconds=None):
        self.calls.append(seconds)
        if len(self.calls) <= self.failures:
            raise self.error
        self.lease_expires_at = time.time() + self.lease
        self.renewed.set()


@pytest.mark.parametrize("error", [OSError(28, "No space left on device"),
                                   ConnectionError("the connection to PostgreSQL was lost")])
def test_a_failed_renewal_is_tried_again(keeper, caplog, error):
    message = FlakyMessage(lease=0.6, failures=2, error=error)
    with caplog.at_level(logging.INFO, logger="tarnwick_queue.leases"):
        keeper.hold(message, lease=0.6)
        assert message.renewed.wait(30), "no renewal succeeded"
        wait_for(lambda: "is back after" in caplog.text, 30, "the end of the failures to be logged")
    assert len(message.calls) >= 3 and message.calls[:3] == [0.6, 0.6, 0.6]
    # Failures in a row are one outage: a line when it starts, one when it ends.
    lines = [(r.levelno, r.getMessage()) for r in caplog.records]
    assert len(lines) == 2, lines
    assert lines[0][0] == logging.WARNING and "renewing a lease failed" in lines[0][1]
    assert str(error) in lines[0][1]
    assert lines[1][0] == logging.INFO and "2 times" in lines[1][1]
    assert keeper.holds(message)
    assert keeper.release(message) is True


def test_renewals_end_at_the_time_limit(keeper):
    message = FlakyMessage(lease=0.3, failures=0, error=None)
    keeper.hold(message, lease=0.3, until=time.monotonic() + 0.5)
    wait_for(lambda: not keeper.holds(message), 30, "the renewals to end")
    calls = len(message.calls)
    time.sleep(0.5)  # more than a renewal's interval
    assert len(message.calls) == calls
    assert keeper.release(message) is True  # ended, not lost


def test_release_waits_for_a_renewal_under_way(keeper):
    started, go_on = threading.Event(), threading.Event()

    class Slow(FlakyMessage):
        def extend(self, seconds=None):
            started.set()
            go_on.wait(30)
            super().extend(seconds)

    message = Slow(lease=0.03, failures=0, error=None)
    keeper.hold(message, lease=0.03)
    assert started.wait(30)
    released = []
    releasing = threading.Thread(target=lambda: released.append(keeper.release(message)))
    releasing.start()
    releasing.join(0.3)
    assert released == []  # still inside extend()
    go_on.set()
    releasing.join(30)
    assert released == [True]
    calls = len(message.calls)
    time.sleep(0.2)
    assert len(message.calls) == calls  # never renewed after release()


def test_close_ends_the_thread_and_a_later_hold_starts_one():
    keeper = LeaseKeeper(name="tarnwick-test-keeper")
    message = FlakyMessage(lease=0.3, failures=0, error=None)
    keeper.hold(message, lease=0.3)
    assert message.renewed.wait(30)
    keeper.close()
    assert not keeper.holds(message)
    assert "tarnwick-test-keeper" not in {t.name for t in threading.enumerate()}
    again = FlakyMessage(lease=0.3, failures=0, error=None)
    keeper.hold(again, lease=0.3)
    assert again.renewed.wait(30)
    keeper.close()


def test_a_short_lease_held_after_long_ones_is_renewed_in_time(keeper):
    # The thread sleeps until the long leases' renewals; a shorter one held
    # later must wake it, whether the long ones are still held or released.
    held_long = FlakyMessage(lease=600.0, failures=0, error=None)
    released_long = FlakyMessage(lease=300.0, failures=0, error=None)
    keeper.hold(held_long, lease=600.0)
    keeper.hold(released_long, lease=300.0)
    time.sleep(0.1)  # the thread is asleep by now
    assert keeper.release(released_long) is True
    short = FlakyMessage(lease=0.6, failures=0, error=None)
    keeper.hold(short, lease=0.6)
    assert short.renewed.wait(30), "the short lease was not renewed"
    assert held_long.calls == [] and released_long.calls == []
    assert keeper.release(short) is True and keeper.release(held_long) is True


def test_many_released_messages_leave_the_next_one_renewed(keeper):
    # A heap of released entries, each due before the held one, is let go
    # when the first of them comes due, and the held one is renewed.
    for _ in range(200):
        gone = FlakyMessage(lease=0.3, failures=0, error=None)
        keeper.hold(gone, lease=0.3)
        assert keeper.release(gone) is True
    kept = FlakyMessage(lease=0.9, failures=0, error=None)
    keeper.hold(kept, lease=0.9)
    assert kept.renewed.wait(30), "the held lease was not renewed"
    assert keeper.release(kept) is True
