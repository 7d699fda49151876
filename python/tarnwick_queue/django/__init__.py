"""Django's tasks framework on tarnwick queues (docs/django.md).

    TASKS = {"default": {"BACKEND": "tarnwick_queue.django.TarnwickBackend",
                         "OPTIONS": {"PATH": BASE_DIR / "queues"}}}

and "tarnwick_queue.django" in INSTALLED_APPS for `manage.py tarnwick_worker`.
"""

from .backend import TarnwickBackend, WorkerLost

__all__ = ["TarnwickBackend", "WorkerLost"]
