"""Running the `tarnwick` console script and finding worker processes, for
the worker and command-line suites."""

import os
import shutil
import signal
import subprocess
import sys
import threading
import time


def tarnwick_command():
    """The installed console script: beside this interpreter, else on PATH."""
    beside = os.path.join(os.path.dirname(sys.executable), "tarnwick")
    found = beside if os.access(beside, os.X_OK) else shutil.which("tarnwick")
    if found is None:
        raise RuntimeError("the tarnwick console script is not installed (pip install .)")
    return [found]


def run_tarnwick(*args, input=None, timeout=60, cwd=None):
    return subprocess.run(tarnwick_command() + [str(a) for a in args], input=input,
                          capture_output=True, timeout=timeout, cwd=cwd)


def start_tarnwick(*args, cwd=None, **popen):
    return subprocess.Popen(tarnwick_command() + [str(a) for a in args], cwd=cwd, **popen)


def _ps(*args, check=True):
    # Without the sanitizer runtime that a sanitized test run preloads: ps
    # can hang in it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    return subprocess.run(["ps", *args], capture_output=True, text=True, check=check, env=env,
                          timeout=30).stdout


def children(pid):
    """Process ids whose parent is `pid`."""
    out = _ps("-A", "-o", "pid=,ppid=")
    return sorted(int(p) for p, pp in (line.split() for line in out.splitlines())
                  if int(pp) == pid)


def wait_for(condition, timeout, what):
    give_up = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > give_up:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.05)


def run_until(worker, done, timeout=60):
    """Runs the worker in a thread until `done()` holds, then stops it."""
    thread = threading.Thread(target=worker.run)
    thread.start()
    try:
        wait_for(done, timeout, "the worker to finish its messages")
    finally:
        worker.stop()
        thread.join(60)
    assert not thread.is_alive()


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    # A zombie of a process this test did not start still answers kill(0).
    state = _ps("-o", "stat=", "-p", str(pid), check=False).strip()
    return bool(state) and not state.startswith("Z")


def stop(process, signum=signal.SIGTERM, timeout=30):
    """Signals a process started by a test and returns its exit status."""
    if process.poll() is None:
        process.send_signal(signum)
    return process.wait(timeout)
