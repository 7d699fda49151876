"""Two Unix users sharing a queue, and a third who may only read it.

Root runs the test; forked children take other user and group ids (no
system users are needed) and their own umasks. After every step the mode and
group of every file of the queue is checked, and the other user goes on
working."""

import contextlib
import io
import json
import os
import shutil
import stat
import tempfile
import traceback

import pytest

from tarnwick_queue import Queue, cli

pytestmark = pytest.mark.skipif(
    not hasattr(os, "geteuid") or os.geteuid() != 0,
    reason="switching to other users needs root")

SHARED_GROUP = 12300
USER_A = (12345, 12345)
USER_B = (12346, 12346)
READER = (12347, 12347)  # in no group of the queue's


def as_user(user, umask, work, groups=(SHARED_GROUP,)):
    """Runs work() in a child with the user's ids and umask; returns what it
    returned (JSON), or fails the test with the child's traceback."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        status = 0
        try:
            os.close(read_end)
            uid, gid = user
            os.setgroups(list(groups))
            os.setgid(gid)
            os.setuid(uid)
            os.umask(umask)
            reply = {"value": work()}
        except BaseException:
            reply = {"error": traceback.format_exc()}
            status = 1
        with os.fdopen(write_end, "w") as out:
            json.dump(reply, out)
        os._exit(status)
    os.close(write_end)
    with os.fdopen(read_end) as replies:
        reply = json.loads(replies.read() or '{"error": "no reply"}')
    os.waitpid(pid, 0)
    assert "error" not in reply, reply["error"]
    return reply["value"]


def tarnwick(*args):
    """The command line, run in this (child) process."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = cli.main([str(a) for a in args])
    return {"status": status, "out": out.getvalue(), "err": err.getvalue()}


def access(directory):
    """{relative path: (octal mode, group)} of everything in the queue."""
    found = {}
    for root, dirs, files in os.walk(directory):
        for name in dirs + files:
            path = os.path.join(root, name)
            st = os.lstat(path)
            found[os.path.relpath(path, directory)] = (oct(stat.S_IMODE(st.st_mode)), st.st_gid)
    return found


@pytest.fixture
def shared():
    """A queue directory of the shared group, setgid, writable by the group
    only, in a directory everyone may pass through."""
    base = tempfile.mkdtemp(prefix="tarnwick-sharing-")
    os.chmod(base, 0o755)
    queue_dir = os.path.join(base, "q")
    os.mkdir(queue_dir)
    os.chown(queue_dir, USER_A[0], SHARED_GROUP)
    os.chmod(queue_dir, 0o2770)
    yield queue_dir
    shutil.rmtree(base)


def expect_shared(queue_dir):
    files = access(queue_dir)
    assert files, "the queue has files"
    for name, (mode, group) in files.items():
        wanted = "0o2770" if name == "dead_letters" else "0o660"
        assert (mode, group) == (wanted, SHARED_GROUP), (name, files)
    return files


def use(queue_dir):
    """A full round of work: put, get and ack, a dead letter."""
    def work():
        with Queue(queue_dir) as q:
            q.put(b"job")
            message = q.get(timeout=5)
            message.ack()
            q.put(b"doomed")
            q.get(timeout=5).dead()
            return [q.qsize(), len(q.dead_letters)]
    return work


