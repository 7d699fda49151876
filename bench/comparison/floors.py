"""The raw I/O floors of bench/run.py: bench/floor.c built and run on the
bench directory, what each floor is, and which floor a scenario is held to."""

import os
import shutil
import subprocess

import harness

from .scenarios import BIG


def build(tmp):
    exe = os.path.join(tmp, "floor")
    subprocess.run(["cc", "-O2", "-o", exe, os.path.join(harness.BENCH, "floor.c")], check=True)
    return exe


def run(exe, bench_dir, budget_ms, repeats, big_total, tests=()):
    """{floor name: rate}, every floor (or only `tests`), best of `repeats`."""
    d = os.path.join(bench_dir, "floor")
    os.makedirs(d, exist_ok=True)
    out = subprocess.run([exe, d, str(int(budget_ms)), str(repeats), str(big_total)] + list(tests),
                         check=True, capture_output=True, text=True).stdout
    shutil.rmtree(d, ignore_errors=True)
    floors = {}
    for line in out.splitlines():
        name, val, _unit = line.split()
        floors[name] = float(val)
    return floors


def described(big_total):
    """{floor name: (what it times, unit)}, in table order."""
    mib = big_total >> 20
    return {
        "fsync1": ("write(133 B) + fsync", "ops/s"),
        "write1": ("plain write(133 B)", "ops/s"),
        "batch1000": ("1000 × write(133 B) + one fsync", "batches/s"),
        "seq64k": ("sequential 64 KiB writes, %d MiB + final fsync" % mib, "MB/s"),
        "write64k": ("sequential 64 KiB writes, %d MiB, no fsync" % mib, "MB/s"),
        "fsync64k": ("write(64 KiB) + fsync", "MB/s"),
        "lockcycle": ("flock; open+read 16 B+close; fstat; write(133 B); unlock", "ops/s"),
        "prealloc": ("for comparison: pwrite(133 B) into already-written blocks + fdatasync",
                     "ops/s"),
    }


def floor_for(key, mode, floors):
    """(label, value in the scenario's unit) of the floor a row is compared with."""
    if mode == "memory" or not floors:
        return None, None
    f1, lc = floors["fsync1"], floors["lockcycle"]
    single, single_lbl = (f1, "write+fsync") if mode == "durable" else (lc, "lock-cycle")
    if key == "enq":
        return single_lbl, single
    if key in ("cycle", "mp"):
        return single_lbl + " ÷3", single / 3
    if key in ("benq", "bdeq", "back"):
        return "1000 writes+fsync", floors["batch1000"]
    if key == "big_enq":
        return ("64 KiB write+fsync", floors["fsync64k"]) if mode == "durable" else \
            ("seq 64 KiB write", floors["seq64k"])
    if key == "big_enq_nf":
        return ("seq 64 KiB write, no fsync", floors["write64k"]) if mode == "relaxed" else (None, None)
    if key == "big_drain":
        return single_lbl + " ÷2 ×64 KiB", single / 2 * BIG / 1e6
    return None, None
