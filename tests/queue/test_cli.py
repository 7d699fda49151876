"""The `tarnwick` console script, run as a user would: exit codes, output,
--json parsed."""

import base64
import hashlib
import json
import os
import pty
import signal
import subprocess

import pytest

from processes import run_tarnwick, start_tarnwick, stop, tarnwick_command, wait_for

from tarnwick_queue import Queue

COMMANDS = ["stats", "peek", "put", "pause", "resume", "cancel", "show", "outcomes", "dead",
            "verify", "repair", "compact", "purge", "worker"]


def ok(*args, input=None):
    result = run_tarnwick(*args, input=input)
    assert result.returncode == 0, result.stderr.decode()
    assert result.stderr == b""
    return result.stdout.decode()


def data(*args, input=None):
    return json.loads(ok(*args, "--json", input=input))


def fails(*args, status=1, input_lines=None):
    """The command fails with one line on stderr and no traceback."""
    result = run_tarnwick(*args, input=input_lines)
    assert result.returncode == status, result
    err = result.stderr.decode()
    assert b"Traceback" not in result.stderr
    if status == 1:
        assert err.startswith("tarnwick: error: ") and err.count("\n") == 1, err
    return err


@pytest.fixture
def qdir(tmp_path):
    return str(tmp_path / "q")


def test_help_everywhere():
    top = ok("--help")
    for command in COMMANDS:
        assert command in top
        assert ok(command, "--help").startswith(f"usage: tarnwick {command}")
    for action in ("list", "requeue", "purge"):
        assert ok("dead", "x", action, "--help").startswith(f"usage: tarnwick dead DIR {action}")


def test_put_from_argument_and_stdin_then_stats_and_peek(qdir):
    assert ok("put", qdir, "hello") == "0\n"
    assert data("put", qdir, "-", input=b"\xff\x00binary") == [1]
    assert data("put", qdir, input=b"whole\nstdin") == [2]
    assert data("put", qdir, "--lines", input=b"a\nb\nc\n") == [3, 4, 5]
    assert data("put", qdir, "later", "--delay", "60") == [6]

    stats = data("stats", qdir)
    assert (stats["ready"], stats["scheduled"], stats["total"]) == (6, 1, 7)
    text = ok("stats", qdir)
    assert [line.split()[:2] for line in text.splitlines()][:3] == \
        [["ready", "6"], ["in_flight", "0"], ["scheduled", "1"]]

    listed = data("peek", qdir, "-n", "3", "--bodies")
    assert [m["id"] for m in listed] == [0, 1, 2]
    assert listed[0]["body"] == "hello" and listed[0]["state"] == "ready"
    assert base64.b64decode(listed[1]["body_base64"]) == b"\xff\x00binary"
    assert listed[2]["body"] == "whole\nstdin"
    later = data("peek", qdir, "-n", "10")[-1]
    assert later["state"] == "scheduled" and later["due_at"] > later["enqueued_at"] + 59
    assert "body" not in later
    rows = ok("peek", qdir, "--bodies").splitlines()
    assert rows[0].split() == ["ID", "STATE", "DELIVERIES", "ENQUEUED", "DUE", "SIZE", "BODY"]
    assert rows[1].split()[:3] == ["0", "ready", "0"] and rows[1].endswith("hello")
    assert len(rows) == 8


def test_dead_letters_list_requeue_purge(qdir):
    with Queue(qdir) as q:
        q.put_many([b"a", b"b", b"c"])
        for m in q.get_many(3):
            m.dead(f"failed {m.body.decode()}")
    letters = data("dead", qdir, "list", "--bodies")
    assert [(d["original_id"], d["reason"], d["body"]) for d in letters] == \
        [(0, "failed a", "a"), (1, "failed b", "b"), (2, "failed c", "c")]
    assert "failed b" in ok("dead", qdir, "list")
    assert data("dead", qdir, "requeue", letters[1]["id"]) == {"requeued": 1}
    assert ok("dead", qdir, "requeue") == "requeued 2 dead letters\n"
    assert data("stats", qdir)["ready"] == 3 and data("dead", qdir, "list") == []
    with Queue(qdir) as q:
        assert sorted(m.body for m in q.get_many(3)) == [b"a", b"b", b"c"]
        q.put(b"d")
        q.get().dead("again")
    assert data("dead", qdir, "purge") == {"purged": 1}
    assert data("dead", qdir, "list") == []


