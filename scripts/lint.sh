#!/usr/bin/env bash
# Style and static analysis of the project's own sources: clang-format
# (.clang-format) must leave every C++ file as it is, clang-tidy (.clang-tidy)
# must find nothing in the module's and the stand-in library's sources, and
# ruff (pyproject.toml) nothing in the Python of tests, bench, scripts, fuzz
# and examples.
# Uses the compile commands of the dev build (BUILD_DIR, default build/dev).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build/dev}
JOBS=${JOBS:-$(nproc)}  # clang-tidy processes: scripts/test.sh runs this beside other stages with 1

mapfile -t sources < <(git ls-files '*.cpp' '*.h')
clang-format --dry-run --Werror "${sources[@]}"
echo "lint: clang-format: ${#sources[@]} files as formatted"

.venv/bin/ruff check --quiet tests bench scripts fuzz examples
echo "lint: ruff: clean"

[ -f "$BUILD_DIR/compile_commands.json" ] || bash scripts/build.sh
mapfile -t units < <(git ls-files 'src/*.cpp' 'zorclient/src/*.cpp')
# Warnings in headers outside src/ (pybind11, the interpreter) are not ours.
if ! printf '%s\n' "${units[@]}" | xargs -P "$JOBS" -n 1 clang-tidy -p "$BUILD_DIR" --quiet \
  --extra-arg=-Wno-ignored-optimization-argument --extra-arg=-Wno-unknown-warning-option; then
  echo "lint: clang-tidy found problems (above)"
  exit 1
fi
echo "lint: clang-tidy: ${#units[@]} files clean"

# Configuring checks the client library for the functions listed in
# cmake/zorclient_calls.txt; the list must be what zormsg_core and the module
# call (the core's converters reach more of the library than the module does).
calls=$(nm --undefined-only "$BUILD_DIR"/libzormsg_core.a "$BUILD_DIR"/libzormsg_message.a 2>/dev/null \
  | awk '{print $NF}' | grep '^zorClient_' | sort -u)
module_calls=$(nm -D --undefined-only "$BUILD_DIR"/lib/zormsg.cpython-*.so | awk '{print $NF}' | grep '^zorClient_' | sort -u)
calls=$(printf '%s\n%s\n' "$calls" "$module_calls" | sort -u)
if ! diff <(grep '^zorClient_' cmake/zorclient_calls.txt | sort) <(echo "$calls"); then
  echo "lint: cmake/zorclient_calls.txt (<) is not the list of zormsg's zorClient_ calls (>)"
  exit 1
fi
echo "lint: cmake/zorclient_calls.txt: zormsg's $(echo "$calls" | wc -l) calls"
