#!/usr/bin/env bash
# Builds the sdist into dist/, checks what it holds and that its metadata
# renders on a package index, then installs it as a user would
# (`pip install tarnwick-*.tar.gz`, compiled by the machine's C++20 compiler)
# into fresh virtual environments of the oldest and the newest Python 3.9+
# found, and runs the packaging tests from the unpacked sdist against each
# (the whole suite ran against the wheel on those interpreters).
source "$(dirname "$0")/common.sh"
ensure_venv build twine "scikit-build-core>=0.11"

mkdir -p "$ROOT/dist"
rm -f "$ROOT"/dist/tarnwick-*.tar.gz
"$VENV/bin/python" -m build -q --sdist --no-isolation -o "$ROOT/dist" "$ROOT" >/dev/null
sdist="$(ls "$ROOT"/dist/tarnwick-*.tar.gz)"
echo "sdist: dist/$(basename "$sdist")"
"$VENV/bin/twine" check --strict "$sdist"

src="$ROOT/build/sdist-src"
rm -rf "$src"
mkdir -p "$src"
tar -xzf "$sdist" -C "$src" --strip-components=1
for need in LICENSE README.md CHANGELOG.md CMakeLists.txt pyproject.toml src/module/tarnwick.pyi \
    python/tarnwick_queue/_native.pyi python/tarnwick_queue/py.typed \
    tests/core/conftest.py; do
  [ -e "$src/$need" ] || { echo "error: the sdist lacks $need" >&2; exit 1; }
done
for unwanted in build dist .venv bench/results; do
  [ ! -e "$src/$unwanted" ] || { echo "error: the sdist holds $unwanted" >&2; exit 1; }
done

mapfile -t pythons < <(find_pythons)
[ "${#pythons[@]}" -gt 0 ] || { echo "error: no Python 3.9+ found" >&2; exit 1; }
[ "${#pythons[@]}" -le 2 ] || pythons=("${pythons[0]}" "${pythons[-1]}")
for python in "${pythons[@]}"; do
  version="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
  echo "== Python $version: pip install $(basename "$sdist"), then the packaging tests"
  env="$ROOT/build/venv-sdist-$version"
  fresh_venv "$python" "$env" "$sdist" pytest hypothesis mypy "pyright[nodejs]"
  status=0
  (cd "$src" && TARNWICK_PACKAGING_CHECKS=all TARNWICK_TORTURE_ROUNDS=2 \
    "$env/bin/python" -m pytest -q -p no:cacheprovider -m "not slow" "${PACKAGING_TESTS[@]}") ||
    status=$?
  [ "$status" -ne 5 ] || { echo "error: pytest collected no tests" >&2; exit 1; }
  [ "$status" -eq 0 ] || exit "$status"
done
echo "sdist $(basename "$sdist") passed on: ${pythons[*]}"
