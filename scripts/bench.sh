#!/usr/bin/env bash
# Benchmarks: the Release build in build/dev (made if missing or not Release),
# then bench/run.py with the arguments given (e.g. --quick, --filter TEXT).
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] || bash scripts/setup.sh
if ! grep -qx 'CMAKE_BUILD_TYPE:STRING=Release' build/dev/CMakeCache.txt 2>/dev/null ||
   ! ls build/dev/lib/zormsg.cpython-*.so >/dev/null 2>&1; then
  BUILD_DIR=build/dev bash scripts/build.sh -DCMAKE_BUILD_TYPE=Release
fi
exec .venv/bin/python bench/run.py "$@"
