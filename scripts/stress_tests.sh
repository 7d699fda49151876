#!/usr/bin/env bash
# Runs the Python suites (as scripts/test.sh's "installed module" step does)
# several rounds in a row with two CPU-bound neighbours, so that a test whose
# timing only holds on an idle machine fails here. Not part of CI's default
# run. Stops at the first failing round and says how many rounds passed.
#   TARNWICK_STRESS_ROUNDS  rounds to run (default 3)
#   TARNWICK_STRESS_SKIP_INSTALL=1  test the installed module as it is
# Extra arguments go to pytest.
source "$(dirname "$0")/common.sh"

ROUNDS="${TARNWICK_STRESS_ROUNDS:-3}"

ensure_venv pytest hypothesis numpy "psycopg[binary]>=3.1" croniter prometheus_client opentelemetry-sdk
if [ "${TARNWICK_STRESS_SKIP_INSTALL:-0}" != 1 ]; then
  install_module
fi

neighbours=()
stop_neighbours() {
  local pid
  for pid in "${neighbours[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${neighbours[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap stop_neighbours EXIT
for _ in 1 2; do
  "$PYTHON" -c 'while True: pass' &
  neighbours+=("$!")
done

passed=0
for round in $(seq 1 "$ROUNDS"); do
  echo "== round $round of $ROUNDS, beside two CPU-bound neighbours"
  if ! TARNWICK_SLOW_TESTS=1 run_pytest "$VENV/bin/python" "$@"; then
    echo "stress: $passed of $ROUNDS rounds passed; round $round failed" >&2
    exit 1
  fi
  passed=$((passed + 1))
done
echo "stress: $passed of $ROUNDS rounds passed"
