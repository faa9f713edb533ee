#!/usr/bin/env bash
# Builds the abi3 wheel once with CPython 3.12, installs it into a fresh
# virtual environment for each target (3.12, 3.13, and 3.12 with NumPy 1.26
# by default), and runs the test suite against each installed copy (never
# against the source tree).
set -euo pipefail
cd "$(dirname "$0")/.."
here="$PWD"
work="${VELKOR_WORK:-$here/.work}"
mkdir -p "$work"

py312=$(bash scripts/find-python.sh 3.12)
rm -rf "$work/wheelhouse"
"$py312" -m venv "$work/build-env"
"$work/build-env/bin/python" -m pip install -q --upgrade pip build
"$work/build-env/bin/python" -m build --wheel --outdir "$work/wheelhouse" .
wheel=$(ls "$work"/wheelhouse/*-cp312-abi3-*.whl)
echo "built $wheel"

# Each entry: a Python version, optionally "+numpy==X" to pin the runtime NumPy
# (1.26 keeps its C API under numpy.core, 2.x under numpy._core).
status=0
for target in ${VELKOR_TEST_TARGETS:-3.12 3.13 3.12+numpy==1.26.4}; do
  version=${target%%+*}
  pin=""
  [ "$target" != "$version" ] && pin=${target#*+}
  python=$(bash scripts/find-python.sh "$version")
  env="$work/test-$target"
  rm -rf "$env"
  "$python" -m venv "$env"
  "$env/bin/python" -m pip install -q --upgrade pip
  "$env/bin/python" -m pip install -q "$wheel[test]" $pin
  echo "== pytest on $("$env/bin/python" --version), numpy $("$env/bin/python" -c 'import numpy; print(numpy.__version__)')"
  (cd "$here" && "$env/bin/python" -m pytest -q) || status=$?
done
exit $status
