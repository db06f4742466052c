#!/usr/bin/env bash
# The whole test suite: set up, build, then GoogleTest (ctest) and pytest,
# then the reliability checks (README, "Reliability checks"); ZORMSG_RELIABILITY=0
# skips those.
set -euo pipefail
cd "$(dirname "$0")/.."
RELIABILITY=${ZORMSG_RELIABILITY:-1}
ZORMSG_RELIABILITY=$RELIABILITY bash scripts/setup.sh
bash scripts/build.sh

ctest --test-dir build/dev --output-on-failure -j "$(nproc)"

# pytest exits 5 when it collects nothing; that is not a failure of ours.
rc=0
PYTHONPATH="$PWD/build/dev/lib" .venv/bin/python -m pytest -q tests/python || rc=$?
if [ "$rc" -ne 0 ] && [ "$rc" -ne 5 ]; then exit "$rc"; fi

# A project that links zormsg_core, pulling zormsg in with add_subdirectory(),
# and, from outside the checkout, the package installed from build/dev.
bash examples/native/run.sh
bash examples/native/run.sh --installed

[ "$RELIABILITY" = 1 ] || exit 0
stage() {
  local name=$1 start=$SECONDS
  shift
  echo "=== $name"
  "$@"
  echo "=== $name: passed in $((SECONDS - start))s"
}
stage "lint" bash scripts/lint.sh
stage "type stubs" bash scripts/stages/stubs.sh
stage "valgrind" bash scripts/stages/valgrind.sh
stage "sanitizers" bash scripts/stages/sanitize.sh
stage "fuzzing" bash scripts/stages/fuzz.sh
# Every CPython from 3.7 on: its own venv and build under build/matrix/, the
# whole Python suite; the wheel stage builds its wheels in those folders.
stage "interpreter matrix" .venv/bin/python scripts/lib/matrix.py
stage "wheel" bash scripts/stages/wheel.sh
stage "external-library" bash scripts/stages/external_library.sh
