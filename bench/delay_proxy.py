#!/usr/bin/env python3
"""A loopback TCP proxy that delays every byte by a fixed time in each
direction, so that clients see a database a round trip further away.

    python bench/delay_proxy.py UPSTREAM_PORT [DELAY_MS_EACH_WAY]

Listens on 127.0.0.1 on a free port, prints that port on a line, and relays
each accepted connection to 127.0.0.1:UPSTREAM_PORT until it is killed. Each
direction has a reader that stamps what it receives and a writer that sends
it once its delay has passed: bytes keep their order, and pipelined bursts
are delayed once, not once per chunk queued before them. TCP_NODELAY on both
legs, so that no segment waits for Nagle on top of the delay.
"""

import queue
import socket
import sys
import threading
import time


def _reader(source: socket.socket, out: "queue.SimpleQueue[tuple[float, bytes]]",
            delay: float) -> None:
    try:
        while True:
            data = source.recv(65536)
            out.put((time.monotonic() + delay, data))
            if not data:
                return
    except OSError:
        out.put((0.0, b""))


def _writer(sink: socket.socket, source: socket.socket,
            pending: "queue.SimpleQueue[tuple[float, bytes]]") -> None:
    try:
        while True:
            due, data = pending.get()
            if not data:
                break
            wait = due - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            sink.sendall(data)
    except OSError:
        pass
    # One side ended: end both, so the other reader sees it too.
    for s in (sink, source):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def _relay(client: socket.socket, upstream_port: int, delay: float) -> None:
    try:
        server = socket.create_connection(("127.0.0.1", upstream_port))
    except OSError:
        client.close()
        return
    for s in (client, server):
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    for a, b in ((client, server), (server, client)):
        pending: "queue.SimpleQueue[tuple[float, bytes]]" = queue.SimpleQueue()
        threading.Thread(target=_reader, args=(a, pending, delay), daemon=True).start()
        threading.Thread(target=_writer, args=(b, a, pending), daemon=True).start()


def main() -> None:
    upstream_port = int(sys.argv[1])
    delay = float(sys.argv[2] if len(sys.argv) > 2 else 0.5) / 1000.0
    listener = socket.create_server(("127.0.0.1", 0), backlog=256)
    print(listener.getsockname()[1], flush=True)
    while True:
        client, _ = listener.accept()
        _relay(client, upstream_port, delay)


if __name__ == "__main__":
    main()
