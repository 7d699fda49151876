"""What became of a message: status(), outcomes(), results, errors and
retention, on each backend in BACKENDS, through the face only."""

import subprocess
import sys
import time

import pytest
from processes import run_until

from tarnwick_queue import Empty, LeaseLost, Worker
from tarnwick_queue.driver import MAX_HISTORY


def wait_until(check, timeout=30.0):
    deadline = time.monotonic() + timeout
    while not check():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.02)


class TestBadArguments:
    def test_settles_refuse_bad_results_and_errors_and_write_nothing(self, queue):
        queue.put(b"a")
        message = queue.get(timeout=5)
        for call, error in [
            (lambda: message.ack(result="text"), TypeError),
            (lambda: message.ack(result=b"x" * ((1 << 20) + 1)), ValueError),
            (lambda: message.nack(error=b"bytes"), TypeError),
            (lambda: message.nack(error="e" * ((16 << 10) + 1)), ValueError),
            (lambda: message.nack(error="a\x00b"), ValueError),
            (lambda: message.nack(error="\udc80"), ValueError),
            (lambda: message.dead("é" * (8 << 10) + "x"), ValueError),
        ]:
            with pytest.raises(error):
                call()
        status = queue.status(message.id)
        assert status.state == "leased" and status.errors == ()
        message.ack(result=bytearray(b"x" * (1 << 20)))  # the limit itself is taken
        assert queue.status(message.id).result == b"x" * (1 << 20)

    @pytest.mark.parametrize("call, error", [
        (lambda q: q.status("1"), TypeError), (lambda q: q.status(-1), ValueError),
        (lambda q: q.status(True), TypeError),
        (lambda q: q.outcomes("leased"), ValueError), (lambda q: q.outcomes(7), ValueError),
        (lambda q: q.outcomes(limit=0), ValueError), (lambda q: q.outcomes(limit=1.5), TypeError),
        (lambda q: q.outcomes(since="now"), TypeError),
        (lambda q: q.outcomes(since=float("nan")), ValueError),
    ])
    def test_looking_refuses_bad_arguments(self, queue, call, error):
        with pytest.raises(error):
            call(queue)

    @pytest.mark.parametrize("option, value, error", [
        ("keep_acked", -1, ValueError), ("keep_dead", float("inf"), ValueError),
        ("keep_cancelled", "1", TypeError)])
    def test_a_bad_retention_is_refused_at_opening(self, open_queue, option, value, error):
        with pytest.raises(error, match=option):
            open_queue(**{option: value})


