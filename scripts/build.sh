#!/usr/bin/env bash
# Configures and builds everything, tests included, into build/dev (BUILD_DIR);
# extra arguments go to the configure step. Compiles through ccache when present.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build/dev}
source scripts/lib/ccache.sh "$PWD"
cmake -S . -B "$BUILD_DIR" -G Ninja -DZORMSG_BUILD_TESTS=ON "${launcher[@]}" \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python" "$@" >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)"
