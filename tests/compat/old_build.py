"""An installed older build of tarnwick, made once and kept in a cache, for
checks that must run the old code itself (a format it must refuse).

The build is the commit's tree (`git archive`, no checkout of it) installed
with pip into a virtual environment of its own under the cache directory
($TARNWICK_COMPAT_CACHE, else build/compat-cache in the checkout). The first
build compiles the engine and both modules (a minute or two on 2 cores);
later runs find it and pay nothing. `python -m tests.compat.old_build` makes
every build the tests use ahead of them; a lock per build lets a test that
needs one wait for a build under way instead of making it twice."""

from __future__ import annotations

import fcntl
import os
import shutil
import subprocess
import sys
from typing import List, Optional, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
# The 0.1.0 release line: the build every format-1 reader stands for.
RELEASE_COMMIT = "032caa0"
# The last builds that wrote log formats 2, 3 and 4 (as their newest).
FORMAT_2_COMMIT = "2f945ad"
FORMAT_3_COMMIT = "48c81ee"
FORMAT_4_COMMIT = "1c5b4b1"
COMMITS = (RELEASE_COMMIT, FORMAT_2_COMMIT, FORMAT_3_COMMIT, FORMAT_4_COMMIT)


def cache_dir() -> str:
    return os.environ.get("TARNWICK_COMPAT_CACHE") or os.path.join(ROOT, "build", "compat-cache")


def _run(args: List[str], cwd: Optional[str] = None) -> Tuple[bool, str]:
    done = subprocess.run(args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True)
    return done.returncode == 0, done.stdout[-4000:]


def python_of(commit: str = RELEASE_COMMIT) -> Tuple[Optional[str], str]:
    """The Python of an environment with the build of `commit` installed, and
    why not (None) when it cannot be made here."""
    os.makedirs(cache_dir(), exist_ok=True)
    with open(os.path.join(cache_dir(), commit + ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)  # released with the file
        return _build(commit)


def _build(commit: str) -> Tuple[Optional[str], str]:
    home = os.path.join(cache_dir(), commit)
    python = os.path.join(home, "venv", "bin", "python")
    probe = [python, "-c", "import tarnwick, tarnwick_queue"]
    if os.path.exists(python) and _run(probe)[0]:
        return python, ""
    if shutil.which("git") is None or not os.path.exists(os.path.join(ROOT, ".git")):
        return None, "no git checkout to take the tree of commit " + commit + " from"
    shutil.rmtree(home, ignore_errors=True)
    source = os.path.join(home, "source")
    os.makedirs(source)
    archive = subprocess.run(["git", "-C", ROOT, "archive", "--format=tar", commit],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if archive.returncode != 0:
        return None, f"git archive {commit} failed: {archive.stderr.decode()[-500:]}"
    extract = subprocess.run(["tar", "-x", "-C", source], input=archive.stdout,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if extract.returncode != 0:
        return None, "could not unpack the tree of " + commit
    ok, out = _run([sys.executable, "-m", "venv", os.path.join(home, "venv")])
    if not ok:
        return None, "could not make a virtual environment: " + out
    ok, out = _run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check",
                    source])
    if not ok or not _run(probe)[0]:
        return None, f"pip install of commit {commit} failed: {out}"
    return python, ""


if __name__ == "__main__":
    # What cannot be built here is said, and left to the tests to skip.
    for commit in sys.argv[1:] or COMMITS:
        found, why = python_of(commit)
        print(f"{commit}: {found or why}")
