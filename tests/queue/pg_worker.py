"""A producer or consumer process for the PostgreSQL fault tests. It logs
each step to its own file with one unbuffered write per line, so a SIGKILL
loses at most the step under way:

    python pg_worker.py produce DSN NAME LOG FIRST COUNT
    python pg_worker.py consume DSN NAME LOG LEASE STOP_FILE

A consumer runs until STOP_FILE exists and the queue has nothing ready.
Lost connections are retried, as a real worker would.
"""

import os
import random
import sys
import time

from tarnwick_queue import Empty, LeaseLost
from tarnwick_queue.postgres import ConnectionLost, PostgresQueue


def open_queue(dsn, name, log):
    while True:
        try:
            return PostgresQueue(dsn, name)
        except ConnectionLost:
            log("reconnect")
            time.sleep(0.05)


def main(mode, dsn, name, path, *args):
    fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)

    def log(*fields):
        os.write(fd, (" ".join(str(f) for f in fields) + "\n").encode())

    queue = open_queue(dsn, name, log)
    if mode == "produce":
        first, count = int(args[0]), int(args[1])
        for i in range(first, first + count):
            body = f"m{i}"
            log("try", body)
            while True:
                try:
                    log("put", body, queue.put(body.encode()))
                    time.sleep(0.005)  # spread over the run
                    break
                except ConnectionLost:
                    log("unknown", body)  # stored or not: try again
                    time.sleep(0.05)
        return
    lease, stop_file = float(args[0]), args[1]
    while True:
        try:
            message = queue.get(timeout=0.2, lease=lease)
        except Empty:
            if os.path.exists(stop_file):
                return
            continue
        except ConnectionLost:
            log("reconnect")
            time.sleep(0.05)
            continue
        log("got", message.id, message.deliveries, f"{time.time():.6f}",
            f"{message.lease_expires_at:.6f}", message.body.decode())
        if random.random() < 0.05:
            time.sleep(lease * 1.3)  # past the lease: the message goes to another
        log("acking", message.id, message.deliveries)
        try:
            message.ack()
            log("acked", message.id, message.deliveries)
        except LeaseLost:
            log("lost", message.id, message.deliveries)
        except ConnectionLost:
            log("reconnect")


if __name__ == "__main__":
    main(*sys.argv[1:])
