#!/usr/bin/env python3
"""PostgresQueue's Worker beside pgqueuer and procrastinate on one throwaway
PostgreSQL server: no-op jobs drained by worker processes, on loopback and
behind 1 ms of added round trip.

    .venv/bin/python bench/postgres_peers_bench.py [--quick] [--profile]

For each system, in a fresh database of its own on the same server (durable
server defaults; each system's own default settings and schema):

- burn-down: put --jobs jobs (in batches of 1000, no worker running), then
  start --processes worker processes; jobs/s from the first handler start to
  the last. Its "latency" is the jobs' wait in the backlog (put, worker start
  and the drain ahead of them), not a dispatch delay.
- dispatch: with the workers up and idle, --trickle jobs put one at a time
  at --rate per second; enqueue-to-start latency p50/p99 (handler start minus
  the put time carried in the job).

Then the same through bench/delay_proxy.py (0.5 ms each way). The peers run
as black boxes from their own virtual environment, bench/.peers-venv
(created, with the pinned versions, when missing): their documented Python
API for the job and the puts, their CLI for the schema and the workers.
tarnwick runs from the interpreter running this script (its installed copy).
--profile also reports, per system, statements per job (pg_stat_statements)
and tarnwick's statements, and runs two bench-only tarnwick loops that settle
in batches (peers_jobs.py: not the package's Worker). Writes
bench/results/scratch/postgres_peers.md (`--out` to choose).
"""

import argparse
import os
import platform
import signal
import statistics
import subprocess
import sys
import tempfile
import time

import harness

sys.path.insert(0, os.path.join(harness.REPO, "tests", "queue"))

import psycopg  # noqa: E402

PEERS_VENV = os.path.join(harness.BENCH, ".peers-venv")
PINS = {"pgqueuer": "1.6.0", "procrastinate": "3.10.0", "asyncpg": "0.32.0",
        "psycopg": "3.3.9", "psycopg-binary": "3.3.9"}
PREFETCH = "tarnwick prefetch=10"  # the Worker's own option (no comma: --systems splits on it)
SYSTEMS = ["tarnwick", PREFETCH, "pgqueuer", "procrastinate"]
PROTOTYPES = ["tarnwick, batched ack (bench loop)", "tarnwick, take 10 + batched ack (bench loop)",
              "tarnwick, take not synced + ack each (bench loop)"]
JOBS = os.path.join(harness.BENCH, "peers_jobs.py")


def peers_python() -> str:
    return os.path.join(PEERS_VENV, "bin", "python")


def ensure_peers() -> None:
    """bench/.peers-venv with the pinned peers, installed when missing or
    at another version."""
    python = peers_python()
    if not os.path.exists(python):
        harness.progress("creating", harness.where(PEERS_VENV))
        subprocess.run([sys.executable, "-m", "venv", PEERS_VENV], check=True)
    check = ("import importlib.metadata as m, sys; pins = dict(a.split('=') for a in sys.argv[1:]);"
             "sys.exit(any(m.version(k) != v for k, v in pins.items()))")
    try:
        ok = subprocess.run([python, "-c", check] + [f"{k}={v}" for k, v in PINS.items()],
                            stderr=subprocess.DEVNULL).returncode == 0
    except OSError:
        ok = False
    if not ok:
        harness.progress("installing", ", ".join(f"{k}=={v}" for k, v in PINS.items()))
        subprocess.run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check"]
                       + [f"{k}=={v}" for k, v in PINS.items()], check=True)


def versions() -> dict:
    out = subprocess.run([peers_python(), "-c", "import importlib.metadata as m;"
                          "print(m.version('pgqueuer'), m.version('procrastinate'),"
                          "m.version('asyncpg'), m.version('psycopg'))"],
                         stdout=subprocess.PIPE, text=True, check=True).stdout.split()
    import tarnwick_queue
    return {"tarnwick": getattr(tarnwick_queue, "__version__", "?"), "pgqueuer": out[0],
            "procrastinate": out[1], "asyncpg (pgqueuer's driver)": out[2],
            "psycopg": f"{psycopg.__version__} (peers' venv {out[3]})"}


# --- one system in one database ---

