#!/usr/bin/env bash
# The package's types as a user meets them: mypy --strict over user-style scripts
# and the examples against the installed package, and mypy.stubtest comparing the
# extension module's stubs with the built module. Run after tests/run.sh, which
# installs the package into $PYTHON.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
quiet() { local out; if ! out=$("$@" 2>&1); then echo "$out" >&2; return 1; fi; }

quiet "$PYTHON" -m pip install --disable-pip-version-check mypy
# The package's own files, strictly and with no allowance.
(cd tests/typing && "$PYTHON" -m mypy --strict --no-incremental ../../python/quorvane/*.py)
# Scripts as a user writes them, against the installed package (from tests/typing,
# so that it is not taken from the tree). Dask's own functions carry no
# annotations, so calls into them are allowed there.
(cd tests/typing && "$PYTHON" -m mypy --strict --no-incremental --untyped-calls-exclude=dask \
  --untyped-calls-exclude=distributed ./*.py ../../examples/*.py)
(cd tests/typing && "$PYTHON" use_dask.py)
(cd tests/typing && "$PYTHON" -m mypy.stubtest _quorvane quorvane._greeks quorvane_runtime)
