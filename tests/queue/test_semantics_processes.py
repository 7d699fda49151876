"""Keys, groups, pause and cancel across processes, on the backends that
have them (a directory and PostgreSQL): each child process opens the queue
itself, and the processes are coordinated through pipes and files."""

import json
import os
import select
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from tarnwick_queue import Empty

CHILD = textwrap.dedent("""
    import json, os, sys, time
    from tarnwick_queue import Empty
    role, backend, where, name, extra = sys.argv[1:6]
    if backend == "postgres":
        from tarnwick_queue.postgres import PostgresQueue
        q = PostgresQueue(where, name, lease=60.0)
    else:
        from tarnwick_queue import Queue
        q = Queue(where, lease=60.0)

    def say(value):
        sys.stdout.write(json.dumps(value) + "\\n")
        sys.stdout.flush()

    say("ready")
    if role in ("producer", "taker"):
        assert sys.stdin.readline().strip() == "go"
    if role == "producer":
        # Every key once: the other producer puts the same ones at once.
        keys = range(int(os.environ["KEYS"]))
        say([q.put(b"%s %d" % (extra.encode(), i), key="k%d" % i) for i in keys])
    elif role == "taker":
        taken = []
        while q.stats()["total"]:
            batch = q.get_many(5)
            taken += [m.id for m in batch]
            q.ack_many(batch)
        say(taken)
    elif role == "waiter":
        m = q.get(timeout=120)
        say({"id": m.id, "deliveries": m.deliveries})
        m.ack()
    elif role == "group":
        journal = os.open(extra, os.O_WRONLY | os.O_APPEND)
        while True:
            try:
                m = q.get(timeout=1.0)
            except Empty:
                continue
            # One write each, appended in the order they happen: with a
            # limit of 1, no other consumer's "got" falls between these two.
            os.write(journal, b"got %d\\n" % m.id)
            time.sleep(0.002)  # widens the window a second lease would use
            os.write(journal, b"done %d\\n" % m.id)
            m.ack()
""")


@pytest.fixture(params=["disk", "postgres"])
def shared(request, tmp_path):
    """(backend, where, name, a queue opened here)."""
    if request.param == "postgres":
        where, name = request.getfixturevalue("pg_dsn"), request.getfixturevalue("pg_name")
        from tarnwick_queue.postgres import PostgresQueue
        queue = PostgresQueue(where, name, lease=60.0)
    else:
        where, name = str(tmp_path / "queue"), ""
        from tarnwick_queue import Queue
        queue = Queue(where, lease=60.0)
    children = []

    def start(role, extra="", **env):
        errors = tmp_path / f"child-{len(children)}.stderr"
        with open(errors, "wb") as err:
            child = subprocess.Popen(
                [sys.executable, "-c", CHILD, role, request.param, where, name, extra],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err,
                env=dict(os.environ, **env))
        child.errors = errors  # shown when the child ends early
        children.append(child)
        assert read(child) == "ready"
        return child

    with queue:
        yield queue, start
        for child in children:
            if child.poll() is None:
                child.send_signal(signal.SIGKILL)
            child.wait()
            child.stdin.close()
            child.stdout.close()


def read(child, timeout=120.0):
    """The next line the child says, as JSON; fails when none comes."""
    readable, _, _ = select.select([child.stdout], [], [], timeout)
    assert readable, "the child said nothing"
    line = child.stdout.readline()
    assert line, f"the child ended (status {child.wait()}): {child.errors.read_text()}"
    return json.loads(line)


def go(*children):
    for child in children:
        child.stdin.write(b"go\n")
        child.stdin.flush()


def test_two_producers_racing_on_keys_make_one_message_each(shared):
    queue, start = shared
    keys = 200
    producers = [start("producer", tag, KEYS=str(keys)) for tag in ("one", "two")]
    go(*producers)
    first, second = (read(p) for p in producers)
    assert first == second  # both were given the same id for each key
    assert len(set(first)) == keys
    infos = queue.peek(2 * keys)
    assert len(infos) == keys and queue.stats()["total"] == keys
    assert sorted(i.key for i in infos) == sorted(f"k{i}" for i in range(keys))
    assert [i.id for i in sorted(infos, key=lambda i: int(i.key[1:]))] == first


def test_two_consumers_on_a_group_with_limit_1_take_turns_in_order(shared, tmp_path):
    queue, start = shared
    ids = queue.put_many([b"%d" % i for i in range(40)], group="account-1")
    journal = tmp_path / "journal"
    journal.write_bytes(b"")
    start("group", str(journal))
    start("group", str(journal))
    give_up = time.monotonic() + 120
    while queue.stats()["total"] and time.monotonic() < give_up:
        time.sleep(0.05)
    assert queue.stats()["total"] == 0
    lines = journal.read_text().split()
    events = list(zip(lines[0::2], map(int, lines[1::2])))
    # Never two leased at once: each "got" is followed by its own "done".
    assert events[0::2] == [("got", i) for i in ids]
    assert events[1::2] == [("done", i) for i in ids]


def test_a_get_blocked_in_another_process_waits_for_resume(shared):
    queue, start = shared
    waiter = start("waiter")  # blocked on an empty queue, or about to be
    queue.pause()
    put = queue.put(b"held")  # wakes the waiter, which must find the queue paused
    readable, _, _ = select.select([waiter.stdout], [], [], 0.5)
    assert not readable, "a paused queue delivered"
    [info] = queue.peek()
    assert (info.state, info.deliveries) == ("ready", 0)
    queue.resume()
    assert read(waiter) == {"id": put, "deliveries": 1}


def test_cancel_racing_a_take_in_another_process_one_wins(shared):
    queue, start = shared
    ids = queue.put_many([b"%d" % i for i in range(300)])
    taker = start("taker")
    go(taker)
    cancelled = [i for i in ids if queue.cancel(i)]
    taken = read(taker)
    assert not set(cancelled) & set(taken), "a message both cancelled and taken"
    assert sorted(cancelled + taken) == ids
    assert queue.stats()["total"] == 0
    with pytest.raises(Empty):
        queue.get_nowait()
