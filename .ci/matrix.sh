#!/usr/bin/env bash
# One stable-ABI wheel, built once, audited, and tested under every supported
# CPython, with the oldest NumPy the package declares (1.22), the last NumPy 1
# (1.26), NumPy 2.0 and the newest NumPy 2.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
# Runs a command quietly, showing its output only when it fails.
quiet() { local out; if ! out=$("$@" 2>&1); then echo "$out" >&2; return 1; fi; }
work=build/matrix
rm -rf "$work" && mkdir -p "$work"

quiet "$PYTHON" -m pip install --disable-pip-version-check abi3audit
quiet "$PYTHON" -m pip wheel --disable-pip-version-check --no-deps -w "$work/dist" .
wheel=$(ls "$work"/dist/quorvane-*-cp310-abi3-*.whl)
echo "matrix: built $(basename "$wheel")"
"$PYTHON" -m abi3audit --strict --report "$wheel"

# Each extension module of the wheel exports its initialiser and nothing else.
mkdir -p "$work/unpacked"
"$PYTHON" -m zipfile -e "$wheel" "$work/unpacked"
modules=$(cd "$work/unpacked" && find . -name '*.abi3.so' | sed 's|^\./||' | sort)
if [ "$modules" != "$(printf '%s\n' _quorvane.abi3.so quorvane/_greeks.abi3.so)" ]; then
  echo "matrix: unexpected extension modules:" $modules >&2
  exit 1
fi
for module in $modules; do
  init="PyInit_$(basename "$module" .abi3.so)"
  exports=$(nm -D --defined-only "$work/unpacked/$module" | awk '{print $3}')
  if [ "$exports" != "$init" ]; then
    echo "matrix: $module exports unexpected symbols:" $exports >&2
    exit 1
  fi
  echo "matrix: $module exports only $init"
done
# The one native runtime both modules load: it exports their two initialisers.
runtime="$work/unpacked/quorvane/libquorvane_rt.so"
exports=$(nm -D --defined-only "$runtime" | awk '{print $3}' | sort)
if [ "$exports" != "$(printf '%s\n' quorvane_rt_init__greeks quorvane_rt_init__quorvane)" ]; then
  echo "matrix: quorvane/libquorvane_rt.so exports unexpected symbols:" $exports >&2
  exit 1
fi
echo "matrix: quorvane/libquorvane_rt.so exports only the two initialisers"

interpreter() {  # newest installed pyenv CPython of a minor version
  local version
  version=$(pyenv versions --bare | grep -E "^$1\.[0-9]+$" | sort -V | tail -n 1)
  [ -n "$version" ] || { echo "matrix: no CPython $1 under pyenv" >&2; return 1; }
  echo "$(pyenv prefix "$version")/bin/python"
}

run_cell() {  # minor version, NumPy requirement
  local python venv
  python=$(interpreter "$1")
  venv="$work/venv-$1"
  "$python" -m venv "$venv"
  quiet "$venv/bin/python" -m pip install --disable-pip-version-check "$wheel[test]" "$2"
  echo "matrix: CPython $1 with NumPy $("$venv/bin/python" -c 'import numpy; print(numpy.__version__)')"
  # From the tests folder, so the package is imported from the wheel, not the tree.
  # The test extra is installed: Dask or matplotlib failing to import is an error.
  QUORVANE_REQUIRE_EXTRAS=1 "$venv/bin/python" -m pytest -q -p no:cacheprovider tests
}

run_cell 3.10 "numpy==1.22.*"  # the oldest in pyproject.toml's dependencies
run_cell 3.11 "numpy==1.26.*"
run_cell 3.12 "numpy==2.0.*"
run_cell 3.13 "numpy>=2"
