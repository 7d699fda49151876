"""Runs Django's own tests of the tasks framework (tests/tasks in Django's
source release) that apply to a third-party backend, with TarnwickBackend
as the default backend.

Takes tests/tasks from the source archive of the installed Django release
(downloaded with pip into build/framework-suites), points the default
backend of test_tasks.py's settings at a TarnwickBackend on a fresh
directory, and runs pytest, leaving out what is listed below with the
reason. Extra arguments go to pytest.

    python tests/django/run_django_suite.py [-x] [-k expr]
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
from importlib.metadata import version

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "contrib"))

from framework_release import WORK, source_archive, suite_directory  # noqa: E402

# Files that test one of Django's own backends, not the framework.
SKIPPED_FILES = {
    "test_dummy_backend.py": "tests DummyBackend (its in-memory results list, clear())",
    "test_immediate_backend.py": "tests ImmediateBackend, which runs a task inside enqueue()",
    "test_custom_backend.py": "tests backends defined in the file itself",
}

# Cases of test_tasks.py that look at DummyBackend itself.
SKIPPED_CASES = {
    "test_tasks.py::TaskTestCase::test_using_correct_backend":
        "asserts the default backend is a DummyBackend",
    "test_tasks.py::TaskTestCase::test_get_backend": "asserts a DummyBackend",
    "test_tasks.py::TaskTestCase::test_enqueue_task":
        "compares with DummyBackend.results, its in-memory list",
    "test_tasks.py::TaskTestCase::test_enqueue_task_async":
        "compares with DummyBackend.results, its in-memory list",
}

DUMMY_DEFAULT = '''        "default": {
            "BACKEND": "django.tasks.backends.dummy.DummyBackend",
            "QUEUES": ["default", "queue_1"],
        },'''
TARNWICK_DEFAULT = '''        "default": {
            "BACKEND": "tarnwick_queue.django.TarnwickBackend",
            "QUEUES": ["default", "queue_1"],
            "OPTIONS": {"PATH": __import__("os").environ["TARNWICK_DJANGO_SUITE_QUEUES"]},
        },'''


def unpack() -> str:
    """tests/tasks of the release, as the package `tasks` beside our
    conftest; returns the directory to run pytest in."""
    release = version("django")
    archive = source_archive("django")
    suite = suite_directory("django")
    prefix = f"django-{release}/tests/tasks/"
    with tarfile.open(archive) as tar:
        members = [m for m in tar.getmembers() if m.name.startswith(prefix)]
        tar.extractall(WORK, members=members)
    os.makedirs(suite)
    os.rename(os.path.join(WORK, prefix), os.path.join(suite, "tasks"))
    shutil.rmtree(os.path.join(WORK, f"django-{release}"))
    shutil.copy(os.path.join(HERE, "django_suite", "suite_conftest.py"),
                os.path.join(suite, "conftest.py"))
    with open(os.path.join(suite, "pytest.ini"), "w") as ini:  # the root of node ids
        ini.write("[pytest]\n")
    path = os.path.join(suite, "tasks", "test_tasks.py")
    with open(path) as f:
        text = f.read()
    # The only change: the default backend, and no clear() of DummyBackend's list.
    if DUMMY_DEFAULT not in text or "default_task_backend.clear()" not in text:
        raise SystemExit(f"test_tasks.py of Django {release} is not laid out as expected")
    text = text.replace(DUMMY_DEFAULT, TARNWICK_DEFAULT)
    text = text.replace("default_task_backend.clear()", "pass")
    with open(path, "w") as f:
        f.write(text)
    return suite


def main(argv: list) -> int:
    suite = unpack()
    args = [sys.executable, "-m", "pytest", "tasks", "-q", "-p", "no:cacheprovider",
            "--timeout", "120", "-rfEs"]
    args += [f"--ignore=tasks/{name}" for name in SKIPPED_FILES]
    args += [f"--deselect=tasks/{case}" for case in SKIPPED_CASES]
    print(f"Django {version('django')}'s tests/tasks on TarnwickBackend: left out")
    for what, why in {**SKIPPED_FILES, **SKIPPED_CASES}.items():
        print(f"  {what}: {why}")
    sys.stdout.flush()
    with tempfile.TemporaryDirectory() as queues:
        env = dict(os.environ, TARNWICK_DJANGO_SUITE_QUEUES=queues)
        status = subprocess.run(args + argv, cwd=suite, env=env).returncode
    return 1 if status == 5 else status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
