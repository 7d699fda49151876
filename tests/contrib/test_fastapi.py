"""The FastAPI example (examples/fastapi_app) as real processes: uvicorn on a
loopback socket, and `tarnwick worker` beside it. Both are killed with
SIGKILL while jobs are being posted, and started again; every job whose
request got a 2xx reply runs, with the id and the body the reply gave."""

import http.client
import itertools
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

pytest.importorskip("fastapi")
pytest.importorskip("uvicorn")

from tarnwick_queue import Queue  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLE = os.path.join(os.path.dirname(os.path.dirname(HERE)), "examples", "fastapi_app")
SENDERS = 4
BEFORE_KILL = AFTER_RESTART = 30  # 2xx replies before uvicorn is killed, and after its restart
MOST_JOBS = 600                   # the senders' bound, whatever happens
WAIT = 60.0                       # the bound of every wait


def _job(key):
    """The route and the body of job number `key`: emails and reports in turn."""
    if key % 2:
        return "/reports", {"name": f"report-{key}"}
    return "/emails", {"to": f"user{key}@example.com", "subject": f"welcome-{key}"}


def _post(port, path, body):
    """The reply's status and JSON, or None when the request failed."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=WAIT)
    try:
        conn.request("POST", path, json.dumps(body), {"Content-Type": "application/json"})
        reply = conn.getresponse()
        data = reply.read()
    except (OSError, http.client.HTTPException):
        return None  # reset, or cut off by the SIGKILL: the job may or may not be queued
    finally:
        conn.close()
    return reply.status, (json.loads(data) if reply.status == 202 else data)


def _outbox(path):
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        data = f.read()
    # A line is written by one write(): a partial one would be a fault.
    assert data == b"" or data.endswith(b"\n"), data[-200:]
    return [json.loads(line) for line in data.splitlines()]


def _children(pid):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    stat = f.read()
            except OSError:
                continue
            if int(stat.rsplit(")", 1)[1].split()[1]) == pid:
                found.append(int(entry))
    return found


def _wait_until(what, check, *procs):
    """Waits until check() is true, and fails at once if one of `procs` exits."""
    give_up = time.monotonic() + WAIT
    while not check():
        ended = [p.args[2:4] for p in procs if p.poll() is not None]
        assert not ended, f"exited while waiting for {what}: {ended}"
        if time.monotonic() > give_up:
            raise AssertionError(f"gave up waiting for {what}")
        time.sleep(0.05)


class Processes:
    """The uvicorn and worker processes of one test, killed at its end."""

    def __init__(self, tmp_path):
        self.tmp_path = tmp_path
        self.queue = str(tmp_path / "queue")
        self.outbox = str(tmp_path / "outbox.jsonl")
        self.hold = str(tmp_path / "hold")
        self.env = dict(os.environ, JOBS_QUEUE=self.queue, JOBS_OUTBOX=self.outbox,
                        JOBS_HOLD=self.hold,
                        PYTHONPATH=os.pathsep.join([HERE, EXAMPLE] + [p for p in sys.path if p]))
        # The test holds the listening socket, so the port stays the app's
        # across restarts and connections made meanwhile wait in its backlog.
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(128)
        self.port = self.listener.getsockname()[1]
        self.started = []

    def _start(self, name, argv):
        log = open(self.tmp_path / f"{name}-{len(self.started)}.log", "wb")
        proc = subprocess.Popen(argv, cwd=EXAMPLE, env=self.env, stdout=log,
                                stderr=subprocess.STDOUT, pass_fds=[self.listener.fileno()])
        log.close()
        self.started.append(proc)
        return proc

    def uvicorn(self):
        return self._start("uvicorn", [
            sys.executable, "-m", "uvicorn", "app:app", "--fd", str(self.listener.fileno()),
            "--workers", "1", "--log-level", "warning"])

    def worker(self):
        # The lease is kept alive while a job runs; it runs out only for a
        # job whose worker was killed, which then comes back soon.
        return self._start("worker", [
            sys.executable, "-m", "tarnwick_queue", "worker", "fastapi_worker:handle",
            "--queue", self.queue, "--lease", "4", "--log-level", "warning"])

    def kill_worker(self, supervisor):
        """SIGKILL to the supervisor and its worker process at once, as when
        the machine's OOM killer takes both."""
        _wait_until("the worker process", lambda: _children(supervisor.pid))
        for pid in [supervisor.pid, *_children(supervisor.pid)]:
            os.kill(pid, signal.SIGKILL)
        supervisor.wait()

    def close(self):
        for proc in self.started:
            if proc.poll() is None:
                proc.kill()
            proc.wait()
        # Orphans of a killed supervisor stop by themselves when its pipe
        # closes; the test's outbox is not read after this.
        self.listener.close()

    def logs(self):
        return "\n".join(f"--- {p.name}\n{p.read_text(errors='replace')[-3000:]}"
                         for p in sorted(self.tmp_path.glob("*.log")))


