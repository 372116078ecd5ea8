#!/usr/bin/env bash
# The native tests built with clang instead of gcc, so that the core stays
# portable C++ (no gcc-only attributes or extensions). clang comes from Debian;
# clang 19 is the first of Debian 12's that compiles std::source_location with
# its libstdc++. Installed here when missing (CI runs as root).
set -euo pipefail
cd "$(dirname "$0")/.."
quiet() { local out; if ! out=$("$@" 2>&1); then echo "$out" >&2; return 1; fi; }
compiler=clang++-19
if ! command -v "$compiler" >/dev/null; then
  [ "$(id -u)" = 0 ] || { echo "clang: $compiler is missing; install it (apt-get install clang-19)" >&2; exit 1; }
  echo "clang: installing Debian's clang-19 system-wide with apt-get, as root"
  quiet apt-get update -qq
  quiet env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-19
fi
echo "clang: building the native tests with $($compiler --version | head -n 1)"
quiet cmake -S . -B build/clang-native -G Ninja -DCMAKE_CXX_COMPILER="$compiler" \
  -DQUORVANE_PYTHON=OFF -DQUORVANE_NATIVE_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The build is quiet but for its warnings, which do not fail it.
build_log=build/clang-native/build.log
if ! cmake --build build/clang-native >"$build_log" 2>&1; then cat "$build_log" >&2; exit 1; fi
grep -E 'warning:' "$build_log" || true
log=build/clang-native/ctest.log
status=0
ctest --test-dir build/clang-native --output-on-failure >"$log" 2>&1 || status=$?
grep -v -E '^ *Start +[0-9]+: |^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed +[0-9.]+ sec$|^$' "$log" || true
[ "$status" = 0 ] || { echo "clang: native tests failed (full log: $log)" >&2; exit "$status"; }
