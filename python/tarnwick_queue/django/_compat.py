"""Django's tasks framework where it is: `django.tasks` (Django 6.0 and
later), else the `django-tasks` backport that older Django releases use."""

from __future__ import annotations

from importlib import import_module
from typing import Any

try:
    _root = import_module("django.tasks")
    _json = import_module("django.utils.json")
    _ROOT = "django.tasks"
except ImportError:  # Django before 6.0, with the backport installed
    _root = import_module("django_tasks")
    _json = import_module("django_tasks.utils")
    _ROOT = "django_tasks"

_base = import_module(f"{_ROOT}.base")
_backends = import_module(f"{_ROOT}.backends.base")
_exceptions = import_module(f"{_ROOT}.exceptions")
_signals = import_module(f"{_ROOT}.signals")

# Values the tasks store: what Django's JSON normalisation gives.
Json = Any

BaseTaskBackend: Any = _backends.BaseTaskBackend
Task: Any = _base.Task
TaskContext: Any = _base.TaskContext
TaskError: Any = _base.TaskError
TaskResult: Any = _base.TaskResult
TaskResultDoesNotExist: Any = _exceptions.TaskResultDoesNotExist
TaskResultStatus: Any = _base.TaskResultStatus
normalize_json: Any = _json.normalize_json
task_backends: Any = _root.task_backends
task_enqueued: Any = _signals.task_enqueued
task_finished: Any = _signals.task_finished
task_started: Any = _signals.task_started

__all__ = ["BaseTaskBackend", "Json", "Task", "TaskContext", "TaskError",
           "TaskResult", "TaskResultDoesNotExist", "TaskResultStatus", "normalize_json",
           "task_backends", "task_enqueued", "task_finished", "task_started"]
