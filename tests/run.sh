#!/usr/bin/env bash
# Installs what the tests need, then runs every test: the native tests of the C++
# core (GoogleTest, through ctest) and the Python suite (pytest) against the
# installed package. Usage: bash tests/run.sh   (PYTHON=... to pick the interpreter)
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
# Runs a command quietly, showing its output only when it fails.
quiet() { local out; if ! out=$("$@" 2>&1); then echo "$out" >&2; return 1; fi; }

# GoogleTest comes from Debian's libgtest-dev, which ships its sources.
if [ ! -f /usr/src/googletest/googletest/CMakeLists.txt ]; then
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
  else
    echo "tests/run.sh: libgtest-dev is missing; install it (apt-get install libgtest-dev)" >&2
    exit 1
  fi
fi

quiet "$PYTHON" -m pip install --disable-pip-version-check "cmake>=3.26" ninja
cmake -S . -B build/native-tests -G Ninja -DQUORVANE_PYTHON=OFF -DQUORVANE_NATIVE_TESTS=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native-tests
# One test at a time: several pool tests wait on other threads with deadlines.
ctest --test-dir build/native-tests --output-on-failure

quiet "$PYTHON" -m pip install --disable-pip-version-check '.[test]'
"$PYTHON" -m pytest
