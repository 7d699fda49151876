"""The worker's side of app.py: `tarnwick worker jobs:handle --queue queues/jobs`.

Returning acks the job; raising retries it later (1 s, 2 s, 4 s ...), then
parks it in the dead letters. A job may run more than once (a worker killed
after the work and before the ack), so the work should be safe to repeat.
"""

import json
import os

from tarnwick_queue import Message

# Stands in for the real work: each job appends one line here.
OUTBOX = os.environ.get("JOBS_OUTBOX", "outbox.jsonl")


def handle(message: Message) -> None:
    job = json.loads(message.body)
    if job["kind"] not in ("email", "report"):
        message.dead(f"unknown kind {job['kind']!r}")  # no retry can help
        return
    # Send the email or build the report here. One write() on a file opened
    # with O_APPEND: concurrent workers' lines never interleave.
    line = json.dumps({"id": message.id, **job}) + "\n"
    with open(OUTBOX, "ab", buffering=0) as f:
        f.write(line.encode())
