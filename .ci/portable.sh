#!/usr/bin/env bash
# The native tests built with the portable platform layer (QUORVANE_PORTABLE=ON:
# std::atomic wait/notify instead of futexes, no x86 intrinsics, the baseline
# kernels only), as a platform without the Linux x86-64 layer builds them. The
# bits are the same: the baseline instance is the reference every target is
# tested against.
set -euo pipefail
cd "$(dirname "$0")/.."
quiet() { local out; if ! out=$("$@" 2>&1); then echo "$out" >&2; return 1; fi; }
dir=build/portable-native
echo "portable: building the native tests with QUORVANE_PORTABLE=ON ($dir)"
quiet cmake -S . -B "$dir" -G Ninja -DQUORVANE_PYTHON=OFF -DQUORVANE_NATIVE_TESTS=ON \
  -DQUORVANE_PORTABLE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
quiet cmake --build "$dir"
# What the portable layer leaves out: no object of the core (nor of the tests)
# reads an x86 intrinsics header, the Linux layer's object is empty (no futex
# call of its own; std::atomic wait/notify is the standard library's, which may
# use the system's futexes itself), and no AVX2 or AVX-512 object is built.
ninja=$(sed -n 's/^CMAKE_MAKE_PROGRAM:[A-Z]*=//p' "$dir/CMakeCache.txt")
headers=$("$ninja" -C "$dir" -t deps)
if grep -E 'mmintrin\.h' <<<"$headers" >/dev/null; then
  echo "portable: an object includes an x86 intrinsics header:" >&2
  grep -E '^[^ ].*: #deps|mmintrin\.h' <<<"$headers" | grep -B1 mmintrin >&2
  exit 1
fi
linux_symbols=$(nm --defined-only "$dir/CMakeFiles/quorvane_core.dir/quorvane-rt/src/core/platform/platform_linux.cpp.o")
if [ -n "$linux_symbols" ]; then
  echo "portable: the Linux platform layer was compiled in:" >&2
  echo "$linux_symbols" >&2
  exit 1
fi
if find "$dir" -name '*_avx2.cpp.o' -o -name '*_avx512.cpp.o' | grep . >/dev/null; then
  echo "portable: an AVX2 or AVX-512 object was built" >&2; exit 1
fi
log=$dir/ctest.log
status=0
ctest --test-dir "$dir" --output-on-failure >"$log" 2>&1 || status=$?
grep -v -E '^ *Start +[0-9]+: |^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed +[0-9.]+ sec$|^$' "$log" || true
[ "$status" = 0 ] || { echo "portable: native tests failed (full log: $log)" >&2; exit "$status"; }