@pytest.fixture
def processes(tmp_path):
    procs = Processes(tmp_path)
    try:
        yield procs
    finally:
        procs.close()


def _straddle(port):
    """A request sent whole whose reply is read only after the caller has
    killed and restarted uvicorn: its reply was sent before the kill, or it
    was cut off, or it waited in the backlog for the new process."""
    conn = socket.create_connection(("127.0.0.1", port), timeout=WAIT)
    path, body = _job(-1)
    data = json.dumps(body).encode()
    conn.sendall(f"POST {path} HTTP/1.1\r\nHost: test\r\nContent-Type: application/json\r\n"
                 f"Content-Length: {len(data)}\r\nConnection: close\r\n\r\n".encode() + data)

    def reply():
        chunks = []
        try:
            while True:
                chunk = conn.recv(65536)
                if not chunk:
                    break
                chunks.append(chunk)
        except OSError:
            return None
        finally:
            conn.close()
        head, _, rest = b"".join(chunks).partition(b"\r\n\r\n")
        if not head.startswith(b"HTTP/1.1 202"):
            return None
        return json.loads(rest)
    return reply


@pytest.mark.slow
def test_every_accepted_job_runs_through_kills(processes):
    sent = {}        # key -> (path, body)
    accepted = {}    # key -> the reply's id
    failed = []
    refused = []     # any reply but 202: a fault of the app
    lock = threading.Condition()
    keys = itertools.count()
    stop = threading.Event()

    def send():
        while not stop.is_set():
            key = next(keys)
            if key >= MOST_JOBS:
                return
            path, body = _job(key)
            with lock:
                sent[key] = (path, body)
            reply = _post(processes.port, path, body)
            with lock:
                if reply is None:
                    failed.append(key)
                elif reply[0] == 202:
                    accepted[key] = reply[1]["id"]
                else:
                    refused.append((key, reply))
                lock.notify_all()

    def replies_reach(count):
        with lock:
            assert lock.wait_for(lambda: len(accepted) >= count, WAIT), \
                f"{len(accepted)} replies of {count}"

    try:
        app = processes.uvicorn()
        worker = processes.worker()
        senders = [threading.Thread(target=send) for _ in range(SENDERS)]
        for thread in senders:
            thread.start()

        # The worker dies (both its processes) holding a job that has run
        # and is not acked yet: it must run again.
        _wait_until("a held job", lambda: os.path.exists(processes.hold) and
                    os.path.getsize(processes.hold) > 0, app, worker)
        with open(processes.hold) as f:
            held = int(f.read())
        processes.kill_worker(worker)
        worker = processes.worker()

        # uvicorn dies while the senders post, and one request is in flight.
        replies_reach(BEFORE_KILL)
        straddler = _straddle(processes.port)
        app.kill()
        app.wait()
        app = processes.uvicorn()
        straddled = straddler()
        with lock:
            before = len(accepted)
        replies_reach(before + AFTER_RESTART)
        stop.set()
        for thread in senders:
            thread.join(WAIT)
            assert not thread.is_alive()
        if straddled is not None:
            sent[-1], accepted[-1] = _job(-1), straddled["id"]

        # Every accepted job runs, as the reply said: its id, its body.
        def drained():
            done = {(e["id"], json.dumps(e["args"], sort_keys=True)) for e in
                    _outbox(processes.outbox)}
            return all((accepted[k], json.dumps(sent[k][1], sort_keys=True)) in done
                       for k in accepted)
        _wait_until("every accepted job to run", drained, app, worker)
        with Queue(processes.queue) as queue:
            _wait_until("the queue to empty", lambda: queue.stats()["total"] == 0)
            assert len(queue.dead_letters.list()) == 0
    except BaseException:
        stop.set()
        print(processes.logs())
        raise

    assert refused == []
    done = _outbox(processes.outbox)
    by_body = {json.dumps(body, sort_keys=True): key for key, (_, body) in sent.items()}
    ids = {}
    for entry in done:
        key = by_body.get(json.dumps(entry["args"], sort_keys=True))
        assert key is not None, f"a job nobody sent: {entry}"
        assert entry["kind"] == {"/emails": "email", "/reports": "report"}[sent[key][0]], entry
        assert ids.setdefault(key, entry["id"]) == entry["id"], \
            f"one job under two ids: {entry} and {ids[key]}"
        if key in accepted:
            assert accepted[key] == entry["id"], (entry, accepted[key])
    assert len(set(accepted.values())) == len(accepted)
    assert set(accepted) <= set(ids)
    assert [e["id"] for e in done].count(held) == 2, "the held job did not run again"
    # What this run went through, for the log of a passing run (pytest -s).
    print(f"sent {len(sent)}, accepted {len(accepted)}, failed {len(failed)} "
          f"({len(set(failed) & set(ids))} of them ran), lines {len(done)} "
          f"(repeats {len(done) - len(ids)}), in-flight request "
          f"{'accepted' if straddled else 'cut off'}")
