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
# What the portable layer leaves out: no futex system call (nor any syscall), no
# AVX2 object, and none of the x86 prefetch instructions of the Linux layer.
core=$dir/libquorvane_core.a
if nm -u "$core" | grep -qw syscall; then
  echo "portable: the core still calls syscall (futexes)" >&2; exit 1
fi
if find "$dir" -name '*_avx2.cpp.o' | grep -q .; then
  echo "portable: an AVX2 object was built" >&2; exit 1
fi
if objdump -d "$core" | grep -qE 'prefetcht[01]'; then
  echo "portable: the core has the x86 prefetch assembly of the Linux layer" >&2; exit 1
fi
log=$dir/ctest.log
status=0
ctest --test-dir "$dir" --output-on-failure >"$log" 2>&1 || status=$?
grep -v -E '^ *Start +[0-9]+: |^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed +[0-9.]+ sec$|^$' "$log" || true
[ "$status" = 0 ] || { echo "portable: native tests failed (full log: $log)" >&2; exit "$status"; }
