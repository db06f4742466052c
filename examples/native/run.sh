#!/usr/bin/env bash
# Builds the example project (zormsg pulled in with add_subdirectory) and runs it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build="$root/build/example"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DPython_EXECUTABLE="$root/.venv/bin/python" >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
PYTHONPATH="$build/lib" "$root/.venv/bin/python" "$here/run_example.py"
