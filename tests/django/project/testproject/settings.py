"""A small project whose tasks run on tarnwick. The backend's OPTIONS come
from the environment (TARNWICK_DJANGO_OPTIONS, JSON), so that a test and
the workers it starts share one home for the queues."""
import json
import os

SECRET_KEY = "tests"
DEBUG = False
USE_TZ = True
INSTALLED_APPS = ["tarnwick_queue.django", "taskapp.apps.TaskAppConfig"]
try:
    import django.tasks  # noqa: F401 (Django 6.0 and later)
except ImportError:
    INSTALLED_APPS.append("django_tasks")  # the backport, for its checks and signals
DATABASES = {"default": {"ENGINE": "django.db.backends.sqlite3",
                         "NAME": os.environ.get("TARNWICK_DJANGO_DB", ":memory:")}}
if os.environ.get("TARNWICK_DJANGO_DATABASE"):
    # The project's database on PostgreSQL (a libpq connection string).
    from psycopg.conninfo import conninfo_to_dict
    _params = conninfo_to_dict(os.environ["TARNWICK_DJANGO_DATABASE"])
    DATABASES["default"] = {
        "ENGINE": "django.db.backends.postgresql", "NAME": _params.pop("dbname"),
        "USER": _params.pop("user", ""), "HOST": _params.pop("host", ""),
        "PORT": _params.pop("port", ""), "OPTIONS": _params}
ROOT_URLCONF = "testproject.urls"

_options = json.loads(os.environ.get("TARNWICK_DJANGO_OPTIONS") or "{}")
if "BACKOFF" in _options:
    _options["BACKOFF"] = tuple(_options["BACKOFF"])
TASKS = {
    "default": {
        "BACKEND": "tarnwick_queue.django.TarnwickBackend",
        "QUEUES": ["default", "emails"],
        "OPTIONS": _options or {"PATH": "/nonexistent"},
    },
}
