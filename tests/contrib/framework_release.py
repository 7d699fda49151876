"""The source archive of an installed framework release, for the scripts that
run the framework's own tests against our adapters."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from importlib.metadata import version

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WORK = os.path.join(ROOT, "build", "framework-suites")


def source_archive(project: str) -> str:
    """The path of `project`'s sdist for the installed release, downloaded
    with pip into build/framework-suites the first time."""
    archive = os.path.join(WORK, f"{project}-{version(project)}.tar.gz")
    if not os.path.exists(archive):
        os.makedirs(WORK, exist_ok=True)
        subprocess.run([sys.executable, "-m", "pip", "download", "-q", "--no-binary", ":all:",
                        "--no-deps", "-d", WORK, f"{project}=={version(project)}"], check=True)
    return archive


def suite_directory(project: str) -> str:
    """An empty directory to lay the suite out in (emptied when it exists)."""
    suite = os.path.join(WORK, f"{project}-{version(project)}-suite")
    shutil.rmtree(suite, ignore_errors=True)
    return suite
