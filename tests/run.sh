#!/usr/bin/env bash
# Installs what the tests need, then runs every test: the native tests of the C++
# core (GoogleTest, through ctest) and the Python suite (pytest) against the
# installed package. Usage: bash tests/run.sh   (PYTHON=... to pick the interpreter)
#
# What it installs, each announced before it happens: Debian's libgtest-dev
# (GoogleTest's sources) through apt-get when it is missing and this runs as
# root; CMake and Ninja, then the package with its test extra, into $PYTHON.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
# Runs a command quietly, showing its output only when it fails.
quiet() { local out; if ! out=$("$@" 2>&1); then echo "$out" >&2; return 1; fi; }
say() { echo "tests/run.sh: $*"; }

# GoogleTest comes from Debian's libgtest-dev, which ships its sources.
if [ ! -f /usr/src/googletest/googletest/CMakeLists.txt ]; then
  if [ "$(id -u)" = 0 ]; then
    say "installing Debian's libgtest-dev (GoogleTest) system-wide with apt-get, as root"
    quiet apt-get update -qq
    quiet env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev
  else
    echo "tests/run.sh: libgtest-dev is missing; install it (apt-get install libgtest-dev)" >&2
    exit 1
  fi
fi

say "installing CMake and Ninja into $("$PYTHON" -c 'import sys; print(sys.prefix)')"
quiet "$PYTHON" -m pip install --disable-pip-version-check "cmake>=3.26" ninja
say "building the native tests (build/native-tests)"
quiet cmake -S . -B build/native-tests -G Ninja -DQUORVANE_PYTHON=OFF -DQUORVANE_NATIVE_TESTS=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo
quiet cmake --build build/native-tests
# One test at a time: several pool tests wait on other threads with deadlines.
# The full log stays in build/native-tests; shown here are the failures and the summary.
log=build/native-tests/ctest.log
status=0
ctest --test-dir build/native-tests --output-on-failure >"$log" 2>&1 || status=$?
grep -v -E '^ *Start +[0-9]+: |^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed +[0-9.]+ sec$|^$' "$log" || true
[ "$status" = 0 ] || { echo "tests/run.sh: native tests failed (full log: $log)" >&2; exit "$status"; }

say "installing the package with its test extra into $("$PYTHON" -c 'import sys; print(sys.prefix)')"
quiet "$PYTHON" -m pip install --disable-pip-version-check '.[test]'
# The test extra is installed, so a Dask or matplotlib that does not import is a
# failure here, not a reason to skip their tests.
QUORVANE_REQUIRE_EXTRAS=1 "$PYTHON" -m pytest
