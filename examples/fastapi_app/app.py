"""A FastAPI app whose background work survives a restart: each route puts a
job into a tarnwick queue, and a `tarnwick worker` process runs it. A reply
of 202 means the job is on disk; if the app is killed after that, the job
still runs. Run, from this directory:

    uvicorn app:app                                      # the web app
    tarnwick worker jobs:handle --queue queues/jobs      # the worker, beside it

JOBS_QUEUE names the queue's directory (default: queues/jobs).
"""

import json
import os
from contextlib import asynccontextmanager
from typing import AsyncIterator, Dict

from fastapi import FastAPI, Request
from pydantic import BaseModel

from tarnwick_queue import AsyncQueue, Queue

QUEUE_DIR = os.environ.get("JOBS_QUEUE", "queues/jobs")


@asynccontextmanager
async def lifespan(app: FastAPI) -> AsyncIterator[None]:
    # One handle per app process, opened before the first request and closed
    # after the last; the async face is a view of the same handle.
    with Queue(QUEUE_DIR) as queue:
        app.state.jobs = queue
        app.state.async_jobs = AsyncQueue.wrap(queue)
        yield


app = FastAPI(lifespan=lifespan)


class Email(BaseModel):
    to: str
    subject: str


class Report(BaseModel):
    name: str


def job(kind: str, args: BaseModel) -> bytes:
    return json.dumps({"kind": kind, "args": args.model_dump()}).encode()


@app.post("/emails", status_code=202)
def send_email(email: Email, request: Request) -> Dict[str, int]:
    # A plain `def` route runs in FastAPI's thread pool: the put may block.
    return {"id": request.app.state.jobs.put(job("email", email))}


@app.post("/reports", status_code=202)
async def build_report(report: Report, request: Request) -> Dict[str, int]:
    # An `async def` route runs on the event loop: the put is one write and
    # its sync, and AsyncQueue also wakes any get() waiting on this loop.
    return {"id": await request.app.state.async_jobs.put(job("report", report))}
