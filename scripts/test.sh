#!/usr/bin/env bash
# Builds everything and runs every test (after ruff and mypy --strict on the
# package):
#   1. the engine's C++ unit tests and the crash harness (a child SIGKILLed at
#      each named kill point), plain and under AddressSanitizer + UBSan;
#   2. the libFuzzer target over the log reader and recovery, for a bounded time;
#   3. the Python suite against the installed module, then against a
#      sanitized build of it (without the PostgreSQL backend, which runs no
#      native code);
#   4. the dramatiq and Celery adapters, with dramatiq's and kombu's own tests
#      (scripts/framework_tests.sh);
#   5. the manylinux abi3 wheel (scripts/build_wheel.sh), checked with
#      auditwheel and abi3audit; the suite runs against it on the oldest
#      Python 3.9+ found, the packaging tests on every other one;
#   6. the sdist (scripts/check_sdist.sh), installed with pip into fresh
#      environments of the oldest and newest Python, with the packaging tests.
# Steps 5 and 6 also check the modules' exported symbols and that mypy and
# pyright find the type stubs.
# TARNWICK_QUICK=1 runs only steps 1 (plain) and 3 (installed module).
source "$(dirname "$0")/common.sh"

JOBS="${JOBS:-2}"
QUICK="${TARNWICK_QUICK:-0}"
FUZZ_SECONDS="${TARNWICK_FUZZ_SECONDS:-60}"

have_header() { [ -f "/usr/include/$1" ] || [ -f "/usr/local/include/$1" ]; }

