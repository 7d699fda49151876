"""The handler the FastAPI test's worker runs: the example's jobs.handle, and
then, once, a pause after the work and before the ack, so that the test can
kill the worker while it holds a job that has run. Set JOBS_HOLD to a file."""

import os
import time

from jobs import handle as run_job

HOLD = os.environ["JOBS_HOLD"]
HOLD_FROM = 10  # holds the first job from this id on


def handle(message):
    run_job(message)
    if message.id < HOLD_FROM:
        return
    try:
        fd = os.open(HOLD, os.O_WRONLY | os.O_CREAT | os.O_EXCL)
    except FileExistsError:
        return  # held once already
    os.write(fd, str(message.id).encode())
    os.close(fd)
    time.sleep(600)  # until the test kills this process; the lease is kept alive meanwhile
