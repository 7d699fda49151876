#!/usr/bin/env bash
# Builds the module into the local virtual environment and runs the demo.
source "$(dirname "$0")/common.sh"
ensure_venv
"$VENV/bin/python" -m pip install -q --disable-pip-version-check "$ROOT"
exec "$VENV/bin/python" "$ROOT/examples/demo.py" "$@"
