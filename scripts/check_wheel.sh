#!/usr/bin/env bash
# Builds the abi3 wheel once, audits it, and runs the Python suite with it
# installed into a fresh virtual environment of each Python 3.9+ present.
source "$(dirname "$0")/common.sh"
ensure_venv abi3audit

dist="$ROOT/build/dist"
rm -rf "$dist"
"$VENV/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$dist" "$ROOT"
wheel="$(ls "$dist"/tarnwick-*.whl)"
echo "wheel: $(basename "$wheel")"
case "$wheel" in
  *-cp39-abi3-*) ;;
  *) echo "error: the wheel is not tagged cp39-abi3" >&2; exit 1 ;;
esac
"$VENV/bin/abi3audit" --strict --report "$wheel" >/dev/null
echo "abi3audit: clean"

interpreters=()
for minor in 9 10 11 12 13; do
  found=""
  # pyenv's real binaries first: its shims exist for every version but run
  # only the selected ones.
  for candidate in "$(pyenv root 2>/dev/null)/versions/3.$minor"*/bin/"python3.$minor" \
      "python3.$minor"; do
    if "$candidate" -c 'pass' >/dev/null 2>&1; then found="$(command -v "$candidate")"; break; fi
  done
  [ -n "$found" ] && interpreters+=("$found")
done
[ "${#interpreters[@]}" -gt 0 ] || { echo "error: no Python 3.9+ found" >&2; exit 1; }

for python in "${interpreters[@]}"; do
  version="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
  env="$ROOT/build/venv-$version"
  rm -rf "$env"
  "$python" -m venv "$env"
  "$env/bin/python" -m pip install -q --disable-pip-version-check "$wheel" pytest hypothesis
  echo "== Python $version"
  TARNWICK_TORTURE_ROUNDS=2 run_python_suites "$env/bin/python"
done
echo "abi3 wheel passed on: ${interpreters[*]}"
