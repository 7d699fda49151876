"""Runs dramatiq's own test files against TarnwickBroker.

Takes the test files from the source archive of the installed dramatiq
release (downloaded with pip into build/framework-suites), adds this
directory's dramatiq_suite/conftest.py (its `stub_broker` fixture builds a
TarnwickBroker) and common.py (the helpers the archive leaves out), and runs
pytest, leaving out what is listed below with the reason. Extra arguments go
to pytest.

    python tests/contrib/run_dramatiq_suite.py [-x] [-k expr]
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tarfile
from importlib.metadata import version

from framework_release import ROOT, WORK, source_archive, suite_directory

HERE = os.path.join(ROOT, "tests", "contrib", "dramatiq_suite")

# Files that need a server or another broker.
SKIPPED_FILES = {
    "test_redis.py": "RedisBroker against a Redis server",
    "test_rabbitmq.py": "RabbitmqBroker against a RabbitMQ server",
    "test_cli.py": "its broker module is a RedisBroker, which every case starts",
    "test_watch.py": "its broker module is a RedisBroker",
}

# Cases that need a server, look into the stub broker's own in-memory queues
# rather than use the broker's interface, or time a hand-over.
SKIPPED_CASES = {
    "test_broker.py::test_can_instantiate_brokers_without_middleware":
        "builds a RabbitmqBroker, which connects to RabbitMQ",
    "test_results.py::test_messages_without_actor_not_crashing_lookup_options":
        "needs the Redis result backend",
    "test_actors.py::test_actors_can_be_sent_messages":
        "reads the stub broker's queue.Queue of encoded messages",
    "test_stub_broker.py::test_stub_broker_can_be_flushed":
        "appends to the stub broker's dead_letters_by_queue lists",
    "test_worker.py::test_workers_process_messages_in_order":
        "asserts, without waiting, that the consumer holds each message a millisecond "
        "after its send: the stub broker hands over in memory, a durable lease is a "
        "disk write that a loaded machine delays",
}


def unpack() -> str:
    """The release's tests/ copied beside our conftest; returns the directory
    to run pytest in."""
    release = version("dramatiq")
    archive = source_archive("dramatiq")
    suite = suite_directory("dramatiq")
    with tarfile.open(archive) as tar:
        members = [m for m in tar.getmembers() if m.name.startswith(f"dramatiq-{release}/tests/")]
        tar.extractall(WORK, members=members)
    os.rename(os.path.join(WORK, f"dramatiq-{release}"), suite)
    tests = os.path.join(suite, "tests")
    for name in ("conftest.py", "common.py"):
        shutil.copy(os.path.join(HERE, name), tests)
    open(os.path.join(tests, "__init__.py"), "a").close()
    with open(os.path.join(suite, "pytest.ini"), "w") as ini:  # the root of node ids
        ini.write("[pytest]\n")
    return suite


def main(argv: list) -> int:
    suite = unpack()
    args = [sys.executable, "-m", "pytest", "tests", "-q", "-p", "no:cacheprovider",
            "--timeout", "120", "-rfEs"]
    args += [f"--ignore=tests/{name}" for name in SKIPPED_FILES]
    args += [f"--deselect=tests/{case}" for case in SKIPPED_CASES]
    print(f"dramatiq {version('dramatiq')}: left out")
    for what, why in {**SKIPPED_FILES, **SKIPPED_CASES}.items():
        print(f"  {what}: {why}")
    sys.stdout.flush()
    # tarnwick_queue comes from the environment: installed, or on PYTHONPATH.
    # dramatiq's command line reloads itself by running `python` from PATH:
    # this interpreter's, so that it finds dramatiq.
    env = dict(os.environ)
    env["PATH"] = os.path.dirname(sys.executable) + os.pathsep + env.get("PATH", "")
    status = subprocess.run(args + argv, cwd=suite, env=env).returncode
    return 1 if status == 5 else status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
