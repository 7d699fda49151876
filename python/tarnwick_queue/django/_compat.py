"""Django's tasks framework where it is: `django.tasks` (Django 6.0 and
later), else the `django-tasks` backport that older Django releases use."""

from __future__ import annotations

from typing import Any

try:
    from django.tasks import TaskContext, TaskResult, TaskResultStatus
    from django.tasks import task_backends as task_backends
    from django.tasks.backends.base import BaseTaskBackend
    from django.tasks.base import Task, TaskError
    from django.tasks.exceptions import InvalidTask, TaskResultDoesNotExist
    from django.tasks.signals import task_enqueued, task_finished, task_started
    from django.utils.json import normalize_json
except ImportError:  # Django before 6.0, with the backport installed
    from django_tasks import (  # type: ignore[no-redef]
        TaskContext,
        TaskResult,
        TaskResultStatus,
        task_backends,
    )
    from django_tasks.backends.base import BaseTaskBackend  # type: ignore[no-redef]
    from django_tasks.base import Task, TaskError  # type: ignore[no-redef]
    from django_tasks.exceptions import (  # type: ignore[no-redef]
        InvalidTask,
        TaskResultDoesNotExist,
    )
    from django_tasks.signals import (  # type: ignore[no-redef]
        task_enqueued,
        task_finished,
        task_started,
    )
    from django_tasks.utils import normalize_json  # type: ignore[no-redef]

Json = Any

__all__ = ["BaseTaskBackend", "InvalidTask", "Json", "Task", "TaskContext", "TaskError",
           "TaskResult", "TaskResultDoesNotExist", "TaskResultStatus", "normalize_json",
           "task_backends", "task_enqueued", "task_finished", "task_started"]
