#!/usr/bin/env bash
# The second compiler: g++ 16 of Debian's unstable root
# (scripts/lib/unstable_root.sh) builds everything, tests included, with
# warnings as errors (Debug, no LTO: the daily loop's build) in build/gcc16,
# against the root's CPython 3.14 with the root's CMake and Ninja; then ctest.
# The interpreter matrix builds 3.14 and 3.15 with it too, as Release.
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=build/gcc16
JOBS=${JOBS:-$(nproc)}  # build jobs: scripts/test.sh runs this beside other stages with 1
in=(bash scripts/lib/unstable_root.sh run)
# Debug builds: without the folder in ccache's hash, another clone hits the
# same entries (its debug information names the first clone; nothing reads it).
venv=$BUILD_DIR/venv
mkdir -p "$BUILD_DIR"
grep -E '^pybind11[=<>~;! ]' requirements.txt >"$BUILD_DIR/requirements.txt"
[ -e "$venv/pyvenv.cfg" ] || "${in[@]}" python3.14 -m venv "$venv"
"${in[@]}" "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$BUILD_DIR/requirements.txt"
"${in[@]}" g++ --version | head -n 1
"${in[@]}" cmake -S . -B "$BUILD_DIR/build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF \
  -DZORMSG_BUILD_TESTS=ON -DZORMSG_WARNINGS_AS_ERRORS=ON -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc \
  -DPython_EXECUTABLE="$PWD/$venv/bin/python" -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
  -DCMAKE_C_COMPILER_LAUNCHER=ccache >/dev/null
CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1 "${in[@]}" cmake --build "$BUILD_DIR/build" -j "$JOBS"
"${in[@]}" ctest --test-dir "$BUILD_DIR/build" --output-on-failure -j "$(nproc)"
