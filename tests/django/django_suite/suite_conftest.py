"""Copied as conftest.py beside Django's tests/tasks by run_django_suite.py:
the settings those tests run with (test_tasks.py's own override_settings
makes the default backend a TarnwickBackend)."""

import django
from django.conf import settings

settings.configure(
    SECRET_KEY="tests",
    USE_TZ=True,
    INSTALLED_APPS=["tarnwick_queue.django"],
    DATABASES={"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": ":memory:"}},
)
django.setup()
