"""Running code in a fresh interpreter that imports the same build."""

import os
import subprocess
import sys
import textwrap

# Large enough that single-record operations never wait for a full sync; the
# tests here are about the binding, not durability.
NO_SYNC_MS = 10**9


def run_python(source, *args, timeout=60):
    """Runs `source` in a fresh interpreter that imports the same build; returns stdout."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(source), *map(str, args)],
        capture_output=True,
        text=True,
        env=env,
        timeout=timeout,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


def start_python(source, *args):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(source), *map(str, args)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
    )
