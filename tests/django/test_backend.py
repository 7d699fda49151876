"""TarnwickBackend with real Django and real worker processes: results,
retries, a worker killed mid-task, priorities, run_after, ids that name no
task, the system checks and the signals."""

import datetime
import json
import os
import signal

import pytest
from django.utils import timezone
from taskapp import tasks

from tarnwick_queue.django import WorkerLost
from tarnwick_queue.django._compat import (
    TaskResultDoesNotExist,
    TaskResultStatus,
    task_backends,
    task_enqueued,
)


def _backend():
    return task_backends["default"]


def test_a_task_runs_and_its_result_has_every_field(project):
    before = timezone.now()
    enqueued = tasks.add.enqueue(2, 3)
    assert enqueued.status == TaskResultStatus.READY
    assert tasks.add.get_result(enqueued.id) == enqueued  # every field, as stored

    project.worker("--batch", "--worker-id", "worker-a")

    result = tasks.add.get_result(enqueued.id)
    assert result.status == TaskResultStatus.SUCCESSFUL
    assert result.return_value == 5
    assert result.args == [2, 3] and result.kwargs == {}
    assert result.errors == []
    assert result.worker_ids == ["worker-a"] and result.attempts == 1
    assert result.backend == "default"
    assert result.task.func is tasks.add.func and result.task.queue_name == "default"
    # The store's times (of a clock no worse than a millisecond's rounding).
    slack = datetime.timedelta(milliseconds=5)
    assert before - slack <= result.enqueued_at <= result.started_at + slack
    assert result.started_at == result.last_attempted_at
    assert result.started_at <= result.finished_at + slack
    assert result.is_finished

    # refresh() reads the same store.
    enqueued.refresh()
    assert enqueued.status == TaskResultStatus.SUCCESSFUL and enqueued.return_value == 5


def test_the_result_is_read_from_another_process(project):
    enqueued = tasks.add.enqueue(20, 22)
    project.worker("--batch")
    code = ("import json, sys; from taskapp import tasks; "
            f"r = tasks.add.get_result({enqueued.id!r}); "
            "print(json.dumps([r.status, r.return_value, r.attempts]))")
    done = project.manage("shell", "-c", code)
    assert json.loads(done.stdout.strip().splitlines()[-1]) == ["SUCCESSFUL", 42, 1]


def test_a_failing_task_is_retried_up_to_max_attempts_then_failed(project):
    enqueued = tasks.fail.enqueue("boom")
    project.worker("--batch", "--worker-id", "w")
    result = tasks.fail.get_result(enqueued.id)
    assert result.status == TaskResultStatus.FAILED
    assert result.attempts == 3 and result.worker_ids == ["w"] * 3
    assert len(result.errors) == 3
    for error in result.errors:
        assert error.exception_class is ValueError
        assert error.exception_class_path == "builtins.ValueError"
        assert "ValueError: boom" in error.traceback and "Traceback" in error.traceback
        assert "in fail" in error.traceback  # the task's own frame
    with pytest.raises(ValueError):
        result.return_value
    assert result.finished_at is not None


def test_a_task_that_fails_then_succeeds_keeps_its_errors(project):
    enqueued = tasks.flaky.enqueue(project.marks, 1)
    project.worker("--batch")
    result = tasks.flaky.get_result(enqueued.id)
    assert result.status == TaskResultStatus.SUCCESSFUL
    assert result.return_value == {"attempt": 2}  # TaskContext.attempt counts attempts
    assert result.attempts == 2
    assert [e.exception_class_path for e in result.errors] == ["builtins.RuntimeError"]
    assert "attempt 1 fails" in result.errors[0].traceback
    assert project.marks_of("attempts") == ["1", "2"]


def test_a_worker_killed_mid_task_leaves_it_to_another(project_at, home, tmp_path):
    # A short lease, to run out on purpose once its worker is killed.
    project = project_at(dict(home, LEASE=2, MAX_ATTEMPTS=3), tmp_path)
    enqueued = tasks.hang_first.enqueue(project.marks)
    first = project.start_worker("--worker-id", "first")
    project.wait_for(lambda: project.marks_of("started"), "the first attempt started")
    assert tasks.hang_first.get_result(enqueued.id).status == TaskResultStatus.RUNNING
    first.send_signal(signal.SIGKILL)
    first.wait()

    project.worker("--max-tasks", "1", "--worker-id", "second")
    result = tasks.hang_first.get_result(enqueued.id)
    assert result.status == TaskResultStatus.SUCCESSFUL
    assert result.return_value == 2
    assert result.attempts == 2 and result.worker_ids == ["first", "second"]
    assert result.errors == []  # the killed attempt raised nothing
    assert [line.split()[0] for line in project.marks_of("started")] == ["1", "2"]


