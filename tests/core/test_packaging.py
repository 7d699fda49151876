"""The installed distribution as users get it: the extension module exports
only its init function, holds no kill points, and type checkers find the stubs
(the fixed module's stub package, the package's _native.pyi).

A check whose tool (nm, mypy, pyright) is missing is skipped, unless it is
named in TARNWICK_PACKAGING_CHECKS (comma-separated: exports, mypy, pyright;
or all, as the wheel and sdist scripts set it)."""

import importlib
import importlib.util
import json
import os
import platform
import shutil
import subprocess
import sys
import textwrap

import pytest

import tarnwick

REQUIRED = set(os.environ.get("TARNWICK_PACKAGING_CHECKS", "").split(","))


def need(tool, check, what):
    if tool is None:
        if check in REQUIRED or "all" in REQUIRED:
            pytest.fail(f"{what} is not installed")
        pytest.skip(f"{what} is not installed")
    return tool


def tool_beside_interpreter(name):
    """A console script installed with this interpreter (its venv's bin), else on PATH."""
    return shutil.which(name, path=os.path.dirname(sys.executable)) or shutil.which(name)


def extension_modules():
    """Every native module of the distribution that is installed here."""
    names = ["tarnwick"]
    if importlib.util.find_spec("tarnwick_queue") is not None:
        names.append("tarnwick_queue._native")
    return names


@pytest.mark.parametrize("name", extension_modules())
def test_extension_exports_only_its_init_function(name):
    nm = need(shutil.which("nm"), "exports", "nm")
    path = importlib.import_module(name).__file__
    init = "PyInit_" + name.rpartition(".")[2]
    if platform.system() == "Darwin":
        cmd, expected = [nm, "-gU", path], {"_" + init}
    else:
        cmd, expected = [nm, "-D", "--defined-only", path], {init}
    out = subprocess.run(cmd, capture_output=True, text=True, check=True).stdout
    exported = {line.split()[-1] for line in out.splitlines() if line.strip()}
    assert exported == expected


@pytest.mark.parametrize("name", extension_modules())
def test_extension_has_no_kill_points(name):
    """The crash harness's kill points (and the variable that arms them) are
    compiled only into its own test build of the engine, never into a module."""
    with open(importlib.import_module(name).__file__, "rb") as f:
        assert b"TARNWICK_KILL_AT" not in f.read()


def test_the_package_ships_its_native_module_stub():
    """Type checkers read tarnwick_queue._native's types from the .pyi
    installed beside it (the package is marked typed by py.typed)."""
    if importlib.util.find_spec("tarnwick_queue") is None:
        pytest.skip("tarnwick_queue is not installed")
    module = importlib.import_module("tarnwick_queue._native")
    directory = os.path.dirname(module.__file__)
    for name in ("_native.pyi", "py.typed"):
        assert os.path.isfile(os.path.join(directory, name)), name


# Line 4 reveals a method's type; line 5 misuses a result; line 6 misspells a
# keyword. With the stubs a checker reports exactly those; without them
# `tarnwick` is untyped (or missing) and lines 5 and 6 pass unnoticed.
SNIPPET = textwrap.dedent("""\
    from tarnwick import TarnwickCore
    q = TarnwickCore(":memory:", sync_interval_ms=0)
    seq: int = q.enqueue(b"job")
    reveal_type(q.dequeue())
    wrong: str = q.ack(seq)
    q.nack(seq, requeue_it=True)
""")


def checker_env():
    """The environment for a type checker: without a sanitizer runtime that the
    suite may have preloaded for the module (the checkers never load it)."""
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


@pytest.fixture
def snippet(tmp_path):
    path = tmp_path / "use_tarnwick.py"
    path.write_text(SNIPPET)
    return path


def test_mypy_finds_the_stubs(snippet):
    try:
        import mypy  # noqa: F401
    except ImportError:
        need(None, "mypy", "mypy")
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", os.devnull,
         "--no-error-summary", "--hide-error-context", "--show-column-numbers", snippet.name],
        cwd=snippet.parent, capture_output=True, text=True, timeout=300, env=checker_env(),
    )
    by_line = {}
    for line in done.stdout.splitlines():
        if not line.startswith(snippet.name + ":"):
            # mypy points at the definition it used: the stub package's.
            assert "tarnwick-stubs" in line and ": note: " in line, done.stdout
            continue
        _, number, _, kind, message = line.split(":", 4)
        by_line.setdefault(int(number), []).append((kind.strip(), message.strip()))
    assert done.returncode == 1, done.stdout + done.stderr
    assert sorted(by_line) == [4, 5, 6], done.stdout
    [(kind, revealed)] = by_line[4]
    revealed = revealed.replace("builtins.", "")
    assert kind == "note" and "tuple[int, bytes, int, int]" in revealed.lower(), revealed
    assert "None" in revealed, revealed
    assert by_line[5] == [("error", 'Incompatible types in assignment (expression has type '
                                    '"bool", variable has type "str")  [assignment]')]
    [unexpected] = [message for kind, message in by_line[6] if kind == "error"]
    assert '"requeue_it"' in unexpected


def test_pyright_finds_the_stubs(snippet):
    pyright = tool_beside_interpreter("pyright") or tool_beside_interpreter("basedpyright")
    need(pyright, "pyright", "pyright (or basedpyright)")
    (snippet.parent / "pyrightconfig.json").write_text(json.dumps({"typeCheckingMode": "standard"}))
    done = subprocess.run(
        [pyright, "--outputjson", "--pythonpath", sys.executable, snippet.name],
        cwd=snippet.parent, capture_output=True, text=True, timeout=300, env=checker_env(),
    )
    assert done.stdout.strip(), done.stderr
    report = json.loads(done.stdout)
    by_line = {}
    for d in report["generalDiagnostics"]:
        by_line.setdefault(d["range"]["start"]["line"] + 1, []).append((d["severity"], d["message"]))
    assert sorted(by_line) == [4, 5, 6], by_line
    [(severity, revealed)] = by_line[4]
    assert severity == "information" and "tuple[int, bytes, int, int] | none" in revealed.lower()
    assert [severity for severity, _ in by_line[5]] == ["error"]
    assert '"bool"' in by_line[5][0][1] and '"str"' in by_line[5][0][1]
    assert [severity for severity, _ in by_line[6]] == ["error"]
    assert '"requeue_it"' in by_line[6][0][1]
