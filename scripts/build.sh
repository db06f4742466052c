#!/usr/bin/env bash
# Configures and builds everything, tests included, into build/dev (BUILD_DIR);
# extra arguments go to the configure step. Compiles through ccache when present.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build/dev}
launcher=()
if command -v ccache >/dev/null; then
  # Paths relative to the checkout, so another clone hits the same entries.
  export CCACHE_BASEDIR=$PWD
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$BUILD_DIR" -G Ninja -DZORMSG_BUILD_TESTS=ON "${launcher[@]}" \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python" "$@" >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)"
