#!/usr/bin/env bash
# Proves that no code compiled for a wider target (AVX2, AVX-512) can run on a
# CPU without it, by looking at the symbols of every *_avx2 and *_avx512 object
# of the given builds (default: the native-test build and the wheel's).
#
# Such an object may define, as a symbol other objects can bind, only its own
# entry points: strong functions whose name ends in its target's suffix (_avx2,
# _avx512), which baseline code calls after checking the CPU. Any other global
# or weak definition -- an inline function or template instance emitted out of
# line (a weak COMDAT copy), a static data member, an ifunc -- could be the copy
# the linker keeps for every caller, baseline code included. A static
# initialiser would run at load time whatever the CPU. Two weak definitions of
# the compilers' own are allowed: DW.ref.__gxx_personality_v0, a data word
# holding the address of the C++ personality routine, and clang's
# __clang_call_terminate, which only calls __cxa_begin_catch and
# std::terminate: the same in every object, and neither has an instruction of
# the target.
#
# Usage: bash .ci/check_avx2_symbols.sh [BUILD_DIR...]
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -eq 0 ]; then
  set -- build/native-tests
  for wheel_build in build/cp3*-abi3-*; do
    [ -d "$wheel_build" ] && set -- "$@" "$wheel_build"
  done
fi

status=0
for dir in "$@"; do
  for target in avx2 avx512; do
    objects=$(find "$dir" -name "*_${target}.cpp.o" | sort)
    if [ -z "$objects" ]; then
      echo "check_avx2_symbols: no *_${target} object under $dir (was it built?)" >&2
      exit 1
    fi
    dir_status=0
    for object in $objects; do
      # Defined symbols of global or weak binding: nm types in upper case, and
      # u (unique global), v/w (weak), i (ifunc).
      bad=$(nm --defined-only "$object" | awk 'NF == 3 && $2 ~ /^([A-Z]|u|v|w|i)$/ { print $2, $3 }' |
        while read -r type name; do
          if [ "$type" = T ] && [[ "$(c++filt "$name")" =~ ^[A-Za-z0-9_:]*_${target}\( ]]; then continue; fi
          if [ "$type" = V ] && [ "$name" = DW.ref.__gxx_personality_v0 ]; then continue; fi
          if [ "$type" = W ] && [ "$name" = __clang_call_terminate ]; then continue; fi
          echo "  $type $(c++filt "$name")"
        done)
      if [ -n "$bad" ]; then
        echo "check_avx2_symbols: $object defines symbols that baseline code could bind:" >&2
        echo "$bad" >&2
        dir_status=1
      fi
      if objdump -h "$object" | grep -q -E '\.(init_array|ctors)'; then
        echo "check_avx2_symbols: $object has a static initialiser" >&2
        dir_status=1
      fi
    done
    if [ $dir_status -eq 0 ]; then
      echo "check_avx2_symbols: $(echo "$objects" | wc -l) ${target} object(s) under $dir define only their entry points"
    fi
    status=$((status | dir_status))
  done
done
exit $status