def test_a_task_killed_on_its_last_attempt_fails(project_at, disk_home, tmp_path):
    project = project_at(dict(disk_home, LEASE=2, MAX_ATTEMPTS=1), tmp_path)
    enqueued = tasks.hang_first.enqueue(project.marks)
    first = project.start_worker("--worker-id", "first")
    project.wait_for(lambda: project.marks_of("started"), "the first attempt started")
    first.send_signal(signal.SIGKILL)
    first.wait()
    # The next take after the lease finds its attempts spent.
    second = project.start_worker("--worker-id", "second")
    project.wait_for(lambda: tasks.hang_first.get_result(enqueued.id).status
                     == TaskResultStatus.FAILED, "the task failed")
    second.send_signal(signal.SIGTERM)
    assert second.wait() == 0
    result = tasks.hang_first.get_result(enqueued.id)
    assert result.attempts == 1 and result.worker_ids == ["first"]
    assert [e.exception_class for e in result.errors] == [WorkerLost]
    assert len(project.marks_of("started")) == 1  # never run a second time


def test_sigterm_lets_the_running_task_finish(project):
    enqueued = tasks.wait_for_release.enqueue(project.marks)
    worker = project.start_worker("--grace", "600")
    project.wait_for(lambda: project.marks_of("started"), "the task started")
    worker.send_signal(signal.SIGTERM)
    with open(os.path.join(project.marks, "release"), "w"):
        pass
    assert worker.wait(timeout=240) == 0
    result = tasks.wait_for_release.get_result(enqueued.id)
    assert result.status == TaskResultStatus.SUCCESSFUL and result.return_value == "released"


def test_higher_priorities_run_first(project):
    for name, priority in [("low", -10), ("mid", 0), ("high", 10), ("top", 100)]:
        tasks.record.using(priority=priority).enqueue(project.marks, name)
    project.worker("--batch")
    assert project.marks_of("order") == ["top", "high", "mid", "low"]


def test_run_after_delays_a_task(project):
    later = timezone.now() + datetime.timedelta(hours=1)
    deferred = tasks.record.using(run_after=later).enqueue(project.marks, "later")
    soon = timezone.now() + datetime.timedelta(seconds=2)
    delayed = tasks.record.using(run_after=soon).enqueue(project.marks, "soon")
    now = tasks.record.enqueue(project.marks, "now")

    project.worker("--batch")
    assert project.marks_of("order") == ["now"]
    assert tasks.record.get_result(deferred.id).status == TaskResultStatus.READY
    assert tasks.record.get_result(deferred.id).task.run_after == later
    info = {i.id: i for i in _backend().queue("default").peek()}
    due = info[int(deferred.id.split(":")[1])]
    # Due no earlier than run_after (to the store's millisecond), not much later.
    assert due.state == "scheduled"
    assert later.timestamp() - 0.001 <= due.due_at < later.timestamp() + 60

    project.worker("--max-tasks", "1")  # waits for the one due in seconds
    assert project.marks_of("order") == ["now", "soon"]
    result = tasks.record.get_result(delayed.id)
    assert result.status == TaskResultStatus.SUCCESSFUL
    assert result.started_at >= soon - datetime.timedelta(milliseconds=1)
    assert tasks.record.get_result(now.id).status == TaskResultStatus.SUCCESSFUL


def test_async_tasks_and_aenqueue(project):
    import asyncio

    async def go():
        return await tasks.async_add.aenqueue(1, 2)

    enqueued = asyncio.run(go())
    project.worker("--batch")
    result = asyncio.run(tasks.async_add.aget_result(enqueued.id))
    assert result.status == TaskResultStatus.SUCCESSFUL and result.return_value == 3


