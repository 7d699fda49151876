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
