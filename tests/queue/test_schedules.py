"""Schedules: queue.schedules on each backend in BACKENDS, through the face,
with a clock the test moves (Schedules(driver, clock=...)) where slots are
counted, and the real one where processes race."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
from datetime import datetime, timedelta, timezone
from zoneinfo import ZoneInfo

import pytest
from dict_driver import DictStore, open_dict_queue

from tarnwick_queue import Schedules, Worker
from tarnwick_queue._schedules import MAX_CATCH_UP, SCHEDULE_HEADER, SLOT_HEADER

HERE = os.path.dirname(os.path.abspath(__file__))
T0 = 1_800_000_000.0  # a multiple of 10, 60 and 3600 seconds


class Clock:
    def __init__(self, now=T0):
        self.now = now

    def __call__(self):
        return self.now


def schedules_of(queue, clock):
    return Schedules(queue.driver, clock=clock)


def drain(queue):
    """Every ready message, acked: (slot header, body, priority, key) each."""
    out = []
    while True:
        taken, _ = queue.take(100)
        if not taken:
            return out
        for m in taken:
            out.append((m.headers[SLOT_HEADER], m.body, m.priority, m.key))
            m.ack()


def slot_text(epoch):
    return datetime.fromtimestamp(epoch, timezone.utc).isoformat().replace("+00:00", "Z")


class TestBadInput:
    @pytest.mark.parametrize("options, error", [
        ({}, ValueError), ({"every": 10, "cron": "* * * * *"}, ValueError),
        ({"every": 0}, ValueError), ({"every": -5}, ValueError), ({"every": 0.5}, ValueError),
        ({"every": float("nan")}, ValueError), ({"every": "10"}, TypeError),
        ({"cron": "61 * * * *"}, ValueError), ({"cron": "* * *"}, ValueError),
        ({"cron": "0 0 30 2 *"}, ValueError), ({"cron": 5}, TypeError),
        ({"every": 10, "catch_up": "some"}, ValueError),
        ({"every": 10, "tz": "Mars/Olympus"}, ValueError),
        ({"every": 10, "priority": 101}, ValueError),
        ({"every": 10, "headers": {SLOT_HEADER: "x"}}, ValueError),
        ({"every": 10, "headers": {"a": 1}}, TypeError),
    ])
    def test_a_bad_schedule_is_refused_and_nothing_stored(self, queue, options, error):
        with pytest.raises(error):
            queue.schedules.add("job", b"x", **options)
        assert queue.schedules.list() == [] and "job" not in queue.schedules

    @pytest.mark.parametrize("name, error", [
        ("", ValueError), ("a\x00b", ValueError), ("x" * 201, ValueError), (7, TypeError),
        ("\udc80", ValueError)])
    def test_bad_names_are_refused(self, queue, name, error):
        with pytest.raises(error):
            queue.schedules.add(name, b"x", every=10)
        assert len(queue.schedules) == 0

    def test_a_duplicate_name_keeps_the_first(self, queue):
        queue.schedules.add("job", b"first", every=10)
        with pytest.raises(ValueError, match="exists already"):
            queue.schedules.add("job", b"second", cron="* * * * *")
        [info] = queue.schedules.list()
        assert (info.body, info.every, info.cron) == (b"first", 10.0, None)

    def test_unknown_names_raise_key_error(self, queue):
        for call in (queue.schedules.remove, queue.schedules.pause, queue.schedules.resume):
            with pytest.raises(KeyError):
                call("nothing")

    def test_a_body_too_large_is_refused(self, queue):
        with pytest.raises(ValueError, match="body"):
            queue.schedules.add("job", b"x" * ((64 << 10) + 1), every=10)
        assert len(queue.schedules) == 0


class TestFiring:
    def test_each_slot_fires_once_with_its_key_headers_and_priority(self, queue):
        clock = Clock(T0 + 3)
        schedules = schedules_of(queue, clock)
        schedules.add("tick", b"body", every=10, priority=7, headers={"task": "t"})
        assert schedules.fire_due() == 0       # the first slot is the first after now
        [info] = schedules.list()
        assert info.last_fire is None and info.next_fire == T0 + 10
        clock.now = T0 + 10
        assert schedules.fire_due() == 1
        assert schedules.fire_due() == 0       # the same slot again: nothing
        clock.now = T0 + 19.999
        assert schedules.fire_due() == 0
        clock.now = T0 + 20
        assert schedules.fire_due() == 1
        taken, _ = queue.take(10)
        assert [m.headers for m in taken] == [
            {"task": "t", SCHEDULE_HEADER: "tick", SLOT_HEADER: slot_text(T0 + s)}
            for s in (10, 20)]
        assert [(m.body, m.priority) for m in taken] == [(b"body", 7)] * 2
        assert taken[0].key == f"schedule:tick:{slot_text(T0 + 10)}"
        [info] = schedules.list()
        assert info.last_fire == T0 + 20 and info.next_fire == T0 + 30

    def test_a_schedule_this_process_cannot_compute_is_told_once_and_the_others_fire(
            self, queue, monkeypatch, caplog):
        clock = Clock(T0 + 3)
        schedules = schedules_of(queue, clock)
        schedules.add("a-cron", b"c", cron="* * * * *", tz="Europe/Berlin")
        schedules.add("b-tick", b"t", every=10)
        clock.now = T0 + 60
        with monkeypatch.context() as without:
            without.setitem(sys.modules, "croniter", None)  # a worker without the extra
            with caplog.at_level("WARNING", logger="tarnwick_queue.schedules"):
                assert schedules.fire_due() == 1
                clock.now += 10
                assert schedules.fire_due() == 1
        told = [r.getMessage() for r in caplog.records if "a-cron" in r.getMessage()]
        assert len(told) == 1 and "croniter" in told[0], told
        assert [body for _, body, _, _ in drain(queue)] == [b"t", b"t"]
        clock.now += 60
        assert schedules.fire_due() == 2     # with croniter back, both fire
        assert sorted(body for _, body, _, _ in drain(queue)) == [b"c", b"t"]

    def test_every_process_sees_a_schedule_added_by_another(self, open_queue):
        if not open_queue.shared_store:
            pytest.skip("one handle only")
        first, second = open_queue(), open_queue()
        clock = Clock()
        schedules_of(first, clock).add("tick", b"x", every=10)
        clock.now = T0 + 10
        assert schedules_of(second, clock).fire_due() == 1
        assert schedules_of(first, clock).fire_due() == 0
        assert [s.name for s in second.schedules.list()] == ["tick"]

    @pytest.mark.parametrize("mode, late, expected", [
        ("one", 1, [50]), ("one", 6, [50]),
        ("all", 1, [10, 20, 30, 40, 50]),
        # 1 s late is on time; 6 s is over half the 10 s to the next slot.
        ("none", 1, [50]), ("none", 6, [])])
    def test_downtime_gives_what_catch_up_promises(self, queue, mode, late, expected):
        clock = Clock()
        schedules = schedules_of(queue, clock)
        schedules.add("tick", b"x", every=10, catch_up=mode)
        clock.now = T0 + 50 + late  # five slots while nobody fired
        assert schedules.fire_due() == len(expected)
        assert [s for s, *_ in drain(queue)] == [slot_text(T0 + s) for s in expected]
        clock.now = T0 + 60          # the next slot, on time, in every mode
        assert schedules.fire_due() == 1
        assert schedules.fire_due() == 0

    def test_catching_up_all_is_capped(self, queue):
        clock = Clock()
        schedules = schedules_of(queue, clock)
        schedules.add("tick", b"x", every=1, catch_up="all")
        clock.now = T0 + 5000
        assert schedules.fire_due() == MAX_CATCH_UP
        slots = [s for s, *_ in drain(queue)]
        assert slots == [slot_text(T0 + 5000 - MAX_CATCH_UP + 1 + i) for i in range(MAX_CATCH_UP)]

    @pytest.mark.parametrize("step", [-3600, 3600])
    def test_a_stepped_wall_clock_never_fires_a_slot_twice(self, queue, step):
        clock = Clock()
        schedules = schedules_of(queue, clock)
        schedules.add("tick", b"x", every=60)
        fired = []
        for minute in range(1, 4):
            clock.now = T0 + 60 * minute
            fired += [schedules.fire_due()]
        clock.now += step            # stepped, then back
        fired += [schedules.fire_due()]
        clock.now -= step
        for minute in range(4, 7):
            clock.now = T0 + 60 * minute
            fired += [schedules.fire_due()]
        slots = [s for s, *_ in drain(queue)]
        assert len(slots) == len(set(slots))
        # Forward: the hour ahead gives one catch-up message; back: none. The
        # stored slot is ahead after a forward step, so the next minutes wait.
        assert fired == ([1, 1, 1, 1, 0, 0, 0] if step > 0 else [1, 1, 1, 0, 1, 1, 1])

    def test_pause_skips_slots_and_resume_starts_from_now(self, queue):
        clock = Clock()
        schedules = schedules_of(queue, clock)
        schedules.add("tick", b"x", every=10, catch_up="all")
        schedules.pause("tick")
        clock.now = T0 + 35
        assert schedules.fire_due() == 0
        assert schedules.list()[0].next_fire is None
        schedules.resume("tick")
        assert schedules.fire_due() == 0       # the paused-over slots are gone
        clock.now = T0 + 40
        assert schedules.fire_due() == 1
        schedules.remove("tick")
        clock.now = T0 + 100
        assert schedules.fire_due() == 0 and len(schedules) == 0

    def test_handles_racing_fire_each_slot_once(self, open_queue):
        handles = [open_queue() for _ in range(4 if open_queue.shared_store else 1)]
        clock = Clock()
        schedules_of(handles[0], clock).add("tick", b"x", every=1, catch_up="all")
        barrier = threading.Barrier(len(handles))
        counts = []

        def fire(handle):
            schedules = schedules_of(handle, clock)
            mine = 0
            for _ in range(30):
                barrier.wait()
                if handle is handles[0]:
                    clock.now += 1
                barrier.wait()
                mine += schedules.fire_due()
            counts.append(mine)
        threads = [threading.Thread(target=fire, args=(h,)) for h in handles]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        slots = [s for s, *_ in drain(handles[0])]
        assert sum(counts) == 30 and sorted(slots) == [slot_text(T0 + i) for i in range(1, 31)]


class TestCron:
    """What croniter gives, as a user meets it: month ends and DST."""

    def fired(self, cron, tz, start, end, step=timedelta(minutes=10)):
        queue = open_dict_queue(DictStore())
        clock = Clock(start.timestamp())
        schedules = schedules_of(queue, clock)
        schedules.add("job", b"x", cron=cron, tz=tz, catch_up="all")
        while clock.now < end.timestamp():
            clock.now += step.total_seconds()
            schedules.fire_due()
        zone = ZoneInfo(tz)
        return [datetime.fromisoformat(s.replace("Z", "+00:00")).astimezone(zone)
                for s, *_ in drain(queue)]

    def test_the_31st_fires_only_in_months_that_have_one(self):
        utc = "UTC"
        fired = self.fired("0 0 31 * *", utc, datetime(2026, 1, 15, tzinfo=timezone.utc),
                           datetime(2026, 6, 1, tzinfo=timezone.utc), timedelta(hours=6))
        assert [(f.month, f.day) for f in fired] == [(1, 31), (3, 31), (5, 31)]

    def test_a_daily_job_runs_once_on_both_dst_nights(self):
        berlin = ZoneInfo("Europe/Berlin")
        for start in (datetime(2026, 3, 28, 12, tzinfo=berlin),    # 02:00 -> 03:00
                      datetime(2026, 10, 24, 12, tzinfo=berlin)):  # 03:00 -> 02:00
            fired = self.fired("30 2 * * *", "Europe/Berlin", start, start + timedelta(days=3))
            assert [f.day for f in fired] == [start.day + 1, start.day + 2, start.day + 3]
            assert len({f.timestamp() for f in fired}) == 3

    def test_an_hourly_wildcard_runs_at_each_real_half_hour_when_clocks_go_back(self):
        berlin = ZoneInfo("Europe/Berlin")
        start = datetime(2026, 10, 25, 0, 45, tzinfo=berlin)
        # To 03:45 on the clock: four real hours, the one from 02:00 to 03:00 twice.
        fired = self.fired("*/30 * * * *", "Europe/Berlin", start, start + timedelta(hours=3))
        gaps = {b.timestamp() - a.timestamp() for a, b in zip(fired, fired[1:])}
        assert len(fired) == 8 and gaps == {1800.0}


class TestWorker:
    def test_a_worker_fires_a_schedule_added_while_it_waits(self, open_queue, tmp_path):
        if not open_queue.shared_store:
            pytest.skip("the worker and the test need two handles")
        worker_queue, queue = open_queue(lease=30.0), open_queue()
        seen = []
        worker = Worker(worker_queue, lambda m: seen.append(m.headers[SLOT_HEADER]) or (
            worker.stop() if len(seen) >= 2 else None))
        runner = threading.Thread(target=worker.run)
        runner.start()
        try:
            queue.schedules.add("tick", b"x", every=1)
            runner.join(60)
            assert not runner.is_alive(), "the worker did not fire two slots"
        finally:
            worker.stop()
            runner.join(30)
        assert len(seen) == 2 and seen[0] < seen[1]

    def test_a_worker_told_not_to_fires_nothing(self, open_queue):
        queue = open_queue()
        clock = Clock(0.0)  # long past: a slot is due at once
        schedules_of(queue, clock).add("tick", b"x", every=1)
        queue.put(b"stop")
        worker = Worker(queue, lambda m: worker.stop(), fire_schedules=False)
        worker.run()
        assert queue.qsize() == 0 and queue.schedules.list()[0].last_fire is None


FIRING_PROCESS = textwrap.dedent("""
    import sys, time
    from tarnwick_queue import Queue
    where, name, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
    if name:  # psycopg is an extra, so it is imported only where needed
        from tarnwick_queue.postgres import PostgresQueue
        queues = [PostgresQueue(where, name), PostgresQueue(where, name)]
    else:
        queues = [Queue(where)]
    print("ready", flush=True)
    sys.stdin.readline()
    fired, end = 0, time.monotonic() + seconds
    while time.monotonic() < end:
        for queue in queues:
            fired += queue.schedules.fire_due()
        time.sleep(0.01)
    print(fired, flush=True)
