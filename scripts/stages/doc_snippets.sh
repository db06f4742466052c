#!/usr/bin/env bash
# Every shell and CMake snippet of docs/: run, or found in what CI runs, as its
# marker says (scripts/lib/doc_snippets.py). The runs reuse build/dev, the
# fuzz build and the .venv, as CI has them after the other stages; run alone,
# it builds what is missing. About half a minute once those builds exist.
set -euo pipefail
cd "$(dirname "$0")/../.."
[ -x .venv/bin/python ] || bash scripts/setup.sh
exec .venv/bin/python scripts/lib/doc_snippets.py "$@"
