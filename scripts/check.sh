#!/usr/bin/env bash
# The quick loop of daily work: a Debug build without LTO in build/check
# (incremental, through ccache when present), then ctest, pytest and the type
# stubs' check against it. Extra arguments go to the configure step. Release
# (+LTO) stays for bench and wheels. What it leaves out: docs/development.md.
set -euo pipefail
cd "$(dirname "$0")/.."
export BUILD_DIR=${BUILD_DIR:-build/check}
[ -x .venv/bin/python ] || bash scripts/setup.sh
# A defined CMAKE_INTERPROCEDURAL_OPTIMIZATION keeps pybind11 from adding its
# own LTO flags to the modules.
bash scripts/build.sh -DCMAKE_BUILD_TYPE=Debug -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF "$@"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)"
bash scripts/lib/pytest.sh "$BUILD_DIR"
# A property missing from src/zormsg.pyi fails here, not only in CI (about a second).
bash scripts/stages/stubs.sh
