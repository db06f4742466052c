#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer build (gcc) of the stand-in
# library, the core, both modules and the GoogleTest binaries, in build/asan,
# then the whole test suite under it. Any sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${BUILD_DIR:-build/asan}
JOBS=${JOBS:-$(nproc)}  # build jobs: scripts/test.sh runs this beside other stages with 1

# Debug: no LTO and no inlining, so reports point at the right lines and the
# build stays quick on two cores.
source scripts/lib/ccache.sh "$PWD"
cmake -S . -B "$BUILD_DIR" -G Ninja -DZORMSG_BUILD_TESTS=ON -DZORMSG_SANITIZE=ON "${launcher[@]}" \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python" "$@" >/dev/null
cmake --build "$BUILD_DIR" -j "$JOBS"

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Native tests: leak detection stays on.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
  ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)"

# pytest: the interpreter is not built with the sanitizers, so their runtimes
# are preloaded; it leaks by design at exit, hence no leak detection here.
# PYTHONMALLOC=malloc hands Python's own objects to ASan too, so a reference
# dropped once too often shows up as a use-after-free instead of passing.
# UBSan aborts too, so pytest's faulthandler names the test that died even
# when that test had the output descriptors captured (report included).
rc=0
LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)" \
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
UBSAN_OPTIONS="$UBSAN_OPTIONS:abort_on_error=1" \
PYTHONMALLOC=malloc \
PYTHONPATH="$PWD/$BUILD_DIR/lib" \
  .venv/bin/python -m pytest -q -p no:cacheprovider tests/python || rc=$?
if [ "$rc" -ge 128 ]; then
  echo "sanitize: pytest died (exit $rc): a sanitizer report ended it. If the report is not shown above," \
       "the test captured it: run that test alone outside pytest's capture to see it."
  exit 1
fi
if [ "$rc" -ne 0 ] && [ "$rc" -ne 5 ]; then exit "$rc"; fi