class TestStates:
    def test_a_message_through_every_live_state_then_acked(self, open_queue):
        queue = open_queue(lease=30.0, consumer_id="first")
        before = time.time()
        id = queue.put(b"job", priority=5, key="k", group="g", headers={"h": "v"})
        status = queue.status(id)
        assert (status.id, status.state, status.deliveries, status.started_at,
                status.finished_at, status.result, status.errors, status.consumers) == (
            id, "ready", 0, None, None, None, (), ())
        assert before - 1 <= status.enqueued_at <= time.time() + 1
        assert (status.priority, status.key, status.group, status.headers) == (
            5, "k", "g", {"h": "v"})

        message = queue.get(timeout=5)
        leased = queue.status(id)
        assert (leased.state, leased.deliveries, leased.consumers) == ("leased", 1, ("first",))
        assert leased.started_at is not None and leased.started_at >= status.enqueued_at - 1

        message.nack(error="boom 1")
        returned = queue.status(id)
        assert (returned.state, returned.errors) == ("ready", ("boom 1",))
        assert returned.started_at == leased.started_at  # the last delivery's start

        queue.get(timeout=5).ack(result=b"42")
        done = queue.status(id)
        assert (done.state, done.deliveries, done.result, done.errors, done.consumers) == (
            "acked", 2, b"42", ("boom 1",), ("first", "first"))
        assert done.finished_at >= done.started_at >= leased.started_at
        assert (done.priority, done.key, done.group, done.headers) == (5, "k", "g", {"h": "v"})
        assert done.enqueued_at == status.enqueued_at

    def test_a_nack_with_a_delay_is_scheduled_with_its_error(self, queue):
        id = queue.put(b"x")
        queue.get(timeout=5).nack(3600, error="later")
        status = queue.status(id)
        assert (status.state, status.errors, status.deliveries) == ("scheduled", ("later",), 1)

    def test_scheduled_at_put_dead_and_cancelled(self, queue):
        later = queue.put(b"later", delay=3600)
        assert queue.status(later).state == "scheduled"
        assert queue.cancel(later)
        cancelled = queue.status(later)
        assert cancelled.state == "cancelled" and cancelled.finished_at is not None
        assert cancelled.deliveries == 0

        doomed = queue.put(b"doomed")
        queue.get(timeout=5).dead("bad input")
        dead = queue.status(doomed)
        assert (dead.state, dead.errors, dead.result) == ("dead", ("bad input",), None)
        letter = queue.dead_letters.list()[0]
        assert dead.dead_letter_id == letter.id and letter.original_id == doomed
        assert queue.status(later + doomed + 1000) is None

    def test_a_dead_message_without_a_reason_keeps_no_error(self, queue):
        id = queue.put(b"x")
        queue.get(timeout=5).dead()
        assert (queue.status(id).state, queue.status(id).errors) == ("dead", ())

    def test_the_delivery_limit_keeps_a_dead_outcome(self, open_queue):
        queue = open_queue(lease=30.0, max_deliveries=1)
        id = queue.put(b"x")
        queue.get(timeout=5).nack(error="first try failed")
        with pytest.raises(Empty):
            queue.get(timeout=0.2)
        status = queue.status(id)
        assert status.state == "dead" and status.deliveries == 1
        assert status.errors[0] == "first try failed"
        assert status.dead_letter_id == queue.dead_letters.list()[0].id

    def test_ack_many_keeps_acked_outcomes(self, queue):
        ids = queue.put_many([b"a", b"b"])
        queue.ack_many(queue.get_many(2, timeout=5))
        assert [queue.status(id).state for id in ids] == ["acked", "acked"]

    def test_a_settle_that_lost_its_lease_changes_no_outcome(self, queue):
        id = queue.put(b"x")
        message = queue.get(timeout=5, lease=0.05)
        time.sleep(0.1)  # the lease runs out on purpose
        other = queue.get(timeout=5)
        with pytest.raises(LeaseLost):
            message.ack(result=b"stale")
        with pytest.raises(LeaseLost):
            message.nack(error="stale")
        status = queue.status(id)
        assert (status.state, status.deliveries, status.errors) == ("leased", 2, ())
        other.ack()
        assert queue.status(id).result is None

    def test_history_keeps_the_last_deliveries_only(self, queue):
        id = queue.put(b"x")
        for n in range(MAX_HISTORY + 3):
            queue.get(timeout=5).nack(error=f"try {n}")
        status = queue.status(id)
        assert status.deliveries == MAX_HISTORY + 3
        assert status.errors == tuple(f"try {n}" for n in range(3, MAX_HISTORY + 3))
        assert len(status.consumers) == MAX_HISTORY

    def test_a_failing_with_block_keeps_the_exception(self, queue):
        id = queue.put(b"x")
        with pytest.raises(KeyError):
            with queue.get(timeout=5):
                raise KeyError("missing thing")
        error, = queue.status(id).errors
        assert error.startswith("KeyError: 'missing thing'\n") and "Traceback" not in error
        assert "test_outcomes.py" in error  # the traceback's frames


class TestAcrossHandles:
    def test_status_and_consumers_seen_by_another_handle(self, open_queue):
        if not open_queue.shared_store:
            pytest.skip("needs a second handle")
        first = open_queue(lease=30.0, consumer_id="one")
        second = open_queue(lease=30.0, consumer_id="two")
        id = first.put(b"x")
        first.get(timeout=5).nack(error="one failed")
        second.get(timeout=5).ack(result=b"two did it")
        status = first.status(id)
        assert (status.state, status.consumers, status.errors, status.result) == (
            "acked", ("one", "two"), ("one failed",), b"two did it")
        assert [s.id for s in first.outcomes()] == [id]

    def test_outcomes_survive_reopening(self, open_queue, backend):
        if backend in ("memory", "dict"):
            pytest.skip("nothing to reopen")
        queue = open_queue(lease=30.0)
        acked, dead = queue.put(b"a"), queue.put(b"d")
        queue.get(timeout=5).ack(result=b"r")
        queue.get(timeout=5).dead("why")
        queue.close()
        again = open_queue(lease=30.0)
        assert (again.status(acked).state, again.status(acked).result) == ("acked", b"r")
        assert (again.status(dead).state, again.status(dead).errors) == ("dead", ("why",))


class TestOutcomes:
    def test_latest_first_filtered_by_state_since_and_limit(self, queue):
        a, b, c, d = queue.put_many([b"a", b"b", b"c", b"d"])
        queue.get(timeout=5).ack()
        middle = time.time()
        time.sleep(0.01)
        queue.get(timeout=5).dead("no")
        queue.cancel(d)
        queue.get(timeout=5).ack()
        assert [s.id for s in queue.outcomes()] == [c, d, b, a]
        assert [s.id for s in queue.outcomes("acked")] == [c, a]
        assert [s.id for s in queue.outcomes(state="dead")] == [b]
        assert [s.id for s in queue.outcomes(limit=2)] == [c, d]
        assert [s.id for s in queue.outcomes(since=middle)] == [c, d, b]
        assert [s.id for s in queue.outcomes("cancelled", since=time.time() + 60)] == []
        assert all(s.state in ("acked", "dead", "cancelled") for s in queue.outcomes())


