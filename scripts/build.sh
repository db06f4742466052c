#!/usr/bin/env bash
# Configures and builds everything, tests included, into build/dev.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build/dev}
cmake -S . -B "$BUILD_DIR" -G Ninja -DZORMSG_BUILD_TESTS=ON \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python" "$@" >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)"
