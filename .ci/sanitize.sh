#!/usr/bin/env bash
# The test suite against an AddressSanitizer + UndefinedBehaviorSanitizer
# build of the extension, in a virtual environment of its own (CPython 3.12)
# with its own build directory; then the ThreadSanitizer run of the C++ tests.
set -euo pipefail
cd "$(dirname "$0")/.."
work="${VELKOR_WORK:-$PWD/.work}"
env="$work/asan-env"
mkdir -p "$work"

if [ ! -x "$env/bin/python" ]; then
  "$(bash scripts/find-python.sh 3.12)" -m venv "$env"
fi
"$env/bin/python" -m pip install -q numpy scikit-build-core cmake ninja
VELKOR_SANITIZE=ON "$env/bin/python" -m pip install -q --no-build-isolation -C build-dir=build/asan ".[test]"

# The interpreter is not instrumented, so the runtime must come first.
# libstdc++ is preloaded too: the interpreter does not link it, and without it
# the sanitizer cannot intercept the C++ throw that ends an internal failure.
# A failed allocation must come back as null (then MemoryError), as it does
# without the sanitizer, for the tests that run under a lowered RLIMIT_AS.
cxx="${CXX:-c++}"
runtime="$("$cxx" -print-file-name=libasan.so) $("$cxx" -print-file-name=libstdc++.so)"
echo "== pytest under AddressSanitizer and UndefinedBehaviorSanitizer"
LD_PRELOAD="$runtime" \
ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
PYTHONMALLOC=malloc \
VELKOR_SOAK_COUNT="${VELKOR_SOAK_COUNT:-300}" \
  "$env/bin/python" -m pytest -q -p no:cacheprovider

# VELKOR_SANITIZE_TSAN=0 leaves the ThreadSanitizer run to a caller that
# makes it anyway.
if [ "${VELKOR_SANITIZE_TSAN:-1}" = 1 ]; then
  echo "== C++ tests under ThreadSanitizer"
  PATH="$env/bin:$PATH" bash tests/cpp/run_tsan.sh
fi