class TestRetention:
    def test_nothing_kept_with_no_retention(self, open_queue):
        queue = open_queue(lease=30.0, keep_acked=0, keep_dead=0, keep_cancelled=0)
        a, b, c = queue.put_many([b"a", b"b", b"c"])
        queue.get(timeout=5).ack(result=b"r")
        queue.get(timeout=5).dead("x")
        queue.cancel(c)
        assert [queue.status(id) for id in (a, b, c)] == [None, None, None]
        assert queue.outcomes() == []
        assert len(queue.dead_letters) == 1  # the dead letter is kept as ever

    def test_an_outcome_goes_when_its_time_ends_and_others_stay(self, open_queue):
        queue = open_queue(lease=30.0, keep_acked=0.5, keep_dead=3600)
        short, long = queue.put_many([b"short", b"long"])
        queue.get(timeout=5).ack()
        queue.get(timeout=5).dead("kept")
        time.sleep(0.6)  # the short retention ends on purpose
        compact = getattr(queue, "compact", None)
        if compact is not None:
            compact()
        assert queue.status(short) is None
        assert queue.status(long).state == "dead"
        assert [s.id for s in queue.outcomes()] == [long]

    def test_each_outcome_keeps_the_retention_of_the_handle_that_wrote_it(self, open_queue):
        if not open_queue.shared_store:
            pytest.skip("needs a second handle")
        keeping = open_queue(lease=30.0, keep_acked=3600)
        forgetting = open_queue(lease=30.0, keep_acked=0)
        kept, dropped = keeping.put_many([b"kept", b"dropped"])
        keeping.get(timeout=5).ack()
        forgetting.get(timeout=5).ack()
        assert forgetting.status(kept).state == "acked"
        assert keeping.status(dropped) is None


class TestIds:
    def test_the_id_of_a_kept_outcome_is_never_handed_out_again(self, open_queue, backend):
        queue = open_queue(lease=30.0)
        first, last = queue.put_many([b"a", b"b"])
        queue.get(timeout=5).ack()
        queue.get(timeout=5).ack()
        if hasattr(queue, "compact"):
            queue.compact()
        queue.purge()
        assert queue.put(b"new") > last
        if backend in ("disk", "postgres"):
            queue.close()
            queue = open_queue(lease=30.0)
            assert queue.put(b"newer") > last
        assert [queue.status(id).state for id in (first, last)] == ["acked", "acked"]


def test_the_worker_keeps_each_failure_with_its_traceback(open_queue):
    queue = open_queue(lease=30.0, sync_interval=0.05)
    id = queue.put(b"x")

    def handler(message):
        if message.deliveries < 3:
            raise ValueError(f"failure {message.deliveries}")
        return None

    worker = Worker(queue, handler, max_deliveries=5, backoff=(0.01, 1.0, 0.02))
    run_until(worker, lambda: queue.stats()["total"] == 0)
    status = queue.status(id)
    assert status.state == "acked" and status.deliveries == 3
    assert [e.splitlines()[0] for e in status.errors] == ["ValueError: failure 1",
                                                          "ValueError: failure 2"]
    assert all("in handler" in e for e in status.errors)


def test_the_async_face_offers_status_and_outcomes(queue):
    import asyncio

    from tarnwick_queue import AsyncQueue

    async def main():
        face = AsyncQueue.wrap(queue)
        id = await face.put(b"x")
        message = await face.get(timeout=5)
        message.ack(result=b"done")
        return face.status(id), face.outcomes()

    status, outcomes = asyncio.run(main())
    assert status.result == b"done" and outcomes == [status]


SETTLER = """
import sys
backend, where, name = sys.argv[1:4]
options = dict(lease=60.0, consumer_id="child")
if backend == "postgres":
    from tarnwick_queue.postgres import PostgresQueue
    q = PostgresQueue(where, name, **options)
else:
    from tarnwick_queue import Queue
    q = Queue(where, **options)
q.get(timeout=60).nack(error="failed in the child")
q.get(timeout=60).ack(result=b"done in the child")
q.close()
"""


def test_another_process_settles_and_this_one_sees_it(open_queue, backend, queue_dir, request):
    if backend not in ("disk", "postgres"):
        pytest.skip("needs a store that another process opens")
    queue = open_queue(lease=30.0, consumer_id="parent")
    id = queue.put(b"x")
    if backend == "postgres":
        where, name = request.getfixturevalue("pg_dsn"), request.getfixturevalue("pg_name")
    else:
        where, name = queue_dir, ""
    done = subprocess.run([sys.executable, "-c", SETTLER, backend, where, name],
                          capture_output=True, text=True, timeout=180)
    assert done.returncode == 0, done.stderr
    status = queue.status(id)
    assert (status.state, status.deliveries, status.result, status.errors, status.consumers) == (
        "acked", 2, b"done in the child", ("failed in the child",), ("child", "child"))
    assert queue.outcomes(limit=1) == [status]