def test_requeue_of_more_than_one_batch_requeues_all(qdir):
    with Queue(qdir, sync_interval=0.05) as q:
        q.put_many([b"%d" % i for i in range(1100)])
        for m in q.get_many(1100):
            m.dead("x")
    assert data("dead", qdir, "requeue") == {"requeued": 1100}
    stats = data("stats", qdir)
    assert (stats["ready"], stats["dead_letters"]) == (1100, 0)


def test_verify_compact_purge(qdir):
    with Queue(qdir) as q:
        q.put_many([b"x" * 100] * 20)
        for m in q.get_many(15):
            m.ack()
    report = data("verify", qdir)
    assert report["ok"] is True and report["records"] > 20
    assert ok("verify", qdir).startswith("ok: ")
    sizes = data("compact", qdir)
    assert sizes["log_bytes_after"] < sizes["log_bytes_before"]
    assert data("stats", qdir)["total"] == 5

    assert "--yes" in fails("purge", qdir)
    assert data("stats", qdir)["total"] == 5
    assert data("purge", qdir, "--yes") == {"purged": 5}
    assert data("stats", qdir)["total"] == 0


def _tree(directory):
    """Every name under `directory` with the sha256 of each file's bytes."""
    out = {}
    for root, dirs, files in os.walk(directory):
        for name in dirs:
            out[os.path.relpath(os.path.join(root, name), directory)] = "dir"
        for name in files:
            with open(os.path.join(root, name), "rb") as f:
                out[os.path.relpath(os.path.join(root, name), directory)] = \
                    hashlib.sha256(f.read()).hexdigest()
    return out


def _damage(log, offset, mask):
    """Flips the bits of `mask` in the bytes at `offset`: they always change
    (writing a value could leave a byte that already held it)."""
    with open(log, "r+b") as f:
        f.seek(offset)
        old = f.read(len(mask))
        f.seek(offset)
        f.write(bytes(a ^ b for a, b in zip(old, mask)))


def _hundred_messages(qdir):
    with Queue(qdir) as q:
        q.put_many([b"message %d" % i for i in range(100)])
    return os.path.join(qdir, "queue.log")


@pytest.mark.parametrize("kind", ["clean", "torn tail", "middle", "text", "dead letters"])
def test_verify_reports_damage_and_changes_nothing(qdir, kind):
    log = _hundred_messages(qdir)
    size = os.path.getsize(log)
    if kind == "torn tail":
        with open(log, "ab") as f:
            f.write(b"TWR1\x40\x00\x00\x00garbage")
    elif kind == "middle":
        _damage(log, 500, b"\xff")
    elif kind == "text":
        with open(log, "wb") as f:
            f.write(b"0123456789")
    elif kind == "dead letters":
        with open(os.path.join(qdir, "dead_letters", "queue.log"), "ab") as f:
            f.write(b"TWR")
    before = _tree(qdir)
    result = run_tarnwick("verify", qdir, "--json")
    assert result.returncode == (0 if kind == "clean" else 1), result
    report = json.loads(result.stdout)
    text = run_tarnwick("verify", qdir).stdout.decode()
    assert _tree(qdir) == before, "verify changed the directory"
    if kind == "clean":
        assert report["ok"] and report["records"] == 100 and text.startswith("ok: 100 records")
    elif kind == "torn tail":
        assert report["tail"] == {"offset": size, "bytes": 15, "reason": "truncated record payload"}
        assert report["damaged"] == [] and "a torn tail of 15 bytes" in text
    elif kind == "middle":
        assert report["tail"] is None and len(report["damaged"]) == 1
        assert report["damaged"][0]["offset"] < 500 < sum(report["damaged"][0][k]
                                                           for k in ("offset", "bytes"))
        assert report["intact_records"] == 99
        assert text.startswith("damaged: ") and "'tarnwick repair' keeps them" in text
    elif kind == "text":
        assert report["message"] == "bad file magic" and not report["ok"]
    else:
        assert report["ok"] and not report["dead_letters"]["ok"]
        assert "dead letters: damaged: a torn tail of 3 bytes at byte 16" in text


