"""The web page mounted under a prefix of a FastAPI application through
a2wsgi, served by a uvicorn process on loopback: links keep the prefix,
the application's own authorisation decides, and a form's POST acts."""

import http.client
import re
import subprocess
import sys
import textwrap
import time
from urllib.parse import urlencode

import pytest

pytest.importorskip("fastapi")
pytest.importorskip("uvicorn")
pytest.importorskip("a2wsgi")

from tarnwick_queue import Queue

APP = textwrap.dedent("""
    import sys
    from a2wsgi import WSGIMiddleware
    from fastapi import FastAPI
    from tarnwick_queue import Queue
    from tarnwick_queue.web import Dashboard

    def authorize(environ, action):
        return action == "view" or environ.get("HTTP_X_ROLE") == "operator"

    app = FastAPI()
    queue = Queue(sys.argv[-1])
    app.mount("/admin/queues", WSGIMiddleware(Dashboard({"jobs": queue}, authorize=authorize)))

    @app.get("/")
    def home():
        return {"ok": True}
""")


def request(port, method, path, body=None, headers=None):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        connection.request(method, path, body, headers or {})
        response = connection.getresponse()
        return response.status, dict(response.getheaders()), response.read().decode()
    finally:
        connection.close()


def test_mounted_in_fastapi_under_a_prefix(tmp_path):
    where = str(tmp_path / "jobs")
    with Queue(where) as queue:
        queue.put(b"x")
    (tmp_path / "mounted.py").write_text(APP)
    # Port 0: uvicorn's start-up line says which port it got.
    script = "import uvicorn; uvicorn.run('mounted:app', host='127.0.0.1', port=0)"
    server = subprocess.Popen([sys.executable, "-c", script, where], cwd=tmp_path,
                              stderr=subprocess.PIPE, text=True)
    try:
        port = None
        give_up = time.monotonic() + 60
        while port is None and time.monotonic() < give_up:
            line = server.stderr.readline()
            found = re.search(r"http://127\.0\.0\.1:(\d+)", line)
            port = int(found.group(1)) if found else None
            assert line or server.poll() is None, "uvicorn ended"
        assert port, "uvicorn never said where it listens"
        status, _, page = request(port, "GET", "/admin/queues/q/jobs")
        assert status == 200 and 'action="/admin/queues/q/jobs/pause"' in page
        token = re.search(r'name="csrf" value="([0-9a-f]+)"', page).group(1)
        form = urlencode({"csrf": token})
        kind = {"Content-Type": "application/x-www-form-urlencoded",
                "Origin": f"http://127.0.0.1:{port}"}
        status, _, _ = request(port, "POST", "/admin/queues/q/jobs/pause", form, kind)
        assert status == 403  # the application's hook: viewers may not act
        status, headers, _ = request(port, "POST", "/admin/queues/q/jobs/pause", form,
                                     dict(kind, **{"X-Role": "operator"}))
        assert status == 303 and headers["location"] == "/admin/queues/q/jobs"
        with Queue(where) as queue:
            assert queue.paused
        assert request(port, "GET", "/")[0] == 200  # the application's own routes are its own
    finally:
        server.terminate()
        server.wait(30)
        server.stderr.close()
