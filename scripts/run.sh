#!/usr/bin/env bash
# Builds the module into the local virtual environment and runs the demo.
source "$(dirname "$0")/common.sh"
install_module
exec "$VENV/bin/python" "$ROOT/examples/demo.py" "$@"
