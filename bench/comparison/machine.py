"""What bench/run.py records of the machine and the software it ran on.
Paths are written by harness.where, so the record names no machine's
directories."""

import importlib.metadata
import os
import platform
import sqlite3
import subprocess
import sys

import harness

from .systems import DIST


def sh(cmd):
    try:
        return subprocess.run(cmd, capture_output=True, text=True, timeout=10).stdout.strip()
    except Exception as e:  # noqa: BLE001
        return "(%s)" % e


def describe(bench_dir):
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    df = sh(["df", "-T", bench_dir]).splitlines()
    fs = df[-1].split() if len(df) > 1 else ["?", "?"]
    vers = {}
    for impl, dist in DIST.items():
        try:
            vers[impl] = importlib.metadata.version(dist)
        except importlib.metadata.PackageNotFoundError:
            vers[impl] = "not installed"
    try:
        import tarnwick
        tw = "%s (%s)" % (tarnwick.__version__, harness.where(tarnwick.__file__))
    except ImportError:
        tw = "not importable"
    return {
        "cpu": cpu, "cores": os.cpu_count(), "kernel": platform.release(),
        "fs": "%s on %s (df -T), %s (stat -f), mount options %s" % (
            fs[1], fs[0], sh(["stat", "-f", "-c", "%T", bench_dir]),
            sh(["findmnt", "-no", "OPTIONS", "-T", bench_dir]) or "?"),
        "bench_dir": harness.where(bench_dir),
        "python": sys.version.split()[0] + " " + platform.python_implementation(),
        "sqlite": sqlite3.sqlite_version, "tarnwick": tw, "peers": vers,
    }