class Run:
    def __init__(self, system: str, dsn: str, log: str) -> None:
        self.system, self.dsn, self.log = system, dsn, log
        self.base = system.split(",")[0].split()[0]

    def env(self, record: str = "") -> dict:
        return dict(os.environ, PEERS_DSN=self.dsn, PEERS_RECORD=record, PEERS_SYSTEM=self.base,
                    PYTHONPATH=harness.BENCH, PYTHONUNBUFFERED="1")

    def python(self) -> str:
        return sys.executable if self.base == "tarnwick" else peers_python()

    def client(self, *args: str) -> float:
        """Runs a peers_jobs.py command; its wall time in seconds."""
        with harness.Stopwatch() as watch, open(self.log, "a") as log:
            subprocess.run([self.python(), JOBS, self.base] + list(args), env=self.env(),
                           stdout=log, stderr=log, check=True)
        return watch.seconds

    def setup(self) -> None:
        with open(self.log, "a") as log:
            bindir = os.path.dirname(peers_python())
            if self.base == "tarnwick":
                self.client("put", "0")  # opening the queue makes the schema
            elif self.base == "pgqueuer":
                subprocess.run([os.path.join(bindir, "pgq"), "--pg-dsn", self.dsn, "install"],
                               env=self.env(), stdout=log, stderr=log, check=True)
            else:
                subprocess.run([os.path.join(bindir, "procrastinate"), "--app",
                                "peers_jobs.procrastinate_app", "schema", "--apply"],
                               env=self.env(), stdout=log, stderr=log, check=True)

    def worker_command(self) -> list:
        bindir = os.path.dirname(peers_python())
        if self.system == "tarnwick":
            return [sys.executable, JOBS, "tarnwick", "work"]
        if self.system == PREFETCH:
            return [sys.executable, JOBS, "tarnwick", "work-prefetch"]
        if self.system == PROTOTYPES[0]:
            return [sys.executable, JOBS, "tarnwick", "work-batched-ack"]
        if self.system == PROTOTYPES[1]:
            return [sys.executable, JOBS, "tarnwick", "work-batched"]
        if self.system == PROTOTYPES[2]:
            return [sys.executable, JOBS, "tarnwick", "work-async-take"]
        if self.system == "pgqueuer":
            # Not `pgq run`: it fails on its own log level in this version.
            return [peers_python(), JOBS, "pgqueuer", "work"]
        return [os.path.join(bindir, "procrastinate"), "--app", "peers_jobs.procrastinate_app",
                "worker", "-q", "bench"]

    def workers(self, processes: int, record: str) -> list:
        log = open(self.log, "a")
        procs = [subprocess.Popen(self.worker_command(), env=self.env(record), stdout=log,
                                  stderr=log, start_new_session=True) for _ in range(processes)]
        log.close()
        return procs


def stop(procs: list) -> None:
    for p in procs:
        p.send_signal(signal.SIGTERM)
    give_up = time.monotonic() + 20
    for p in procs:
        try:
            p.wait(max(0.1, give_up - time.monotonic()))
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


def records(folder: str) -> list:
    import peers_jobs
    out = []
    for name in os.listdir(folder):
        with open(os.path.join(folder, name), "rb") as f:
            data = f.read()
        out += [peers_jobs.RECORD.unpack_from(data, at)
                for at in range(0, len(data) - len(data) % peers_jobs.RECORD.size,
                                peers_jobs.RECORD.size)]
    return out


def cpu_seconds(pids: list) -> float:
    """User + system CPU time the processes used so far (those still there)."""
    total = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        total += int(fields[11]) + int(fields[12])
    return total / os.sysconf("SC_CLK_TCK")


def server_pids(data: str) -> list:
    """The server's processes: the postmaster and its children (backends too)."""
    with open(os.path.join(data, "postmaster.pid")) as f:
        main = int(f.readline())
    pids = [main]
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                with open(f"/proc/{name}/stat") as f:
                    if int(f.read().rsplit(")", 1)[1].split()[1]) == main:
                        pids.append(int(name))
            except OSError:
                pass
    return pids


def wait_for(folder: str, n: int, procs: list, timeout: float, cpu: dict = None) -> None:
    """Until n jobs started. With `cpu`, it gets the CPU seconds the workers
    and the server used from the first start on ("workers", "server")."""
    import peers_jobs
    give_up = time.monotonic() + timeout
    first = None
    while time.monotonic() < give_up:
        done = sum(os.path.getsize(os.path.join(folder, f)) for f in os.listdir(folder))
        if cpu is not None and first is None and done:
            first = (cpu_seconds([p.pid for p in procs]), cpu_seconds(server_pids(DATA[0])))
        if done >= n * peers_jobs.RECORD.size:
            if cpu is not None and first is not None:
                cpu["workers"] = cpu_seconds([p.pid for p in procs]) - first[0]
                cpu["server"] = cpu_seconds(server_pids(DATA[0])) - first[1]
            return
        if all(p.poll() is not None for p in procs):
            raise RuntimeError("every worker exited before the jobs were done")
        time.sleep(0.05)
    raise RuntimeError(f"not every job started within {timeout:.0f} s")


