#!/usr/bin/env bash
# Builds everything and runs every test: the engine's C++ unit tests, then
# the Python suite against the installed module.
source "$(dirname "$0")/common.sh"

ensure_gtest() {
  if [ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ]; then
    return
  fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "error: GoogleTest is missing; install Debian's package libgtest-dev (apt-get install libgtest-dev)" >&2
    exit 1
  fi
  echo "== installing libgtest-dev"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
}

ensure_gtest
ensure_venv cmake ninja pytest hypothesis
export PATH="$VENV/bin:$PATH"
JOBS="${JOBS:-2}"

echo "== C++ unit tests"
cmake -S "$ROOT" -B "$ROOT/build/tests" -G Ninja -DTARNWICK_BUILD_MODULE=OFF \
  -DTARNWICK_WERROR=ON >/dev/null
cmake --build "$ROOT/build/tests" -j "$JOBS"
ctest --test-dir "$ROOT/build/tests" --output-on-failure -j "$JOBS"

echo "== Python tests"
"$VENV/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$ROOT"
cd "$ROOT"
status=0
"$VENV/bin/python" -m pytest tests/python -q -p no:cacheprovider || status=$?
if [ "$status" -eq 5 ]; then
  echo "error: pytest collected no tests" >&2
  exit 1
fi
exit "$status"