apt_install() {  # package...; only as root, else say what is missing
  if [ "$(id -u)" -ne 0 ]; then
    echo "error: missing $*; install Debian's package(s): apt-get install $*" >&2
    exit 1
  fi
  echo "== installing $*"
  if [ -z "${APT_UPDATED:-}" ]; then apt-get update -qq; APT_UPDATED=1; fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

# Two steps that each keep about one core busy run side by side: the step
# started with start_step runs in the background, its output in
# build/logs/NAME.log, shown (and its failure reported) by finish_step.
declare -A STEPS
kill_tree() {  # pid: the process and everything it started
  local child
  for child in $(ps -o pid= --ppid "$1" 2>/dev/null); do kill_tree "$child"; done
  kill "$1" 2>/dev/null || true
}
# A failing step ends the run: what still runs alongside goes with it.
trap 'for pid in "${STEPS[@]}"; do kill_tree "$pid"; done' EXIT
start_step() {  # name, command...
  local name="$1"
  shift
  mkdir -p "$ROOT/build/logs"
  "$@" >"$ROOT/build/logs/$name.log" 2>&1 &
  STEPS[$name]=$!
}
finish_step() {  # name
  local name="$1" status=0
  wait "${STEPS[$name]}" || status=$?
  unset "STEPS[$name]"
  echo "== (run alongside) $name"
  cat "$ROOT/build/logs/$name.log"
  if [ "$status" -ne 0 ]; then
    echo "error: $name failed (exit $status)" >&2
    exit "$status"
  fi
}

cpp_tests() {  # build dir, extra cmake args...
  local dir="$1"
  shift
  cmake -S "$ROOT" -B "$dir" -G Ninja -DTARNWICK_BUILD_MODULE=OFF -DTARNWICK_WERROR=ON \
    -DTARNWICK_KILL_POINTS=ON "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
  ctest --test-dir "$dir" --output-on-failure -j "$JOBS"
}

have_header gtest/gtest.h || apt_install libgtest-dev
ensure_venv cmake ninja pytest hypothesis numpy "psycopg[binary]>=3.1" mypy basedpyright ruff croniter prometheus_client opentelemetry-sdk selenium
export PATH="$VENV/bin:$PATH"

# The old releases the compat tests run are built while the lint, the C++
# tests and the first Python tests go on; a test that needs one waits for it.
start_step "old releases for the compat tests" "$VENV/bin/python" "$ROOT/tests/compat/old_build.py"

echo "== Lint and type checks of the package (ruff, mypy --strict)"
(cd "$ROOT" && ruff check && mypy)

echo "== C++ unit tests"
cpp_tests "$ROOT/build/tests"

echo "== Python tests (installed module)"
install_module
# The real 30-second lock time-out is waited out once, here. The package's suite
# starts a PostgreSQL server of its own for the PostgreSQL backend.
TARNWICK_SLOW_TESTS=1 run_pytest "$VENV/bin/python"
# The face's suites once more on the disk backend, every queue on a preallocated log.
TARNWICK_TEST_PREALLOCATE=1 run_pytest "$VENV/bin/python" -k disk tests/queue/test_behaviour.py \
  tests/queue/test_semantics.py tests/queue/test_outcomes.py tests/queue/test_schedules.py \
  tests/queue/test_leases.py tests/queue/test_dead_letter_once.py tests/queue/test_ready_stats.py
# The bench harness, from the source tree (bench/ is not in the packaging runs).
run_pytest "$VENV/bin/python" tests/bench
finish_step "old releases for the compat tests"

[ "$QUICK" = 1 ] && exit 0

# The adapters' tests wait on worker processes more than they compute.
start_step "dramatiq and Celery adapters, with the frameworks' own tests" \
  "$ROOT/scripts/framework_tests.sh"

echo "== C++ unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cpp_tests "$ROOT/build/tests-asan" -DTARNWICK_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo

echo "== Fuzzing the log reader and recovery for ${FUZZ_SECONDS}s"
command -v clang++ >/dev/null || apt_install clang
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$ROOT/build/fuzz" -G Ninja -DTARNWICK_FUZZ=ON \
  -DTARNWICK_BUILD_MODULE=OFF -DTARNWICK_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$ROOT/build/fuzz" -j "$JOBS"
seeds="$ROOT/build/fuzz/seeds" corpus="$ROOT/build/fuzz/corpus"
mkdir -p "$corpus"
"$VENV/bin/python" "$ROOT/tests/fuzz/make_seeds.py" "$seeds"
# Inputs are at most 4 KiB, so no allocation may come near 16 MiB: a torn
# header announcing a huge payload must not allocate it.
(cd "$ROOT/build/fuzz" && ./log_fuzz -max_total_time="$FUZZ_SECONDS" -malloc_limit_mb=16 \
  -rss_limit_mb=2048 -print_final_stats=1 "$corpus" "$seeds" 2>fuzz.log) || {
  grep -v '^Tarnwick:' "$ROOT/build/fuzz/fuzz.log" | tail -40; exit 1; }
grep -E '^(stat::number_of_executed_units|Done)' "$ROOT/build/fuzz/fuzz.log" || true
finish_step "dramatiq and Celery adapters, with the frameworks' own tests"

echo "== The module built with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S "$ROOT" -B "$ROOT/build/module-asan" -G Ninja -DTARNWICK_BUILD_TESTS=OFF \
  -DTARNWICK_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
cmake --build "$ROOT/build/module-asan" -j "$JOBS"
# The package beside the sanitized modules, so that both are the ones imported.
package="$ROOT/build/module-asan/tarnwick_queue"
rm -rf "$package"
cp -r "$ROOT/python/tarnwick_queue" "$package"
rm -f "$package"/*.so
cp "$ROOT"/build/module-asan/_native*.so "$package/"
preload="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
sanitized_pytest() {
  TARNWICK_SANITIZED=1 LD_PRELOAD="$preload" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONPATH="$ROOT/build/module-asan" \
    TARNWICK_TORTURE_ROUNDS=3 run_pytest "$VENV/bin/python" -x -k "not postgres"
}
# The wheel's tools go into the environment before the tests run from it.
ensure_venv "${WHEEL_TOOLS[@]}"
start_step "Python tests against a sanitized module" sanitized_pytest

echo "== The manylinux abi3 wheel, on every interpreter"
TARNWICK_WHEEL_PYTHONS=all bash "$ROOT/scripts/build_wheel.sh"
finish_step "Python tests against a sanitized module"

echo "== The sdist, installed by pip"
bash "$ROOT/scripts/check_sdist.sh"
