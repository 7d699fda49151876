"""The Django app that gives `manage.py tarnwick_worker`."""

from __future__ import annotations

from django.apps import AppConfig


class TarnwickConfig(AppConfig):
    name = "tarnwick_queue.django"
    label = "tarnwick"
    verbose_name = "tarnwick tasks"
