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

# The Python suites, each run by its own pytest: every directory has a
# conftest.py that its tests import by that name.
PYTHON_SUITES=(tests/python tests/face)

# Runs every suite with `python`; pytest's "no tests ran" (exit 5) fails too.
run_python_suites() {  # python, extra pytest args...
  local python="$1" suite status
  shift
  for suite in "${PYTHON_SUITES[@]}"; do
    status=0
    (cd "$ROOT" && "$python" -m pytest "$suite" -q -p no:cacheprovider "$@") || status=$?
    if [ "$status" -eq 5 ]; then echo "error: pytest collected no tests in $suite" >&2; return 1; fi
    [ "$status" -eq 0 ] || return "$status"
  done
}