def test_queues_are_taken_in_the_order_given(project):
    tasks.record.using(queue_name="default").enqueue(project.marks, "default")
    tasks.record.using(queue_name="emails").enqueue(project.marks, "emails")
    project.worker("--batch", "--queue-name", "emails,default")
    assert project.marks_of("order") == ["emails", "default"]
    tasks.record.using(queue_name="emails").enqueue(project.marks, "only-emails")
    tasks.record.using(queue_name="default").enqueue(project.marks, "left")
    project.worker("--batch", "--queue-name", "emails")
    assert project.marks_of("order")[2:] == ["only-emails"]
    project.worker("--batch", "--queue-name", "*")
    assert project.marks_of("order")[3:] == ["left"]


def test_ids_that_name_no_task(project):
    real = tasks.add.enqueue(1, 1)
    queue, number, nonce = real.id.split(":")
    other_nonce = "0" * 12 if nonce != "0" * 12 else "1" * 12
    for bad in ["", "nope", "default:1", f"default:{number}:{other_nonce}",
                f"default:{int(number) + 1000}:{nonce}", f"nosuchqueue:{number}:{nonce}",
                f"emails:{number}:{nonce}", f"default:-1:{nonce}",
                f"default:{number}:{nonce}x", None, 17]:
        with pytest.raises(TaskResultDoesNotExist):
            _backend().get_result(bad)
    assert _backend().get_result(real.id).args == [1, 1]


def test_the_enqueued_signal(project):
    seen = []

    def receiver(sender, task_result, **kwargs):
        seen.append((sender, task_result.id, task_result.status))

    task_enqueued.connect(receiver)
    try:
        result = tasks.add.enqueue(1, 2)
    finally:
        task_enqueued.disconnect(receiver)
    assert seen == [(type(_backend()), result.id, TaskResultStatus.READY)]


def test_the_started_and_finished_signals(project):
    good = tasks.add.enqueue(1, 2)
    bad = tasks.fail.enqueue("no")
    project.worker("--batch")
    lines = [line.split() for line in project.marks_of("signals")]
    assert lines[:2] == [["started", good.id, "RUNNING", "1", "0"],
                         ["finished", good.id, "SUCCESSFUL", "1", "0"]]
    # Each attempt starts; the task finishes once, failed after its last.
    assert lines[2:] == [["started", bad.id, "RUNNING", "1", "0"],
                         ["started", bad.id, "RUNNING", "2", "1"],
                         ["started", bad.id, "RUNNING", "3", "2"],
                         ["finished", bad.id, "FAILED", "3", "3"]]


def test_a_view_enqueues(project):
    from django.test import Client
    answer = Client().get("/add", {"a": 4, "b": 5}).json()
    project.worker("--batch")
    assert tasks.add.get_result(answer["id"]).return_value == 9


def test_processes_run_tasks_side_by_side_under_a_supervisor(project):
    first = tasks.wait_for_release.enqueue(project.marks)
    second = tasks.wait_for_release.enqueue(project.marks)
    supervisor = project.start_worker("--processes", "2")
    # Both run at once: two worker processes.
    project.wait_for(lambda: len(project.marks_of("started")) == 2, "two tasks started")
    assert len(set(project.marks_of("started"))) == 2
    with open(os.path.join(project.marks, "release"), "w"):
        pass
    project.wait_for(lambda: all(tasks.wait_for_release.get_result(r.id).is_finished
                                 for r in (first, second)), "both tasks finished")
    supervisor.send_signal(signal.SIGTERM)
    assert supervisor.wait(timeout=240) == 0
    results = [tasks.wait_for_release.get_result(r.id) for r in (first, second)]
    assert [r.status for r in results] == [TaskResultStatus.SUCCESSFUL] * 2
    pids = sorted(line for line in project.marks_of("started"))
    assert sorted(r.worker_ids[0].rsplit(":", 1)[1] for r in results) == pids


