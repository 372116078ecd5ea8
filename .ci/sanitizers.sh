#!/usr/bin/env bash
# The extension built with AddressSanitizer and UndefinedBehaviorSanitizer under
# the whole pytest suite, and the native tests under ThreadSanitizer and under
# ASan+UBSan. Any finding aborts its run and fails CI.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
# Runs a command quietly, showing its output only when it fails.
quiet() { local out; if ! out=$("$@" 2>&1); then echo "$out" >&2; return 1; fi; }
configure() {  # build folder, then CMake options
  local dir=$1
  shift
  echo "sanitizers: building $dir"
  quiet cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  quiet cmake --build "$dir"
}

configure build/tsan -DQUORVANE_PYTHON=OFF -DQUORVANE_NATIVE_TESTS=ON -DQUORVANE_SANITIZE=thread
# --gtest_brief=1: only failures and the summary are printed.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 allocator_may_return_null=1" build/tsan/quorvane-rt/tests/quorvane_native_tests --gtest_brief=1

configure build/asan-native -DQUORVANE_PYTHON=OFF -DQUORVANE_NATIVE_TESTS=ON -DQUORVANE_SANITIZE=address,undefined
ASAN_OPTIONS="halt_on_error=1 allocator_may_return_null=1" UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
  build/asan-native/quorvane-rt/tests/quorvane_native_tests --gtest_brief=1

configure build/asan -DPython_EXECUTABLE="$(command -v "$PYTHON")" -DSKBUILD_SABI_COMPONENT=Development.SABIModule \
  -DQUORVANE_SANITIZE=address,undefined
# The interpreter is not instrumented, so the ASan runtime must be loaded first;
# its own allocations would be reported as leaks at exit, hence detect_leaks=0.
# A failed allocation must come back as null, as it does without the sanitizer,
# so that the out-of-memory tests meet the same behaviour.
# The package's Python files come from the tree, the extensions from build/asan;
# quorvane._greeks, quorvane._chunks, quorvane._localised and quorvane._average live inside the package, so the package is assembled beside it.
site=build/asan/site
rm -rf "$site" && mkdir -p "$site/quorvane"
cp python/quorvane/*.py python/quorvane/*.pyi python/quorvane/py.typed "$site/quorvane/"
cp build/asan/_greeks.abi3.so build/asan/_chunks.abi3.so build/asan/_localised.abi3.so build/asan/_average.abi3.so "$site/quorvane/"
LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)" \
ASAN_OPTIONS="detect_leaks=0 halt_on_error=1 abort_on_error=1 allocator_may_return_null=1" \
UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
QUORVANE_SANITIZED=1 QUORVANE_TEST_SCALE=${QUORVANE_TEST_SCALE:-0.1} \
PYTHONPATH="$PWD/build/asan:$PWD/$site" \
  "$PYTHON" -m pytest -q -p no:cacheprovider tests
