"""Writes each task signal a worker sends to TARNWICK_SIGNALS_FILE, one line
per signal: the signal, the task's id, its status and attempts."""
import os

from tarnwick_queue.django._compat import task_finished, task_started


def _note(kind, task_result):
    where = os.environ.get("TARNWICK_SIGNALS_FILE")
    if where:
        with open(where, "a") as f:
            f.write(f"{kind} {task_result.id} {task_result.status} {task_result.attempts} "
                    f"{len(task_result.errors)}\n")


def on_started(sender, task_result, **kwargs):
    _note("started", task_result)


def on_finished(sender, task_result, **kwargs):
    _note("finished", task_result)


task_started.connect(on_started)
task_finished.connect(on_finished)