def test_enqueue_joins_the_callers_transaction(project_at, pg_schema_dsn, tmp_path):
    project = project_at({"DSN": pg_schema_dsn, "DATABASE": "default"}, tmp_path)
    project.env["TARNWICK_DJANGO_DATABASE"] = pg_schema_dsn
    code = "\n".join([
        "from django.db import transaction",
        "from taskapp import tasks",
        "try:",
        "    with transaction.atomic():",
        "        rolled_back = tasks.add.enqueue(1, 1)",
        "        raise RuntimeError",
        "except RuntimeError:",
        "    pass",
        "with transaction.atomic():",
        "    committed = tasks.add.enqueue(2, 2)",
        "outside = tasks.add.enqueue(3, 3)",
        "print(rolled_back.id, committed.id, outside.id)"])
    out = project.manage("shell", "-c", code).stdout
    rolled_back, committed, outside = out.strip().splitlines()[-1].split()
    with pytest.raises(TaskResultDoesNotExist):
        tasks.add.get_result(rolled_back)
    assert tasks.add.get_result(committed).status == TaskResultStatus.READY
    project.worker("--batch")
    assert tasks.add.get_result(committed).return_value == 4
    assert tasks.add.get_result(outside).return_value == 6
    assert project.manage("check").returncode == 0


def test_arguments_too_large_for_a_message_are_refused(project):
    with pytest.raises(ValueError, match="headers"):
        tasks.record.enqueue(project.marks, "x" * (70 << 10))
    assert _backend().queue("default").peek() == []


def test_a_task_past_the_grace_period_goes_back_to_its_queue(project):
    enqueued = tasks.wait_for_release.enqueue(project.marks)
    worker = project.start_worker("--grace", "0.5", "--worker-id", "stopped")
    project.wait_for(lambda: project.marks_of("started"), "the task started")
    worker.send_signal(signal.SIGTERM)  # the task never finishes by itself
    assert worker.wait(timeout=240) == 0
    result = tasks.wait_for_release.get_result(enqueued.id)
    assert result.status == TaskResultStatus.READY and result.errors == []

    with open(os.path.join(project.marks, "release"), "w"):
        pass
    project.worker("--batch", "--worker-id", "next")
    result = tasks.wait_for_release.get_result(enqueued.id)
    assert result.status == TaskResultStatus.SUCCESSFUL
    assert result.worker_ids == ["stopped", "next"]


def test_sigquit_stops_at_once(project):
    enqueued = tasks.wait_for_release.enqueue(project.marks)
    worker = project.start_worker("--grace", "600")
    project.wait_for(lambda: project.marks_of("started"), "the task started")
    worker.send_signal(signal.SIGQUIT)
    assert worker.wait(timeout=240) == 0
    assert tasks.wait_for_release.get_result(enqueued.id).status == TaskResultStatus.READY


def test_the_backend_says_what_it_supports(project):
    backend = _backend()
    assert (backend.supports_defer, backend.supports_async_task, backend.supports_get_result,
            backend.supports_priority) == (True, True, True, True)


def test_the_lease_of_a_running_task_is_kept_alive(project_at, disk_home, tmp_path):
    import time
    project = project_at(dict(disk_home, LEASE=3), tmp_path)
    enqueued = tasks.wait_for_release.enqueue(project.marks)
    worker = project.start_worker("--worker-id", "holder")
    project.wait_for(lambda: project.marks_of("started"), "the task started")
    # Long enough for the lease to run out twice, were it not renewed.
    time.sleep(7)
    project.worker("--batch", "--worker-id", "thief")
    assert len(project.marks_of("started")) == 1
    assert tasks.wait_for_release.get_result(enqueued.id).status == TaskResultStatus.RUNNING
    with open(os.path.join(project.marks, "release"), "w"):
        pass
    project.wait_for(lambda: tasks.wait_for_release.get_result(enqueued.id).is_finished,
                     "the task finished")
    worker.send_signal(signal.SIGTERM)
    assert worker.wait(timeout=240) == 0
    result = tasks.wait_for_release.get_result(enqueued.id)
    assert result.status == TaskResultStatus.SUCCESSFUL and result.worker_ids == ["holder"]


def test_preallocate_puts_each_queue_on_a_preallocated_log(project_at, disk_home, tmp_path):
    project = project_at({**disk_home, "PREALLOCATE": True}, tmp_path)
    enqueued = tasks.add.enqueue(2, 3)
    with open(os.path.join(disk_home["PATH"], "default", "queue.log"), "rb") as log:
        assert log.read(4) == b"TWF5"
    project.worker("--batch")
    assert tasks.add.get_result(enqueued.id).return_value == 5
