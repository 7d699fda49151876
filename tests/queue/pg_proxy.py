"""A TCP proxy on loopback in front of the test server that cuts one
connection on request, at a chosen moment of one statement's round trip:

- cut_next("before"): the next bytes a client sends are not forwarded; the
  connection closes. The statement never reaches the server.
- cut_next("after"): the next statement is forwarded, and the server's reply
  is read up to its ReadyForQuery, which PostgreSQL sends only once the
  statement's transaction has committed; then the connection closes without
  relaying any of it. The client sees a broken connection after a commit.

Connections made after the cut go through untouched."""

import selectors
import socket
import threading


def _has_ready_for_query(data):
    """Whether `data`, a run of whole or partial backend messages that begins
    at a message boundary, holds a complete ReadyForQuery ('Z')."""
    at = 0
    while at + 5 <= len(data):
        length = int.from_bytes(data[at + 1:at + 5], "big")
        if at + 1 + length > len(data):
            return False
        if data[at:at + 1] == b"Z":
            return True
        at += 1 + length
    return False


class CuttingProxy:
    def __init__(self, server_port):
        self._server_port = server_port
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self._lock = threading.Lock()
        self._armed = None   # "before" or "after": what the next statement meets
        self.cuts = 0        # connections cut so far, as planned
        self._closed = False
        self._threads = []
        accepting = threading.Thread(target=self._accept, daemon=True)
        accepting.start()
        self._threads.append(accepting)

    def cut_next(self, when):
        assert when in ("before", "after")
        with self._lock:
            self._armed = when

    def _take_arm(self):
        with self._lock:
            armed, self._armed = self._armed, None
            return armed

    def _accept(self):
        self._listener.settimeout(0.5)  # to notice close()
        while not self._closed:
            try:
                client, _ = self._listener.accept()
            except socket.timeout:
                continue
            client.settimeout(None)
            server = socket.create_connection(("127.0.0.1", self._server_port))
            pump = threading.Thread(target=self._pump, args=(client, server), daemon=True)
            pump.start()
            self._threads.append(pump)

    def _pump(self, client, server):
        cutting = False
        reply = b""
        with client, server, selectors.DefaultSelector() as selector:
            selector.register(client, selectors.EVENT_READ)
            selector.register(server, selectors.EVENT_READ)
            while not self._closed:
                for key, _ in selector.select(timeout=0.5):
                    data = key.fileobj.recv(65536)
                    if not data:
                        return
                    if key.fileobj is client:
                        armed = None if cutting else self._take_arm()
                        if armed == "before":
                            self._count_cut()
                            return
                        server.sendall(data)
                        cutting = cutting or armed == "after"
                    elif cutting:
                        reply += data
                        if _has_ready_for_query(reply):
                            self._count_cut()
                            return
                    else:
                        client.sendall(data)

    def _count_cut(self):
        with self._lock:
            self.cuts += 1

    def close(self):
        self._closed = True
        for thread in self._threads:
            thread.join(10)
        self._listener.close()
