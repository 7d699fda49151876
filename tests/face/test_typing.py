"""The package's types accept what the documentation shows and catch the
mistakes users make: mypy --strict and pyright (or basedpyright) check two
user scripts in typing_samples/. One uses every documented entry point and
must pass; the other plants five mistakes, each on a line marked
`# mistake: ...`, and each checker must report exactly those lines.

A checker that is not installed is skipped with the reason (scripts/test.sh
installs both)."""

import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

SAMPLES = Path(__file__).parent / "typing_samples"
GOOD = "uses_every_entry_point.py"
BAD = "five_mistakes.py"


def marked_lines(name):
    lines = (SAMPLES / name).read_text().splitlines()
    return {number for number, line in enumerate(lines, 1) if "# mistake:" in line}


def tool_beside_interpreter(name):
    return shutil.which(name, path=os.path.dirname(sys.executable)) or shutil.which(name)


@pytest.fixture
def samples(tmp_path):
    for name in (GOOD, BAD):
        shutil.copy(SAMPLES / name, tmp_path / name)
    (tmp_path / "pyrightconfig.json").write_text(json.dumps({"typeCheckingMode": "standard"}))
    return tmp_path


def checker_env():
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)  # a sanitizer runtime the suite may run under
    return env


def run_mypy(directory, name):
    try:
        import mypy  # noqa: F401
    except ImportError:
        pytest.skip("mypy is not installed")
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
         "--no-error-summary", "--hide-error-context", name],
        cwd=directory, capture_output=True, text=True, timeout=600, env=checker_env())
    errors = {}
    for line in done.stdout.splitlines():
        found = re.match(re.escape(name) + r":(\d+): error: (.*)", line)
        if found:
            errors.setdefault(int(found.group(1)), []).append(found.group(2))
    return done, errors


def run_pyright(directory, name):
    pyright = tool_beside_interpreter("pyright") or tool_beside_interpreter("basedpyright")
    if pyright is None:
        pytest.skip("neither pyright nor basedpyright is installed")
    done = subprocess.run([pyright, "--outputjson", "--pythonpath", sys.executable, name],
                          cwd=directory, capture_output=True, text=True, timeout=600,
                          env=checker_env())
    assert done.stdout.strip(), done.stderr
    errors = {}
    for d in json.loads(done.stdout)["generalDiagnostics"]:
        if d["severity"] == "error":
            errors.setdefault(d["range"]["start"]["line"] + 1, []).append(
                f'{d["message"]} ({d.get("rule", "")})')
    return done, errors


@pytest.mark.parametrize("check", [run_mypy, run_pyright], ids=["mypy", "pyright"])
def test_the_documented_usage_type_checks(samples, check):
    done, errors = check(samples, GOOD)
    assert errors == {} and done.returncode == 0, done.stdout + done.stderr


@pytest.mark.parametrize("check", [run_mypy, run_pyright], ids=["mypy", "pyright"])
def test_five_planted_mistakes_are_each_caught(samples, check):
    done, errors = check(samples, BAD)
    assert len(marked_lines(BAD)) == 5
    assert set(errors) == marked_lines(BAD), done.stdout + done.stderr
    text = (SAMPLES / BAD).read_text().splitlines()
    await_line = next(n for n in marked_lines(BAD) if "no await" in text[n - 1])
    assert any(re.search("await|coroutine", m, re.I) for m in errors[await_line]), errors[await_line]
    field_line = next(n for n in marked_lines(BAD) if "no such field" in text[n - 1])
    assert any('"payload"' in message for message in errors[field_line]), errors[field_line]
