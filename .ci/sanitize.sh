#!/usr/bin/env bash
# The test suite against an AddressSanitizer + UndefinedBehaviorSanitizer
# build of the extension, in a virtual environment of its own (CPython 3.12)
# with its own build directory; the threaded tests against a ThreadSanitizer
# build likewise; then the C++ tests under ThreadSanitizer.
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
# Reports go to files: pytest's capture would swallow them with the process.
logs="$work/sanitizer-reports"
rm -rf "$logs" && mkdir -p "$logs"
show_reports() {
  status=$?
  cat "$logs"/* >&2 2>/dev/null || true
  exit "$status"
}
# GCC 12's AddressSanitizer does not hold its allocator's locks across
# fork(), so a child forked while a worker frees memory can hang for good:
# the fork test runs in the plain build only.  A time limit turns any other
# hang into a failure.
echo "== pytest under AddressSanitizer and UndefinedBehaviorSanitizer"
LD_PRELOAD="$runtime" \
ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:log_path=$logs/asan" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan" \
PYTHONMALLOC=malloc \
VELKOR_SOAK_COUNT="${VELKOR_SOAK_COUNT:-300}" \
  timeout 1200 "$env/bin/python" -m pytest -q -p no:cacheprovider -k "not fork" || show_reports

# The extension once more, under ThreadSanitizer, for the tests where Python
# threads share the pool, the parameter objects and the first-use set-up.
# The interpreter's own locks are pthread ones, which the sanitizer sees.
tenv="$work/tsan-env"
if [ ! -x "$tenv/bin/python" ]; then
  "$(bash scripts/find-python.sh 3.12)" -m venv "$tenv"
fi
"$tenv/bin/python" -m pip install -q numpy scikit-build-core cmake ninja
"$tenv/bin/python" -m pip install -q --no-build-isolation -C build-dir=build/tsan-py \
  -C "cmake.define.CMAKE_CXX_FLAGS=-fsanitize=thread -fno-omit-frame-pointer -g" \
  -C "cmake.define.CMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread" ".[test]"
echo "== Python threads under ThreadSanitizer"
LD_PRELOAD="$("$cxx" -print-file-name=libtsan.so) $("$cxx" -print-file-name=libstdc++.so)" \
TSAN_OPTIONS="halt_on_error=1 die_after_fork=0 allocator_may_return_null=1 log_path=$logs/tsan" \
  timeout 600 "$tenv/bin/python" -m pytest -q -p no:cacheprovider tests/test_stress.py tests/test_reentrancy.py \
  || show_reports

# VELKOR_SANITIZE_TSAN=0 leaves the C++ tests under ThreadSanitizer to a
# caller that runs them anyway.
if [ "${VELKOR_SANITIZE_TSAN:-1}" = 1 ]; then
  echo "== C++ tests under ThreadSanitizer"
  PATH="$env/bin:$PATH" bash tests/cpp/run_tsan.sh
fi
