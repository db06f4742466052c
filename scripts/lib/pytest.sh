#!/usr/bin/env bash
# pytest of tests/python against one build: scripts/lib/pytest.sh BUILD_DIR [pytest options].
# pytest exits 5 when it collects nothing; that is not a failure of ours.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$1; shift
rc=0
PYTHONPATH="$PWD/$build/lib" .venv/bin/python -m pytest -q "$@" tests/python || rc=$?
if [ "$rc" -ne 0 ] && [ "$rc" -ne 5 ]; then exit "$rc"; fi
