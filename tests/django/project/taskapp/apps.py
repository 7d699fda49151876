from django.apps import AppConfig


class TaskAppConfig(AppConfig):
    name = "taskapp"

    def ready(self):
        from . import signals  # noqa: F401
