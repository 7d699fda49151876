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
run_pytest() {  # python, extra pytest args...
  local python="$1" status=0
  shift
  (cd "$ROOT" && "$python" -m pytest -q -p no:cacheprovider "$@") || status=$?
  if [ "$status" -eq 5 ]; then echo "error: pytest collected no tests" >&2; return 1; fi
  return "$status"
}

# A fresh virtual environment at `dir` made by `python`, with the packages
# named after it installed (wheels, sdists or requirements).
fresh_venv() {  # python, dir, packages...
  local python="$1" dir="$2"
  shift 2
  rm -rf "$dir"
  "$python" -m venv "$dir"
  "$dir/bin/python" -m pip install -q --disable-pip-version-check "$@"
}
