#!/bin/sh
# Builds the C++ tests with ThreadSanitizer in their own build directory and
# runs them.  Exits non-zero on a build failure, a failed test or a report.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${TSAN_BUILD_DIR:-$root/build/tsan}
cmake -S "$root" -B "$build" -G Ninja -DVELKOR_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build "$build"
# halt_on_error: the first report fails the test.  die_after_fork=0: a
# test that forks (to run itself again) must not die for it.
TSAN_OPTIONS="halt_on_error=1 die_after_fork=0 ${TSAN_OPTIONS:-}" \
    ctest --test-dir "$build" --output-on-failure
