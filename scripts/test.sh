#!/usr/bin/env bash
# The whole test suite: set up, build, then GoogleTest (ctest) and pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh

ctest --test-dir build/dev --output-on-failure -j "$(nproc)"

# pytest exits 5 when it collects nothing; that is not a failure of ours.
rc=0
PYTHONPATH="$PWD/build/dev/lib" .venv/bin/python -m pytest -q tests/python || rc=$?
if [ "$rc" -ne 0 ] && [ "$rc" -ne 5 ]; then exit "$rc"; fi

# A project that pulls zormsg in with add_subdirectory() and links zormsg_core.
bash examples/native/run.sh