def test_repair_keeps_every_intact_record_and_sets_the_damaged_log_aside(qdir):
    log = _hundred_messages(qdir)
    _damage(log, 500, b"\xff")
    with open(log, "rb") as f:
        damaged = f.read()
    result = run_tarnwick("repair", qdir, "--json")
    assert result.returncode == 0, result
    assert result.stderr.decode().startswith("Tarnwick: skipped ")
    done = json.loads(result.stdout)
    assert done["repaired"] and done["records_kept"] == 99 and done["generation"] == 1
    assert len(done["skipped"]) == 1 and done["cut_tail"] is None
    copy = done["damaged_copy"]
    assert os.path.dirname(copy) == qdir
    assert os.path.basename(copy).startswith("queue.log.damaged-gen0-")
    with open(copy, "rb") as f:
        assert f.read() == damaged
    assert ok("verify", qdir).startswith("ok: 99 records")
    with Queue(qdir) as q:
        bodies = sorted(m.body for m in q.get_many(200))
    lost = [b"message %d" % i for i in range(100) if b"message %d" % i not in bodies]
    assert len(lost) == 1 and len(bodies) == 99
    assert ok("repair", qdir) == "ok: nothing to repair\n"


def test_an_open_repairs_as_repair_does_and_a_torn_tail_is_still_cut(qdir):
    log = _hundred_messages(qdir)
    size = os.path.getsize(log)
    with open(log, "ab") as f:
        f.write(b"\x00garbage\x00")
    result = run_tarnwick("repair", qdir)
    assert result.returncode == 0
    assert result.stdout.decode() == f"repaired: cut a torn tail of 9 bytes at byte {size}\n"
    assert result.stderr.decode() == (f"Tarnwick: truncating corrupt log tail at byte {size} "
                                      "(truncated record header)\n")
    assert os.path.getsize(log) == size
    assert not [n for n in os.listdir(qdir) if "damaged" in n]

    _damage(log, 700, b"\xff\xff\xff")
    result = run_tarnwick("stats", qdir, "--json")  # any command's open repairs
    assert result.returncode == 0 and result.stderr.decode().count("\n") == 1
    assert json.loads(result.stdout)["total"] == 99
    assert len([n for n in os.listdir(qdir) if n.startswith("queue.log.damaged-")]) == 1


@pytest.mark.parametrize("contents, reason", [(bytes(16), "zeroed header and no records"),
                                              (b"TWFL\x01\x00", "log header cut short")])
def test_repair_says_what_recovery_dropped_when_it_started_a_new_log(qdir, contents, reason):
    _hundred_messages(qdir)
    log = os.path.join(qdir, "queue.log")
    with open(log, "wb") as f:
        f.write(contents)
    result = run_tarnwick("repair", qdir, "--json")
    assert result.returncode == 0, result
    done = json.loads(result.stdout)
    assert done["repaired"] and done["skipped"] == [] and done["records_kept"] == 0
    assert done["cut_tail"] == {"offset": 0, "bytes": len(contents), "reason": reason}
    with open(log, "wb") as f:
        f.write(contents)
    result = run_tarnwick("repair", qdir)
    assert result.returncode == 0, result
    assert result.stdout.decode() == (f"repaired: started a new log in place of {len(contents)} "
                                      f"bytes that held no record ({reason})\n")
    # A zeroed header is warned of; a header cut short, what an interrupted create leaves, is not.
    assert ("zeroed header" in result.stderr.decode()) == (contents == bytes(16))
    assert os.path.getsize(log) == 16 and ok("repair", qdir) == "ok: nothing to repair\n"


def test_a_log_that_is_not_a_queue_log_is_refused_and_left_alone(qdir):
    log = _hundred_messages(qdir)
    with open(log, "wb") as f:
        f.write(b"0123456789")
    for command in ("repair", "stats"):
        err = fails(command, qdir)
        assert "queue.log has bad magic (not a Tarnwick log)" in err
    with open(log, "rb") as f:
        assert f.read() == b"0123456789"


def test_missing_or_wrong_paths_are_one_line_errors_and_create_nothing(tmp_path):
    missing = tmp_path / "missing"
    for args in (["stats"], ["peek"], ["verify"], ["repair"], ["compact"], ["purge", "--yes"],
                 ["dead", "list"]):
        err = fails(args[0], missing, *args[1:])
        assert "no such directory" in err
    assert not missing.exists()

    a_file = tmp_path / "file"
    a_file.write_bytes(b"not a queue")
    assert "not a directory" in fails("stats", a_file)
    assert "not a directory" in fails("put", a_file, "x")

    empty = tmp_path / "empty"
    empty.mkdir()
    assert "not a queue directory" in fails("stats", empty)
    assert os.listdir(empty) == []

    bad = tmp_path / "bad"
    bad.mkdir()
    (bad / "queue.log").write_bytes(b"this is not a queue log at all" * 10)
    assert "not a Tarnwick log" in fails("stats", bad)
    assert "not a Tarnwick log" in fails("put", bad, "x")