def percentile(values: list, q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(q * (len(ordered) - 1))))]


def summary(rows: list, n: int) -> dict:
    starts = [r[1] for r in rows]
    waits = [(r[1] - r[0]) * 1000 for r in rows]
    return {"started": len(rows), "distinct": len({r[2] for r in rows}), "expected": n,
            "rate": harness.per_second(len({r[2] for r in rows}) - 1, max(starts) - min(starts)),
            "p50": statistics.median(waits), "p99": percentile(waits, 0.99)}


def burn_down(run: Run, args) -> dict:
    folder = tempfile.mkdtemp(prefix="peers-")
    put_seconds = run.client("put", str(args.jobs))
    if args.profile:
        reset_statements(ADMIN[0])
    procs = run.workers(args.processes, folder)
    cpu = {}
    try:
        wait_for(folder, args.jobs, procs, 60 + args.jobs / 50, cpu)
        time.sleep(0.2)  # any late duplicate
    finally:
        stop(procs)
    got = summary(records(folder), args.jobs)
    got["put_rate"] = harness.per_second(args.jobs, put_seconds)
    got.update(cpu)
    return got


def dispatch(run: Run, args) -> dict:
    folder = tempfile.mkdtemp(prefix="peers-")
    procs = run.workers(args.processes, folder)
    try:
        time.sleep(args.settle)  # every worker connected and waiting
        run.client("trickle", str(args.trickle), str(args.rate))
        wait_for(folder, args.trickle, procs, 60)
    finally:
        stop(procs)
    return summary(records(folder), args.trickle)


def statements(admin_dsn: str, db: str, top: int) -> tuple:
    """(statements clients sent to `db` since the reset, WAL syncs, the top
    statements by calls, nested ones included)."""
    with psycopg.connect(admin_dsn, autocommit=True) as conn:
        total = conn.execute(
            "SELECT coalesce(sum(calls), 0) FROM pg_stat_statements s JOIN pg_database d "
            "ON d.oid = s.dbid WHERE d.datname = %s AND s.toplevel", (db,)).fetchone()[0]
        syncs = conn.execute("SELECT wal_sync FROM pg_stat_wal").fetchone()[0]
        rows = conn.execute(
            "SELECT calls, mean_exec_time, total_exec_time, regexp_replace(query, '\\s+', ' ', "
            "'g') FROM pg_stat_statements s JOIN pg_database d ON d.oid = s.dbid "
            "WHERE d.datname = %s ORDER BY calls DESC LIMIT %s", (db, top)).fetchall()
    return int(total), int(syncs), rows


def reset_statements(admin_dsn: str) -> None:
    with psycopg.connect(admin_dsn, autocommit=True) as conn:
        conn.execute("SELECT pg_stat_statements_reset()")
        conn.execute("SELECT pg_stat_reset_shared('wal')")


# The server's data directory and its admin DSN, for the helpers above.
DATA: list = []
ADMIN: list = []


# --- the run ---

