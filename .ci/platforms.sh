#!/usr/bin/env bash
# A build for a platform quorvane does not support stops at configure time with
# a message naming the supported ones (CMakeLists.txt), not inside the compiler.
# Checked by configuring for Linux on other processors with this machine's
# compiler (CMake cannot configure for another OS with it: its compiler checks
# fail first).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build/platforms
for processor in riscv64 ppc64le i686; do
  rm -rf "$dir"
  status=0
  out=$(cmake -S . -B "$dir" -G Ninja -DQUORVANE_PYTHON=OFF -DCMAKE_SYSTEM_NAME=Linux \
          -DCMAKE_SYSTEM_PROCESSOR="$processor" 2>&1) || status=$?
  if [ "$status" = 0 ] || ! grep -q "quorvane supports Linux on x86-64" <<<"$out"; then
    echo "platforms: configuring for Linux on $processor did not stop with the supported platforms" >&2
    echo "$out" >&2
    exit 1
  fi
done
rm -rf "$dir"
echo "platforms: builds for Linux on riscv64, ppc64le and i686 stop at configure time, naming the supported platforms"
