"""A Django project (tests/django/project) whose tasks run on tarnwick: the
test process enqueues and reads results in-process, workers run as
`manage.py tarnwick_worker` processes. The queues live in a directory or a
PostgreSQL schema of the test's own (the `home` fixture); the server is
the one tests/queue/pg_server.py starts (or TARNWICK_PG_DSN names)."""

import itertools
import json
import os
import subprocess
import sys
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
PROJECT = os.path.join(HERE, "project")
sys.path.insert(0, PROJECT)
sys.path.append(os.path.join(os.path.dirname(HERE), "queue"))
os.environ["DJANGO_SETTINGS_MODULE"] = "testproject.settings"

import django  # noqa: E402

django.setup()

from django.test.utils import override_settings  # noqa: E402
from pg_fixtures import pg_dsn, pg_server  # noqa: E402,F401 (fixtures)

_schemas = itertools.count()


@pytest.fixture
def pg_schema_dsn(pg_dsn):
    """A DSN whose tables live in a schema no other test uses."""
    import psycopg
    from psycopg.conninfo import make_conninfo
    schema = f"django_{os.getpid()}_{next(_schemas)}"
    with psycopg.connect(pg_dsn, autocommit=True) as conn:
        conn.execute(f"CREATE SCHEMA {schema}")
    yield make_conninfo(pg_dsn, options=f"-csearch_path={schema}")
    from tarnwick_queue.django.backend import close_shared_queues
    close_shared_queues()
    with psycopg.connect(pg_dsn, autocommit=True) as conn:
        conn.execute("SET lock_timeout = 10000")
        conn.execute(f"DROP SCHEMA {schema} CASCADE")


@pytest.fixture(params=["disk", "postgres"])
def home(request, tmp_path):
    """Where the queues live: OPTIONS' PATH or DSN."""
    if request.param == "disk":
        path = tmp_path / "queues"
        path.mkdir()
        return {"PATH": str(path)}
    return {"DSN": request.getfixturevalue("pg_schema_dsn")}


@pytest.fixture
def disk_home(tmp_path):
    path = tmp_path / "queues"
    path.mkdir()
    return {"PATH": str(path)}


class Project:
    """The test project with `options` as the backend's OPTIONS, here and in
    the processes it starts."""

    def __init__(self, options, tmp_path):
        self.options = options
        self.marks = str(tmp_path / "marks")
        os.makedirs(self.marks, exist_ok=True)
        self.signals = os.path.join(self.marks, "signals")
        self.env = dict(os.environ, TARNWICK_DJANGO_OPTIONS=json.dumps(options),
                        TARNWICK_SIGNALS_FILE=self.signals,
                        PYTHONPATH=os.pathsep.join([PROJECT] + [p for p in sys.path if p]))
        self.processes = []

    def manage(self, *args, check=True):
        """Runs manage.py with `args` to its end."""
        done = subprocess.run([sys.executable, os.path.join(PROJECT, "manage.py"), *args],
                              cwd=PROJECT, env=self.env, capture_output=True, text=True,
                              timeout=240)
        if check:
            assert done.returncode == 0, done.stdout + done.stderr
        return done

    def worker(self, *args):
        """Runs `tarnwick_worker args` to its end."""
        return self.manage("tarnwick_worker", *args)

    def start_worker(self, *args):
        """Starts `tarnwick_worker args`; stopped at the end of the test."""
        process = subprocess.Popen(
            [sys.executable, os.path.join(PROJECT, "manage.py"), "tarnwick_worker", *args],
            cwd=PROJECT, env=self.env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            text=True)
        self.processes.append(process)
        return process

    def marks_of(self, name):
        path = os.path.join(self.marks, name)
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return f.read().split("\n")[:-1]

    def wait_for(self, predicate, what, timeout=120.0):
        """Waits for another process's doing (a file it writes), with a
        generous deadline that only a hang reaches."""
        give_up = time.monotonic() + timeout
        while not predicate():
            assert time.monotonic() < give_up, f"never happened: {what}"
            time.sleep(0.02)

    def close(self):
        for process in self.processes:
            if process.poll() is None:
                process.kill()
            process.wait()
            if process.stdout is not None:
                process.stdout.close()


@pytest.fixture
def project_at():
    """project_at(options): the project with those OPTIONS."""
    made = []

    def make(options, tmp_path):
        project = Project(options, tmp_path)
        settings = override_settings(TASKS={"default": {
            "BACKEND": "tarnwick_queue.django.TarnwickBackend",
            "QUEUES": ["default", "emails"],
            "OPTIONS": {**options, **({"BACKOFF": tuple(options["BACKOFF"])}
                                      if "BACKOFF" in options else {})}}})
        settings.enable()
        made.append((project, settings))
        return project

    yield make
    from tarnwick_queue.django.backend import close_shared_queues
    for project, settings in made:
        project.close()
        settings.disable()
    close_shared_queues()


@pytest.fixture
def project(project_at, home, tmp_path):
    """The project on `home`, retrying at once (BACKOFF 0) up to 3 times."""
    return project_at(dict(home, MAX_ATTEMPTS=3, BACKOFF=[0, 1, 0]), tmp_path)