def test_bad_arguments_exit_2_with_usage(qdir):
    for args in (["stats", qdir, "--watch", "0"], ["peek", qdir, "-n", "-1"],
                 ["dead", qdir, "requeue", "abc"], ["put", qdir, "x", "--delay", "soon"],
                 ["frobnicate"], [], ["dead", qdir]):
        assert "usage: tarnwick" in fails(*args, status=2)


def test_stats_watch_prints_counts_and_rates_until_interrupted(qdir):
    with Queue(qdir) as q:
        q.put(b"x")
    watcher = start_tarnwick("stats", qdir, "--watch", "0.1", "--json",
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    first = json.loads(watcher.stdout.readline())
    with Queue(qdir, sync_interval=0.05) as q:
        q.put_many([b"y"] * 50)
    lines = iter(lambda: json.loads(watcher.stdout.readline()), None)
    grown = wait_for(lambda: (lambda s: s if s["total"] == 51 else None)(next(lines)), 20,
                     "the new messages in the watch")
    assert first["total"] == 1
    assert grown["rates"]["enqueued_total"] > 0 and grown["rates"]["acked_total"] == 0
    assert stop(watcher, signal.SIGINT) == 0
    assert watcher.stderr.read() == b""


def test_stats_watch_redraws_in_place_on_a_terminal(qdir):
    import pty
    with Queue(qdir) as q:
        q.put(b"x")
    leader, follower = pty.openpty()
    watcher = start_tarnwick("stats", qdir, "--watch", "0.1", stdout=follower,
                             stderr=subprocess.PIPE)
    os.close(follower)
    seen = b""
    while seen.count(b"Ctrl-C ends") < 3:
        seen += os.read(leader, 4096)
    assert stop(watcher, signal.SIGINT) == 0
    os.close(leader)
    # From the second drawing on, the cursor goes back up over the last one.
    # 15 counts, paused, oldest_running, oldest_ready, the title
    assert seen.count(b"\x1b[19A\x1b[J") >= 2
    assert b"/s" in seen


def test_requeue_of_unknown_ids_fails_naming_them_and_requeues_none(qdir):
    with Queue(qdir) as q:
        q.put_many([b"a", b"b"])
        for m in q.get_many(2):
            m.dead("x")
    known = [d["id"] for d in data("dead", qdir, "list")]
    assert fails("dead", qdir, "requeue", 999) == \
        "tarnwick: error: no dead letter with id 999; nothing was requeued\n"
    assert fails("dead", qdir, "requeue", known[0], 999, 998, known[0]) == \
        "tarnwick: error: no dead letters with ids 998, 999; nothing was requeued\n"
    stats = data("stats", qdir)
    assert (stats["ready"], stats["dead_letters"]) == (0, 2)
    # Named twice is requeued once.
    assert data("dead", qdir, "requeue", known[1], known[1]) == {"requeued": 1}


def test_tables_show_utf8_as_text_and_escape_the_rest(qdir):
    bodies = ["café ☕".encode(), b"tab\there\nnext", b"\xffnot utf-8\x00", "zero\u200bwidth".encode()]
    with Queue(qdir) as q:
        q.put_many(bodies)
        for m in q.get_many(4):
            m.dead("naïve\nreason")
        q.put_many(bodies)
    expected = ["café ☕", "tab\\there\\nnext", "\\xffnot utf-8\\x00", "zero\\u200bwidth"]
    for listing in (ok("peek", qdir, "--bodies"), ok("dead", qdir, "list", "--bodies")):
        rows = listing.splitlines()
        assert len(rows) == 5, listing
        assert [row.split("  ")[-1].strip() for row in rows[1:]] == expected
    assert "naïve\\nreason" in ok("dead", qdir, "list")


def test_width_or_the_terminal_decides_where_bodies_are_cut(qdir):
    long_body = "é" + "x" * 300
    with Queue(qdir) as q:
        q.put(long_body.encode())
    # Into a pipe the whole body is shown; --width cuts lines to that many columns.
    assert ok("peek", qdir, "--bodies").splitlines()[1].endswith(long_body)
    assert ok("peek", qdir, "--bodies", "--width", "0").splitlines()[1].endswith(long_body)
    cut = ok("peek", qdir, "--bodies", "--width", "100").splitlines()
    assert max(len(line) for line in cut) == 100 and cut[1].endswith("...")
    assert cut[1].split()[-1].startswith("éxxx")
    # On a terminal its width decides (COLUMNS stands in for the terminal's size).
    main, tty = pty.openpty()
    try:
        done = subprocess.run(tarnwick_command() + ["peek", qdir, "--bodies"], stdout=tty,
                              stderr=subprocess.PIPE, timeout=60,
                              env=dict(os.environ, COLUMNS="72"))
        os.close(tty)
        tty = -1
        assert done.returncode == 0, done.stderr
        output = b""
        while True:
            try:
                chunk = os.read(main, 65536)
            except OSError:  # EIO: the terminal's other end is closed
                break
            if not chunk:
                break
            output += chunk
    finally:
        os.close(main)
        if tty >= 0:
            os.close(tty)
    lines = output.decode().splitlines()
    assert max(len(line) for line in lines) == 72 and lines[1].endswith("..."), lines


def test_peek_leased_and_the_oldest_running_delivery(qdir):
    with Queue(qdir, consumer_id="night-batch") as q:
        q.put_many([b"a", b"b", b"c", b"d"])
        stuck, newer = q.get(lease=3600), q.get(lease=3600)
        stuck.extend(3600)
        listed = data("peek", qdir, "--leased")
        assert [(m["id"], m["extensions"], m["consumer"]) for m in listed] == [
            (stuck.id, 1, "night-batch"), (newer.id, 0, "night-batch")]
        assert listed[0]["started_at"] <= listed[1]["started_at"]
        rows = ok("peek", qdir, "--leased").splitlines()
        assert rows[0].split() == ["ID", "STATE", "DELIVERIES", "ENQUEUED", "DUE", "STARTED",
                                   "EXTENSIONS", "CONSUMER", "SIZE"]
        assert len(rows) == 3 and "night-batch" in rows[1] and rows[1].split()[:2] == [
            str(stuck.id), "leased"]
        stats = data("stats", qdir)
        assert stats["oldest_running_id"] == stuck.id
        [line] = [x for x in ok("stats", qdir).splitlines() if x.startswith("oldest_running")]
        assert line.split()[1:4] == ["id", f"{stuck.id},", "running"]
        stuck.ack()
        newer.ack()
    assert data("peek", qdir, "--leased") == []
    [line] = [x for x in ok("stats", qdir).splitlines() if x.startswith("oldest_running")]
    assert line.split() == ["oldest_running", "-"]


def test_put_with_options_and_peek_shows_them(qdir):
    [first] = data("put", qdir, "a", "--priority", "5", "--key", "k", "--group", "g",
                   "--header", "trace=abc", "--header", "task=x=y")
    assert data("put", qdir, "again", "--key", "k", "--unique-for", "60") == [first]
    assert data("put", qdir, "--lines", "--priority", "-1", "--group", "h",
                input=b"b\nc\n") == [first + 1, first + 2]
    listed = data("peek", qdir)
    assert [(m["priority"], m["key"], m["group"], m["headers"]) for m in listed] == [
        (5, "k", "g", {"trace": "abc", "task": "x=y"}), (-1, None, "h", {}),
        (-1, None, "h", {})]
    rows = ok("peek", qdir).splitlines()
    assert rows[0].split() == ["ID", "STATE", "DELIVERIES", "ENQUEUED", "DUE", "PRIORITY",
                               "KEY", "GROUP", "HEADERS", "SIZE"]
    assert rows[1].split()[-5:] == ["5", "k", "g", "task=x=y,trace=abc", "1"]
    assert rows[2].split()[-5:] == ["-1", "-", "h", "-", "1"]
    with Queue(qdir) as q:
        m = q.get(timeout=1)
        assert (m.body, m.priority, m.key, m.group, m.headers) == (
            b"a", 5, "k", "g", {"trace": "abc", "task": "x=y"})


def test_put_refuses_bad_options_and_writes_nothing(qdir):
    ok("put", qdir, "first")
    for bad in (["--priority", "101"], ["--priority", "x"], ["--header", "no-equals"],
                ["--unique-for", "-1"]):
        fails("put", qdir, "x", *bad, status=2)
    assert "--unique-for needs --key" in fails("put", qdir, "x", "--unique-for", "5")
    assert "--key names one message" in fails("put", qdir, "--lines", "--key", "k",
                                              input_lines=b"a\nb\n")
    assert "key must not be empty" in fails("put", qdir, "x", "--key", "")
    assert "at most 255 bytes" in fails("put", qdir, "x", "--group", "g" * 256)
    assert data("stats", qdir)["total"] == 1


def test_pause_resume_and_cancel(qdir):
    ids = data("put", qdir, "--lines", input=b"a\nb\nc\n")
    assert data("stats", qdir)["paused"] is False
    assert ok("pause", qdir).startswith("paused")
    assert data("stats", qdir)["paused"] is True
    assert ["paused", "yes"] in [line.split() for line in ok("stats", qdir).splitlines()]
    with Queue(qdir) as q:
        assert q.paused and q.get_many(5) == []
    assert data("resume", qdir) == {"paused": False}
    with Queue(qdir) as q:
        assert not q.paused
        leased = q.get(timeout=1)
        assert leased.id == ids[0]
        assert data("cancel", qdir, ids[1]) == {"cancelled": [ids[1]], "not_cancelled": []}
        err = fails("cancel", qdir, ids[0], ids[2])  # leased; the other is cancelled
        assert f"message {ids[0]} is not ready or scheduled" in err
        assert "messages 7, 8 are" in fails("cancel", qdir, 7, 8)
        assert [i.id for i in q.peek()] == [ids[0]]
        leased.ack()
    fails("cancel", qdir, status=2)  # an id is needed


class TestOutcomes:
    def test_show_every_state_as_text_and_json(self, qdir):
        with Queue(qdir, consumer_id="cli-test") as q:
            acked, failed, waiting = q.put_many([b"a", b"b", b"c"], priority=3)
            q.get().ack(result=b"\xffbinary")
            message = q.get()
            message.nack(error="Traceback line 1\nValueError: \x1b[31mred")
        shown = data("show", qdir, str(acked))
        assert (shown["state"], shown["deliveries"], shown["consumers"], shown["priority"]) == (
            "acked", 1, ["cli-test"], 3)
        assert base64.b64decode(shown["result_base64"]) == b"\xffbinary"
        assert shown["finished_at"] >= shown["started_at"] >= shown["enqueued_at"] - 1
        text = ok("show", qdir, str(acked))
        assert "state       acked" in text and "result      \\xffbinary" in text
        retried = data("show", qdir, str(failed))
        assert retried["state"] == "ready" and retried["errors"] == ["Traceback line 1\nValueError: \x1b[31mred"]
        text = ok("show", qdir, str(failed))
        # Each line of an error on a line of its own, control characters escaped.
        assert "error 1 of 1:\n    Traceback line 1\n    ValueError: \\x1b[31mred\n" in text
        assert data("show", qdir, str(waiting))["result"] is None

    def test_show_of_an_unknown_id_fails_in_one_line(self, qdir):
        ok("put", qdir, "x")
        assert "no message 99" in fails("show", qdir, "99")
        fails("show", qdir, "-1", status=2)

    def test_outcomes_latest_first_and_by_state(self, qdir):
        with Queue(qdir) as q:
            first, second, third = q.put_many([b"a", b"b", b"c"])
            q.get().ack()
            q.get().dead("ValueError: bad\ntraceback")
            q.cancel(third)
        assert [o["id"] for o in data("outcomes", qdir)] == [third, second, first]
        assert [o["id"] for o in data("outcomes", qdir, "--state", "dead")] == [second]
        assert [o["id"] for o in data("outcomes", qdir, "-n", "1")] == [third]
        lines = ok("outcomes", qdir).splitlines()
        assert lines[0].split() == ["ID", "STATE", "DELIVERIES", "ENQUEUED", "FINISHED", "LAST",
                                    "ERROR"]
        assert lines[2].split()[:2] == [str(second), "dead"]
        assert lines[2].endswith("ValueError: bad")  # the error's first line
        fails("outcomes", qdir, "--state", "leased", status=2)
