#!/usr/bin/env bash
# Benchmarks: the Release build in build/dev, brought up to date first (an
# incremental build: nothing to do when nothing changed), then bench/run.py
# with the arguments given (e.g. --quick, --filter TEXT).
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] || bash scripts/setup.sh
BUILD_DIR=build/dev bash scripts/build.sh -DCMAKE_BUILD_TYPE=Release
exec .venv/bin/python bench/run.py "$@"
