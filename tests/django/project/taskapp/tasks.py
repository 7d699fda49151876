"""The tasks the tests run. Those that coordinate with a test do it through
files in the directory they are given."""
import os
import time

try:
    from django.tasks import task
except ImportError:
    from django_tasks import task

def _append(path, line):
    with open(path, "a") as f:
        f.write(line + "\n")
        f.flush()
        os.fsync(f.fileno())

@task
def add(a, b):
    return a + b

@task
async def async_add(a, b):
    return a + b

@task
def fail(text):
    raise ValueError(text)

@task(takes_context=True)
def flaky(context, marks, fails):
    """Fails its first `fails` attempts, then returns its attempt number."""
    _append(os.path.join(marks, "attempts"), str(context.attempt))
    if context.attempt <= fails:
        raise RuntimeError(f"attempt {context.attempt} fails")
    return {"attempt": context.attempt}

@task
def record(marks, name):
    _append(os.path.join(marks, "order"), name)
    return name

@task(takes_context=True)
def hang_first(context, marks):
    """On its first attempt, says so and hangs (the test kills its worker);
    later ones return the attempt number."""
    _append(os.path.join(marks, "started"), f"{context.attempt} {os.getpid()}")
    if context.attempt == 1:
        time.sleep(3600)
    return context.attempt

@task
def wait_for_release(marks):
    """Says it started, then runs until the test creates `release`."""
    _append(os.path.join(marks, "started"), str(os.getpid()))
    while not os.path.exists(os.path.join(marks, "release")):
        time.sleep(0.02)
    return "released"