def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="2,000 jobs, 200 trickled")
    parser.add_argument("--jobs", type=int)
    parser.add_argument("--trickle", type=int)
    parser.add_argument("--rate", type=float, default=200.0, help="trickled jobs per second")
    parser.add_argument("--processes", type=int, default=4)
    parser.add_argument("--settle", type=float, default=3.0, help="seconds for workers to start")
    parser.add_argument("--systems", default=",".join(SYSTEMS),
                        help="comma-separated; a bench loop by its index: p0, p1, p2")
    parser.add_argument("--profile", action="store_true")
    parser.add_argument("--no-proxy", action="store_true")
    parser.add_argument("--out")
    args = parser.parse_args()
    args.jobs = args.jobs or (2000 if args.quick else 20000)
    args.trickle = args.trickle or (200 if args.quick else 1000)
    systems = [PROTOTYPES[int(s[1:])] if s[1:].isdigit() else s for s in args.systems.split(",")]
    if args.profile and not set(systems) & set(PROTOTYPES):  # every loop, unless some are named
        systems += PROTOTYPES
    ensure_peers()
    from pg_server import PgServer
    server = PgServer(durable=True).start()
    if args.profile:
        with open(os.path.join(server.data, "postgresql.conf"), "a") as conf:
            conf.write("shared_preload_libraries = 'pg_stat_statements'\n"
                       "pg_stat_statements.track = all\n")
        server.stop()
        server.restart()
    admin = f"postgresql://postgres@127.0.0.1:{server.port}/postgres"
    DATA.append(server.data)
    ADMIN.append(admin)
    log = harness.output("postgres_peers.log", None)
    open(log, "w").close()
    began = time.time()
    results, profiles = [], {}
    proxy = None
    try:
        with psycopg.connect(admin, autocommit=True) as conn:
            if args.profile:
                conn.execute("CREATE EXTENSION IF NOT EXISTS pg_stat_statements")
            settings = {k: conn.execute(f"SHOW {k}").fetchone()[0]
                        for k in ("server_version", "fsync", "synchronous_commit",
                                  "wal_sync_method", "shared_buffers")}
        variants = [("loopback", server.port)]
        if not args.no_proxy:
            proxy = subprocess.Popen([sys.executable, os.path.join(harness.BENCH,
                                                                   "delay_proxy.py"),
                                      str(server.port), "0.5"], stdout=subprocess.PIPE,
                                     text=True)
            variants.append(("+1 ms round trip (proxy)", int(proxy.stdout.readline())))
        for variant, port in variants:
            for i, system in enumerate(systems):
                db = f"bench_{len(results)}"
                with psycopg.connect(admin, autocommit=True) as conn:
                    conn.execute(f"CREATE DATABASE {db}")
                run = Run(system, f"postgresql://postgres@127.0.0.1:{port}/{db}", log)
                harness.progress("==", variant, system)
                run.setup()
                burn = burn_down(run, args)
                if args.profile:
                    profiles[(variant, system)] = statements(admin, db, 8)
                disp = dispatch(run, args)
                harness.progress(f"   burn-down {burn['rate']:,.0f} jobs/s (put "
                                 f"{burn['put_rate']:,.0f}/s); dispatch p50 {disp['p50']:.1f} ms "
                                 f"p99 {disp['p99']:.1f} ms")
                results.append((variant, system, burn, disp))
    finally:
        if proxy is not None:
            proxy.kill()
            proxy.wait()
        server.close()
    write(args, settings, results, profiles, time.time() - began)


# What is not like for like, seen from outside (the peers' code is not read).
NOTES = [
    "Not like for like:", "",
    "- Batches: pgqueuer takes up to 10 jobs a statement (its default batch size) and "
    "records their completion in batches, so it runs far fewer statements and WAL syncs a "
    "job than one commit each (see the profile); tarnwick's Worker by default takes one "
    "message and acks it, each its own durable commit, and with `prefetch=10` takes up to 10 "
    "a take and acks those that succeeded with one ack_many at the next take or 5 ms after "
    "the first finished; procrastinate takes one job and updates its row on completion (it "
    "keeps finished jobs by default).",
    "- Concurrency: pgqueuer's worker runs its jobs as asyncio tasks; procrastinate's "
    "defaults to one job at a time; tarnwick's Worker one handler at a time. On no-op "
    "handlers this hardly matters beside the round trips.",
    "- Rates count handler starts, first to last: settling the last jobs after that is "
    "not timed for anyone (it matters most for who settles in batches).",
    "- Puts use each system's batch call (tarnwick put_many, pgqueuer enqueue of lists, "
    "procrastinate batch_defer_async), 1000 a call; put rates are shown, not compared.",
    "- The proxy and the other helpers' work share the 2 cores with the run: absolute "
    "figures move from run to run by tens of percent; the ratios within a run are steadier.",
    "- The bench loops (with --profile) are not tarnwick's Worker: no lease renewal, time "
    "limits or signals; they show what settling, and taking, in batches would gain."]