def test_two_users_compact_purge_and_bury_in_turn(shared):
    # B makes the queue (and its dead letters) under a umask that used to
    # shut A out, A works in it, then every kind of replacement by B.
    assert as_user(USER_B, 0o022, use(shared)) == [0, 1]
    expect_shared(shared)
    assert as_user(USER_A, 0o002, use(shared)) == [0, 2]

    def b_compacts():
        with Queue(shared) as q:
            q.put_many([b"x"] * 10)
            q.compact()
            return q.stats()["generation"]
    # Generation 1 is the upgrade to format 3 by the first ack (it keeps an outcome).
    assert as_user(USER_B, 0o022, b_compacts) == 2
    owners = {os.stat(os.path.join(shared, "queue.log")).st_uid}
    assert owners == {USER_B[0]}, "the new log is B's; its group and bits are shared"
    expect_shared(shared)
    assert as_user(USER_A, 0o002, use(shared)) == [10, 3]

    def b_purges_both():
        with Queue(shared) as q:
            q.purge()
            q.dead_letters.purge()
            return [q.stats()["generation"], len(q.dead_letters)]
    assert as_user(USER_B, 0o077, b_purges_both) == [3, 0]
    expect_shared(shared)
    assert as_user(USER_A, 0o002, use(shared)) == [0, 1]

    def b_compacts_unasked():
        with Queue(shared, auto_compact_bytes=4096) as q:
            q.put_many([b"y" * 100] * 60)
            for message in q.get_many(60, timeout=5):
                message.ack()
            return q.stats()["generation"]
    assert as_user(USER_B, 0o022, b_compacts_unasked) >= 4, "compacted by itself"
    expect_shared(shared)
    assert as_user(USER_A, 0o002, use(shared)) == [0, 2]

    def a_reads_everything():
        with Queue(shared) as q:
            return [d.body.decode() for d in q.dead_letters.list()]
    assert as_user(USER_A, 0o002, a_reads_everything) == ["doomed", "doomed"]


def test_a_user_who_may_only_read_can_look(shared):
    os.chmod(shared, 0o2775)  # others may read, not write
    assert as_user(USER_A, 0o002, use(shared)) == [0, 1]
    before = {name: (mode, group) for name, (mode, group) in access(shared).items()}
    assert before[".proc_lock"] == ("0o664", SHARED_GROUP)

    def a_puts_and_leaves_a_torn_tail():
        with Queue(shared) as q:
            q.put_many([b"one", b"two"])
        with open(os.path.join(shared, "queue.log"), "ab") as log:
            log.write(b"\x01\x02")
    as_user(USER_A, 0o002, a_puts_and_leaves_a_torn_tail)
    log_path = os.path.join(shared, "queue.log")
    with open(log_path, "rb") as log:
        content = log.read()

    def reader_looks():
        with pytest.raises(PermissionError):
            open(log_path, "r+b")  # this user really may not write
        with pytest.raises(OSError):
            Queue(shared)  # what a read-write open says
        results = [tarnwick("stats", shared, "--json"), tarnwick("peek", shared, "--json"),
                   tarnwick("verify", shared, "--json"), tarnwick("compact", shared)]
        with Queue(shared, read_only=True) as q:
            with pytest.raises(OSError, match="read-only"):
                q.put(b"no")
            results.append(len(q.dead_letters))
        return results
    stats, peek, verify, compact, dead = as_user(READER, 0o022, reader_looks, groups=())
    assert stats["status"] == 0 and stats["err"] == "", stats
    assert json.loads(stats["out"])["ready"] == 2
    assert json.loads(stats["out"])["dead_letters"] == 1
    assert peek["status"] == 0, peek
    assert [m["id"] for m in json.loads(peek["out"])] == [2, 3]
    assert verify["status"] == 1, verify  # the torn tail is reported, not cut
    assert json.loads(verify["out"])["ok"] is False
    assert compact["status"] == 1 and "Permission denied" in compact["err"], compact
    assert dead == 1
    with open(log_path, "rb") as log:
        assert log.read() == content, "nothing was written"
    assert access(shared) == before


def test_sticky_directory_keeps_others_from_replacing_the_log(shared):
    # As documented: in a sticky directory only a file's owner may replace it.
    os.chmod(shared, 0o1777)
    assert as_user(USER_A, 0o000, use(shared)) == [0, 1]
    with open(os.path.join(shared, "queue.log"), "rb") as log:
        content = log.read()

    def b_compacts():
        with Queue(shared) as q:
            with pytest.raises(OSError, match="Operation not permitted"):
                q.compact()
            q.put(b"still works")
            return q.qsize()
    assert as_user(USER_B, 0o000, b_compacts) == 1
    with open(os.path.join(shared, "queue.log"), "rb") as log:
        assert log.read().startswith(content), "the log was only appended to"
    assert not [name for name in os.listdir(shared) if name.endswith(".tmp")]
