"""A throwaway PostgreSQL server for the tests and the benchmark.

`PgServer.start()` finds Debian's PostgreSQL binaries (installing the
`postgresql` package first when they are missing and we are root), runs
`initdb` into a temporary directory (as the `postgres` user when we are root:
the server refuses to run as root), and starts it listening on 127.0.0.1 on a
free port, with its socket in the same directory. `stop()` ends it and
removes the directory. Run as a script, it starts a server, prints
`TARNWICK_PG_DSN=...` and keeps it up until stdin closes.
"""

from __future__ import annotations

import glob
import os
import pwd
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from typing import List, Optional

import debian_packages


class ServerUnavailable(RuntimeError):
    """No PostgreSQL server could be started here; the message says why."""


def _bindir() -> Optional[str]:
    for pattern in ("/usr/lib/postgresql/*/bin",):
        found = sorted(glob.glob(pattern), key=lambda p: int(p.split("/")[-2]), reverse=True)
        for path in found:
            if os.path.exists(os.path.join(path, "initdb")):
                return path
    initdb = shutil.which("initdb")
    return os.path.dirname(initdb) if initdb else None


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class PgServer:
    def __init__(self, durable: bool = True) -> None:
        # durable=False turns fsync off: commits still reach the kernel, so
        # they survive a crash of the server (not of the machine), and the
        # tests run many times faster.
        self.durable = durable
        self.bindir: Optional[str] = None
        self.root: Optional[str] = None
        self.data: Optional[str] = None
        self.port = 0
        self.running = False
        self._as_postgres = os.geteuid() == 0

    @property
    def dsn(self) -> str:
        return f"host=127.0.0.1 port={self.port} user=postgres dbname=postgres connect_timeout=5"

    def _run(self, args: List[str]) -> subprocess.CompletedProcess:
        if self._as_postgres:
            args = ["runuser", "-u", "postgres", "--"] + args
        # The server is no part of a sanitized test run.
        env = {k: v for k, v in os.environ.items()
               if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
        return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              env=env)

    def start(self) -> "PgServer":
        self.bindir = _bindir()
        if self.bindir is None:
            try:
                debian_packages.install("postgresql")
            except debian_packages.Unavailable as exc:
                raise ServerUnavailable(str(exc)) from None
            self.bindir = _bindir()
            if self.bindir is None:
                raise ServerUnavailable("postgresql was installed but initdb is not found")
        if self._as_postgres:
            try:
                owner = pwd.getpwnam("postgres")
            except KeyError:
                raise ServerUnavailable("running as root but there is no 'postgres' user")
        self.root = tempfile.mkdtemp(prefix="tarnwick-pg-")
        self.data = os.path.join(self.root, "data")
        if self._as_postgres:
            os.chown(self.root, owner.pw_uid, owner.pw_gid)
        done = self._run([os.path.join(self.bindir, "initdb"), "-D", self.data, "-U", "postgres",
                          "--auth=trust", "-E", "UTF8", "--no-instructions"]
                         + ([] if self.durable else ["--no-sync"]))
        if done.returncode != 0:
            self._remove()
            raise ServerUnavailable(f"initdb failed: {done.stdout.strip()[-500:]}")
        self.port = _free_port()
        with open(os.path.join(self.data, "postgresql.conf"), "a") as conf:
            conf.write(f"\nlisten_addresses = '127.0.0.1'\nport = {self.port}\n"
                       f"unix_socket_directories = '{self.root}'\nmax_connections = 200\n"
                       "shared_buffers = 128MB\n")
            if not self.durable:
                conf.write("fsync = off\nfull_page_writes = off\n")
        self.restart()
        return self

    def restart(self) -> None:
        """Starts the server (again, after stop())."""
        done = self._run([os.path.join(self.bindir, "pg_ctl"), "-D", self.data, "-l",
                          os.path.join(self.root, "server.log"), "-w", "-t", "60", "start"])
        if done.returncode != 0:
            raise ServerUnavailable(f"pg_ctl start failed: {done.stdout.strip()[-500:]}\n"
                                    + self.log_tail())
        self.running = True

    def stop(self, mode: str = "fast") -> None:
        """Stops the server; mode "immediate" is a crash as far as the data
        is concerned (recovery runs on the next start)."""
        if not self.running:
            return
        self._run([os.path.join(self.bindir, "pg_ctl"), "-D", self.data, "-m", mode, "-w",
                   "stop"])
        self.running = False

    def log_tail(self, lines: int = 20) -> str:
        try:
            with open(os.path.join(self.root, "server.log")) as f:
                return "".join(f.readlines()[-lines:])
        except OSError:
            return ""

    def close(self) -> None:
        self.stop("fast")
        self._remove()

    def _remove(self) -> None:
        if self.root:
            shutil.rmtree(self.root, ignore_errors=True)
            self.root = None

    def wait_ready(self, timeout: float = 30.0) -> None:
        give_up = time.monotonic() + timeout
        while time.monotonic() < give_up:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                    return
            except OSError:
                time.sleep(0.05)
        raise ServerUnavailable("the server did not come up")


def session_server():
    """For a test session's fixture: yields a started PgServer, or None when
    TARNWICK_PG_DSN names a server to use instead; skips the tests when
    none can be started. Stops and removes the server afterwards."""
    import pytest
    if os.environ.get("TARNWICK_PG_DSN"):
        yield None
        return
    server = PgServer(durable=False)
    try:
        server.start()
    except ServerUnavailable as exc:
        server.close()
        pytest.skip(f"no PostgreSQL server could be started: {exc}")
    yield server
    server.close()


if __name__ == "__main__":
    server = PgServer().start()
    try:
        print(f"TARNWICK_PG_DSN={server.dsn}", flush=True)
        sys.stdin.read()
    finally:
        server.close()