def write(args, settings, results, profiles, elapsed) -> None:
    vs = versions()
    lines = [
        "# PostgresQueue beside pgqueuer and procrastinate", "",
        f"Run: {time.strftime('%Y-%m-%d %H:%M:%S')}, {elapsed:.0f} s. `python "
        f"bench/postgres_peers_bench.py{' --quick' if args.quick else ''}"
        f"{' --profile' if args.profile else ''}`; load average at the end "
        f"{'/'.join(f'{x:.2f}' for x in os.getloadavg())} "
        f"({os.cpu_count()} cores shared with other work).", "",
        "- Versions: " + ", ".join(f"{k} {v}" for k, v in vs.items())
        + f"; Python {platform.python_version()}.",
        "- Server: one throwaway PostgreSQL on 127.0.0.1, " + ", ".join(
            f"{k} {v}" for k, v in settings.items()) + "; each system in a fresh database of its "
        "own, with its default schema and durability.",
        f"- Workers: {args.processes} processes each: tarnwick's `Worker` (defaults: one "
        "handler at a time; and with `prefetch=10`), `PgQueuer.run()` (defaults; `pgq run` fails on its own log "
        "level in this version), `procrastinate worker` (defaults); no-op handlers that only "
        "record their start.",
        f"- Burn-down: {args.jobs:,} jobs put in batches of 1000 before any worker starts; "
        "jobs/s from the first handler start to the last. Its wait is the time each job spent "
        "in the backlog (put, worker start-up, the jobs ahead), not a dispatch delay.",
        f"- Dispatch: {args.trickle:,} jobs put one at a time at {args.rate:.0f}/s to idle "
        "workers; latency = handler start − put time carried in the job (one clock, "
        "CLOCK_MONOTONIC).",
        "- +1 ms round trip: every client connects through bench/delay_proxy.py (0.5 ms "
        "each way), a Python process on the same 2 cores (its threads' wake-ups add to the "
        "delay: a `SELECT 1` took 1.49 ms through it, 0.04 ms direct, when measured).", ""]
    lines += NOTES + [""]
    rows = []
    for variant, system, burn, disp in results:
        dup = burn["started"] - burn["distinct"] + disp["started"] - disp["distinct"]
        per_job = [f"{burn[k] * 1000 / args.jobs:.2f}" if k in burn else "—"
                   for k in ("workers", "server")]
        rows.append((variant, system, f"{burn['rate']:,.0f}", f"{burn['put_rate']:,.0f}",
                     *per_job,
                     f"{burn['p50']:,.0f}", f"{burn['p99']:,.0f}", f"{disp['p50']:.1f}",
                     f"{disp['p99']:.1f}", str(dup)))
    lines += harness.table(["network", "system", "burn-down jobs/s", "put jobs/s",
                            "CPU ms/job workers", "server",
                            "backlog wait p50 ms", "p99 ms", "dispatch p50 ms", "p99 ms",
                            "repeated starts"], rows, "llrrrrrrrrr")
    for variant in dict.fromkeys(v for v, *_ in results):
        rates = {s: b["rate"] for v, s, b, _ in results if v == variant}
        peers = [rates[s] for s in ("pgqueuer", "procrastinate") if s in rates]
        for ours, what in (("tarnwick", "tarnwick's Worker"),
                           (PREFETCH, "tarnwick's Worker with prefetch=10")):
            if ours in rates and peers:
                lines += ["", f"{variant}: {what} at {rates[ours] / max(peers):.2f}× the "
                          "faster peer on burn-down."]
    if profiles:
        lines += ["", "## Statements per job (pg_stat_statements, burn-down)", ""]
        lines += ["Statements the clients sent (top level), and WAL syncs (pg_stat_wal: "
                  "one per durable commit, or per group of commits synced together).", ""]
        lines += harness.table(
            ["network", "system", "statements", "per job", "WAL syncs per job"],
            [(v, s, f"{total:,}", f"{total / args.jobs:.2f}", f"{syncs / args.jobs:.2f}")
             for (v, s), (total, syncs, _) in profiles.items()], "llrrr")
        for (v, s), (_, _, top) in profiles.items():
            if not s.startswith("tarnwick") or v != "loopback":
                continue  # the peers' SQL is theirs: counted, not shown
            lines += ["", f"{s}, {v}: the most frequent statements", ""]
            lines += harness.table(["calls", "mean ms", "total ms", "statement"],
                                   [(f"{c:,}", f"{m:.3f}", f"{t:,.0f}", q[:110])
                                    for c, m, t, q in top], "rrrl")
    out = harness.output("postgres_peers.md", args.out)
    with open(out, "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))
    harness.progress("wrote", harness.where(out))


if __name__ == "__main__":
    main()
