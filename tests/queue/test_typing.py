"""The package's types accept what the documentation shows and catch the
mistakes users make: mypy --strict and pyright (or basedpyright) check two
user scripts in typing_samples/. One uses every documented entry point and
must pass; the other plants five mistakes, each on a line marked
`# mistake: ...`, and each checker must report exactly those lines.

The native module's stub (python/tarnwick_queue/_native.pyi) is checked
three ways: mypy finds no error in the package's calls to the module (in
local.py and waiting.py), catches the misuses planted in
typing_samples/native_misuse.py, and the stub names exactly the types,
methods, parameters and constants the built module has, each documented.

A checker that is not installed is skipped with the reason (scripts/test.sh
installs both)."""

import ast
import inspect
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from tarnwick_queue import _native

SAMPLES = Path(__file__).parent / "typing_samples"
GOOD = "uses_every_entry_point.py"
BAD = "five_mistakes.py"
NATIVE_MISUSE = "native_misuse.py"
SOURCE = Path(__file__).parents[2] / "python"
NATIVE_STUB = SOURCE / "tarnwick_queue" / "_native.pyi"
# The package's modules that call the native module.
NATIVE_CALLERS = ["tarnwick_queue/local.py", "tarnwick_queue/waiting.py"]


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


def run_mypy_on_source(directory, names, *flags):
    """mypy on `names` (relative to `directory`), with the package taken from
    the source tree, so that the stub under test is the one it reads. Errors
    in the modules the files import are not reported: those are not the
    calls under test. Returns the run and its errors by (file, line)."""
    try:
        import mypy  # noqa: F401
    except ImportError:
        pytest.skip("mypy is not installed")
    env = checker_env()
    env["MYPYPATH"] = str(SOURCE)
    done = subprocess.run(
        [sys.executable, "-m", "mypy", *flags, "--follow-imports=silent", "--no-incremental",
         "--cache-dir", os.devnull, "--no-error-summary", "--hide-error-context", *names],
        cwd=directory, capture_output=True, text=True, timeout=600, env=env)
    errors = {}
    for line in done.stdout.splitlines():
        found = re.match(r"(.+?):(\d+): error: (.*)", line)
        if found:
            errors.setdefault((found.group(1), int(found.group(2))), []).append(found.group(3))
    return done, errors


def test_the_package_calls_the_native_module_as_its_stub_says():
    done, errors = run_mypy_on_source(SOURCE, NATIVE_CALLERS)
    # Without the stub, mypy would stop at the import of _native.
    assert errors == {} and done.returncode == 0, done.stdout + done.stderr


def test_the_native_stub_catches_misuse(tmp_path):
    shutil.copy(SAMPLES / NATIVE_MISUSE, tmp_path / NATIVE_MISUSE)
    done, errors = run_mypy_on_source(tmp_path, [NATIVE_MISUSE], "--strict")
    assert len(marked_lines(NATIVE_MISUSE)) == 4
    assert {line for _, line in errors} == marked_lines(NATIVE_MISUSE), done.stdout + done.stderr


def stub_tree():
    return ast.parse(NATIVE_STUB.read_text())


def public(names):
    return {name for name in names if not name.startswith("_")}


def stub_parameters(function, method):
    """(name, positional only, has a default) for each parameter of a stub
    function; for a method, without the first (self or cls)."""
    args = function.args
    found = [(a.arg, True) for a in args.posonlyargs] + [(a.arg, False) for a in args.args]
    with_default = len(found) - len(args.defaults)
    params = [(name, only, i >= with_default) for i, (name, only) in enumerate(found)]
    return params[1:] if method else params


def runtime_parameters(text_signature, method):
    """The same triples from a __text_signature__ such as
    "($self, token, lease_ms, /)" or "(path, lease_ms, read_only=False)"."""
    parts = [p.strip() for p in text_signature.strip("()").split(",") if p.strip()]
    only = "/" in parts
    params = []
    for part in parts:
        if part == "/":
            only = False
            continue
        params.append((part.split("=")[0], only, "=" in part))
    return params[1:] if method else params


@pytest.mark.skipif(sys.version_info < (3, 10), reason="Python 3.9 gives the limited API's "
                    "types no __text_signature__ to compare with")
def test_the_native_stub_names_exactly_what_the_module_has():
    tree = stub_tree()
    functions = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    constants = {n.target.id for n in tree.body if isinstance(n, ast.AnnAssign)}
    assert public(functions) | public(classes) | public(constants) == public(dir(_native))
    assert isinstance(_native.MAX_BODY_LEN, int) and "MAX_BODY_LEN" in constants

    for name in public(functions):
        assert (runtime_parameters(getattr(_native, name).__text_signature__, method=False)
                == stub_parameters(functions[name], method=False)), name

    for class_name in public(classes):
        runtime_type = getattr(_native, class_name)
        members = {n.name: n for n in classes[class_name].body if isinstance(n, ast.FunctionDef)}
        assert public(members) == public(vars(runtime_type)), class_name
        # The type's own signature is that of its constructor.
        assert (runtime_parameters(runtime_type.__text_signature__, method=False)
                == stub_parameters(members["__new__"], method=True)), class_name
        for name in public(members):
            attribute = vars(runtime_type)[name]
            is_property = any(isinstance(d, ast.Name) and d.id == "property"
                              for d in members[name].decorator_list)
            assert is_property == inspect.isdatadescriptor(attribute), f"{class_name}.{name}"
            if not is_property:
                assert (runtime_parameters(attribute.__text_signature__, method=True)
                        == stub_parameters(members[name], method=True)), f"{class_name}.{name}"


def test_every_native_type_method_and_function_has_a_docstring():
    assert _native.__doc__
    for name in public(dir(_native)) - {"MAX_BODY_LEN"}:
        obj = getattr(_native, name)
        assert obj.__doc__ and obj.__doc__.strip(), name
        if isinstance(obj, type):
            for member, attribute in vars(obj).items():
                if not member.startswith("_"):
                    assert attribute.__doc__ and attribute.__doc__.strip(), f"{name}.{member}"
