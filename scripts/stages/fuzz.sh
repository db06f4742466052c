#!/usr/bin/env bash
# libFuzzer targets built with clang (ASan + UBSan) in build/fuzz, each run
# for FUZZ_SECONDS (default 30) from the seed corpus in fuzz/corpus/<target>.
# A crash leaves its input in build/fuzz/artifacts/ and fails the run.
#   bash scripts/stages/fuzz.sh                      # every target
#   FUZZ_SECONDS=600 bash scripts/stages/fuzz.sh fuzz_map_attachment
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${BUILD_DIR:-build/fuzz}
SECONDS_EACH=${FUZZ_SECONDS:-30}
JOBS=${JOBS:-$(nproc)}  # build jobs: scripts/test.sh runs this beside other stages with 1
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(fuzz_map_attachment fuzz_dict_roundtrip)

source scripts/lib/ccache.sh "$PWD"
CC=clang CXX=clang++ cmake -S . -B "$BUILD_DIR" -G Ninja -DZORMSG_FUZZ=ON "${launcher[@]}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build "$BUILD_DIR" -j "$JOBS" --target "${TARGETS[@]}"

# The embedded interpreter keeps its objects until exit: no leak detection
# (the targets check the library's own handle counts after every input).
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p "$BUILD_DIR/artifacts"
for t in "${TARGETS[@]}"; do
  work="$BUILD_DIR/corpus/$t"   # new inputs go here, the repo's seeds stay as they are
  mkdir -p "$work"
  echo "fuzz: $t for ${SECONDS_EACH}s"
  log="$BUILD_DIR/$t.log"
  if ! "$BUILD_DIR/bin/$t" "$work" "fuzz/corpus/$t" -max_total_time="$SECONDS_EACH" \
      -max_len=4096 -timeout=10 -artifact_prefix="$BUILD_DIR/artifacts/$t-" >"$log" 2>&1; then
    tail -n 80 "$log"
    echo "fuzz: $t failed; the input is in $BUILD_DIR/artifacts/ (full log $log)"
    exit 1
  fi
  grep -a '^Done' "$log" || true
done
