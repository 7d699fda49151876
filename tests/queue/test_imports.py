"""What importing the package, or an adapter, loads: the face only. The
Worker, its supervisor and lease keeper, asyncio and the PostgreSQL driver
are loaded by those who use them."""

import json
import subprocess
import sys

import pytest

# Never loaded by `import tarnwick_queue`.
TOOLS = {"tarnwick_queue.worker", "tarnwick_queue.supervisor", "tarnwick_queue.leases",
         "tarnwick_queue.aio", "tarnwick_queue.cli", "tarnwick_queue.postgres"}
HEAVY = {"asyncio", "subprocess", "signal", "psycopg", "concurrent.futures"}


def loaded_by(code):
    """The modules that `code` adds to sys.modules, in a fresh interpreter."""
    out = subprocess.run(
        [sys.executable, "-c",
         "import json, sys\nbefore = set(sys.modules)\n" + code +
         "\nprint(json.dumps(sorted(set(sys.modules) - before)))"],
        check=True, capture_output=True, text=True).stdout
    return set(json.loads(out.splitlines()[-1]))


def test_importing_the_package_loads_no_tool():
    loaded = loaded_by("import tarnwick_queue")
    assert "tarnwick_queue._face" in loaded  # the face itself is there
    assert not loaded & (TOOLS | HEAVY), sorted(loaded & (TOOLS | HEAVY))


def test_the_lazy_names_load_when_asked_for():
    loaded = loaded_by("from tarnwick_queue import Worker, AsyncQueue\n"
                       "assert Worker.__module__ == 'tarnwick_queue.worker'\n"
                       "assert AsyncQueue.__module__ == 'tarnwick_queue.aio'")
    assert {"tarnwick_queue.worker", "tarnwick_queue.supervisor", "tarnwick_queue.leases",
            "tarnwick_queue.aio"} <= loaded


@pytest.mark.parametrize("adapter,framework", [("tarnwick_queue.contrib.dramatiq", "dramatiq"),
                                               ("tarnwick_queue.contrib.kombu", "kombu")])
def test_an_adapter_does_not_load_the_worker(adapter, framework):
    pytest.importorskip(framework)
    loaded = loaded_by(f"import {adapter}")
    assert adapter in loaded and "tarnwick_queue.leases" in loaded
    assert not loaded & {"tarnwick_queue.worker", "tarnwick_queue.supervisor",
                         "tarnwick_queue.aio", "tarnwick_queue.cli", "tarnwick_queue.postgres"}