""")


def _where(backend, queue_dir, request):
    if backend == "postgres":
        return request.getfixturevalue("pg_dsn"), request.getfixturevalue("pg_name")
    return queue_dir, ""


@pytest.mark.parametrize("backend", ["disk", "postgres"])
class TestProcesses:
    def test_four_processes_fire_every_slot_once(self, open_queue, backend, queue_dir, request):
        queue = open_queue()
        queue.schedules.add("tick", b"x", every=1.0, catch_up="all")
        where, name = _where(backend, queue_dir, request)
        firing = [subprocess.Popen([sys.executable, "-c", FIRING_PROCESS, where, name, "10"],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
                  for _ in range(4)]
        for p in firing:
            assert p.stdout.readline().strip() == "ready"
        for p in firing:
            p.stdin.write("go\n")
            p.stdin.flush()
        counts = [int(p.communicate(timeout=120)[0]) for p in firing]
        slots = sorted(s for s, *_ in drain(queue))
        epochs = [datetime.fromisoformat(s.replace("Z", "+00:00")).timestamp() for s in slots]
        assert sum(counts) == len(slots) >= 8
        assert epochs == [epochs[0] + i for i in range(len(epochs))]  # none missed, none twice

    def test_four_workers_fire_and_run_every_slot_once(self, open_queue, backend, queue_dir,
                                                        request, tmp_path):
        from processes import start_tarnwick, stop
        queue = open_queue()
        queue.schedules.add("tick", b"x", every=1.0, catch_up="all")
        where, name = _where(backend, queue_dir, request)
        ran = tmp_path / "ran"
        (tmp_path / "slots.py").write_text(textwrap.dedent(f"""
            import os
            def handle(message):
                line = (message.headers["{SLOT_HEADER}"] + "\\n").encode()
                fd = os.open({str(ran)!r}, os.O_WRONLY | os.O_APPEND | os.O_CREAT)
                os.write(fd, line)
                os.close(fd)
        """))
        target = ["--dsn", where, "--queue", name] if name else ["--queue", where]
        supervisor = start_tarnwick("worker", "slots:handle", *target, "--processes", 4,
                                    cwd=tmp_path, stderr=subprocess.PIPE)
        try:
            threading.Event().wait(10)
        finally:
            status = stop(supervisor, timeout=60)
        assert status == 0, supervisor.stderr.read().decode()
        slots = sorted(ran.read_text().split() + [s for s, *_ in drain(queue)])
        epochs = [datetime.fromisoformat(s.replace("Z", "+00:00")).timestamp() for s in slots]
        assert len(epochs) >= 5
        assert epochs == [epochs[0] + i for i in range(len(epochs))]  # none missed, none twice

    def test_a_process_killed_while_firing_leaves_each_slot_fired_once(
            self, open_queue, backend, queue_dir, request):
        # Each fire_due of the child moves its clock on a slot; it is killed
        # at arbitrary points over and over, and a fresh one goes on.
        queue = open_queue()
        Schedules(queue.driver, clock=lambda: T0).add("tick", b"x", every=1, catch_up="all")
        where, name = _where(backend, queue_dir, request)
        child = textwrap.dedent(f"""
            import sys, time
            from tarnwick_queue import Queue, Schedules
            where, name = sys.argv[1], sys.argv[2]
            if name:
                from tarnwick_queue.postgres import PostgresQueue
                queue = PostgresQueue(where, name)
            else:
                queue = Queue(where)
            start = time.time()
            schedules = Schedules(queue.driver, clock=lambda: {T0} + (time.time() - start) * 200)
            print("ready", flush=True)
            while True:
                schedules.fire_due()
        """)
        for round in range(6):
            p = subprocess.Popen([sys.executable, "-c", child, where, name],
                                 stdout=subprocess.PIPE, text=True)
            assert p.stdout.readline().strip() == "ready"
            threading.Event().wait(0.2 + 0.05 * round)
            os.kill(p.pid, signal.SIGKILL)
            p.wait()
            p.stdout.close()
        slots = sorted(s for s, *_ in drain(queue))
        epochs = [datetime.fromisoformat(s.replace("Z", "+00:00")).timestamp() for s in slots]
        assert len(epochs) == len(set(epochs)) and epochs
        # Each child's clock restarts near T0, so the slots form one run from T0 on.
        assert epochs == [T0 + 1 + i for i in range(len(epochs))]


@pytest.mark.parametrize("backend", ["disk", "postgres"])
def test_the_command_line_adds_lists_pauses_and_removes(backend, queue_dir, request):
    from processes import run_tarnwick
    where, name = _where(backend, queue_dir, request)
    target = ["--dsn", where, name] if name else [where]

    def tarnwick(action, *args):
        done = run_tarnwick("schedule", action, *target, *args)
        return done.returncode, done.stdout.decode(), done.stderr.decode()
    code, out, _ = tarnwick("add", "nightly", "report", "--cron", "0 3 * * *", "--tz",
                            "Europe/Berlin", "--priority", "5", "--header", "task=r", "--json")
    assert code == 0 and json.loads(out)["next_fire"] is not None
    assert tarnwick("add", "tick", "x", "--every", "60")[0] == 0
    code, _, err = tarnwick("add", "tick", "y", "--every", "30")
    assert code == 1 and "exists already" in err
    code, _, err = tarnwick("add", "bad", "y", "--cron", "99 * * * *")
    assert code == 1 and "cron" in err
    assert tarnwick("pause", "tick")[0] == 0
    code, out, _ = tarnwick("list", "--json")
    listed = {s["name"]: s for s in json.loads(out)}
    assert listed["nightly"]["cron"] == "0 3 * * *" and listed["nightly"]["priority"] == 5
    assert listed["nightly"]["headers"] == {"task": "r"} and listed["nightly"]["body"] == "report"
    assert listed["tick"]["paused"] and listed["tick"]["next_fire"] is None
    assert "nightly" in tarnwick("list")[1]
    assert tarnwick("remove", "tick")[0] == 0
    code, _, err = tarnwick("remove", "tick")
    assert code == 1 and "no schedule named" in err
    assert [s["name"] for s in json.loads(tarnwick("list", "--json")[1])] == ["nightly"]
