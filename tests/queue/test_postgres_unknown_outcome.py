"""PostgresQueue: a settling call whose connection breaks has an unknown
outcome (ConnectionLost). Repeating the call on the same Message after the
queue connects again is safe: it succeeds if the first did not commit, and
raises LeaseLost if it did (extend succeeds again either way, as it sets
the lease's end anew); the message is neither lost nor settled twice.

Both outcomes are made on purpose by a proxy between the queue and the
server (pg_proxy.py): it cuts the connection before the statement reaches
the server, or after the server has committed it but before the reply
arrives."""

import time

import pytest

psycopg = pytest.importorskip("psycopg")

from psycopg.conninfo import make_conninfo  # noqa: E402

from pg_proxy import CuttingProxy  # noqa: E402
from tarnwick_queue import Empty, LeaseLost  # noqa: E402
from tarnwick_queue.postgres import ConnectionLost, PostgresQueue  # noqa: E402

LEASE = 30.0  # holds through every step; the tests never wait for it
EXTENDED = 600.0


@pytest.fixture
def proxy(pg_dsn):
    port = int(psycopg.conninfo.conninfo_to_dict(pg_dsn)["port"])
    proxy = CuttingProxy(port)
    yield proxy
    proxy.close()


@pytest.fixture
def queues(pg_dsn, pg_name, proxy):
    """The queue under test, through the proxy, and an observer connected
    directly, with one message leased by the first."""
    through = make_conninfo(pg_dsn, port=proxy.port, sslmode="disable")
    with PostgresQueue(through, pg_name, lease=LEASE) as queue, \
            PostgresQueue(pg_dsn, pg_name, lease=LEASE) as observer:
        id = observer.put(b"job")
        message = queue.get_nowait()
        assert (message.id, message.deliveries) == (id, 1)
        yield queue, observer, message


def settle(queue, message, op):
    if op == "ack":
        message.ack()
    elif op == "ack_many":
        queue.ack_many([message])
    elif op == "ack_take":
        # The ack and the next take in one transaction; a take that finds
        # the lease gone acks nothing and says so through `settled`.
        queue.take(ack=message)
        if not message.settled:
            raise LeaseLost("not acked", lost=[message.id])
    elif op == "nack":
        message.nack()
    elif op == "nack_delayed":
        message.nack(delay=EXTENDED)
    elif op == "dead":
        message.dead("unknown outcome")
    else:
        message.extend(EXTENDED)


def check_done_once(observer, message, op):
    """The message's state is what one call of `op` makes of it."""
    if op in ("ack", "ack_many", "ack_take"):
        assert observer.stats()["total"] == 0 and len(observer.dead_letters) == 0
    elif op == "nack":
        assert [(i.id, i.state, i.deliveries) for i in observer.peek()] == [
            (message.id, "ready", 1)]
        again = observer.get_nowait()
        assert (again.id, again.body, again.deliveries) == (message.id, b"job", 2)
        assert observer.get_many(10) == []
        again.ack()
    elif op == "nack_delayed":
        (info,) = observer.peek()
        assert (info.id, info.state, info.deliveries) == (message.id, "scheduled", 1)
        assert info.due_at > time.time() + EXTENDED - 60 > message.lease_expires_at
        assert observer.get_many(10) == []
    elif op == "dead":
        (letter,) = observer.dead_letters.list()
        assert (letter.original_id, letter.body, letter.reason) == (
            message.id, b"job", "unknown outcome")
        assert observer.stats()["total"] == 0
    else:
        (info,) = observer.peek()
        assert (info.id, info.state, info.deliveries) == (message.id, "leased", 1)
        assert info.due_at == pytest.approx(message.lease_expires_at, abs=0.002)
        assert observer.get_many(10) == []


def check_untouched(observer, message):
    (info,) = observer.peek()
    assert (info.id, info.state, info.deliveries) == (message.id, "leased", 1)
    assert info.due_at == pytest.approx(message.lease_expires_at, abs=0.002)
    assert len(observer.dead_letters) == 0


OPS = ["ack", "ack_many", "ack_take", "nack", "nack_delayed", "dead", "extend"]


@pytest.mark.parametrize("op", OPS)
def test_a_call_cut_before_it_reached_the_server_is_repeated_and_done(queues, proxy, op):
    queue, observer, message = queues
    proxy.cut_next("before")
    with pytest.raises(ConnectionLost, match=op.split("_")[0]):
        settle(queue, message, op)
    assert proxy.cuts == 1 and not message.settled
    check_untouched(observer, message)
    asked = time.time()
    settle(queue, message, op)  # connects again
    assert message.settled == (op != "extend")
    if op == "extend":
        assert message.lease_expires_at >= asked + EXTENDED - 0.002
    check_done_once(observer, message, op)
    if op == "extend":
        message.ack()  # the lease, still the message's, settles it
        assert observer.stats()["total"] == 0


@pytest.mark.parametrize("op", OPS)
def test_a_call_cut_after_its_commit_is_repeated_as_lease_lost(queues, proxy, op):
    queue, observer, message = queues
    leased_until = message.lease_expires_at
    asked = time.time()
    proxy.cut_next("after")
    with pytest.raises(ConnectionLost, match=op.split("_")[0]):
        settle(queue, message, op)
    assert proxy.cuts == 1 and not message.settled
    if op == "extend":
        # The call committed: the lease's end moved, though the reply with it
        # was lost.
        (info,) = observer.peek()
        assert info.due_at >= asked + EXTENDED - 0.002 > leased_until
        assert message.lease_expires_at == leased_until
        again = time.time()
        message.extend(EXTENDED)  # the same lease: renewed again, from now
        assert message.lease_expires_at >= again + EXTENDED - 0.002
    else:
        with pytest.raises(LeaseLost) as lost:
            settle(queue, message, op)
        assert lost.value.lost == [message.id]
        assert not message.settled
    check_done_once(observer, message, op)
    if op == "extend":
        message.ack()
        assert observer.stats()["total"] == 0
    else:
        # The message is gone from this consumer for good: every settling
        # call says so, and changes nothing.
        for other in ("ack", "nack", "dead", "extend"):
            with pytest.raises(LeaseLost):
                settle(queue, message, other)
        with pytest.raises(Empty):
            observer.get_nowait()
        assert len(observer.dead_letters) == (1 if op == "dead" else 0)


def test_a_step_the_server_refuses_leaves_nothing_done_and_the_connection_usable(queues):
    queue, observer, message = queues
    with pytest.raises(psycopg.Error):
        queue.driver.ack_then_take((message.id, "not a lease"), 1, None)  # refused by the server
    check_untouched(observer, message)
    taken, _ = queue.take(ack=message)  # on a connection out of the failed transaction
    assert message.settled and taken == []
    assert observer.stats()["total"] == 0
