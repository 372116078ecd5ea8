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
# Scripts as a user writes them, and the examples, against the installed package
# (from tests/typing, so that it is not taken from the tree), with the mypy
# configuration the guide gives users, read from the guide's Types section.
config=$PWD/build/typing/guide-mypy.toml
mkdir -p "$(dirname "$config")"
awk '/^## /{types = ($0 == "## Types")} types && /^```toml$/{block = 1; next}
     block && /^```$/{exit} block' docs/guide.md > "$config"
grep -q '^\[tool\.mypy\]$' "$config" || { echo "typing: no [tool.mypy] block in docs/guide.md's Types section" >&2; exit 1; }
(cd tests/typing && "$PYTHON" -m mypy --config-file "$config" --no-incremental ./*.py ../../examples/*.py)
(cd tests/typing && "$PYTHON" use_dask.py)
(cd tests/typing && "$PYTHON" -m mypy.stubtest _quorvane quorvane._greeks quorvane._chunks quorvane._localised quorvane._average quorvane_runtime)
