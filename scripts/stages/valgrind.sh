#!/usr/bin/env bash
# valgrind memcheck over the GoogleTest binaries of the normal build
# (build/dev, made by scripts/build.sh unless it is there already).
# Any memory error or definite leak fails the run.
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${BUILD_DIR:-build/dev}
[ -x "$BUILD_DIR/bin/zormsg_native_tests" ] || bash scripts/build.sh

# The fork test's children end with _exit while other threads hold memory:
# valgrind counts that against them (exit 1), so it runs in the other stages only.
for t in zorclient_tests zormsg_native_tests; do
  echo "valgrind: $t"
  valgrind --quiet --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
    --show-leak-kinds=definite --track-origins=yes \
    "$BUILD_DIR/bin/$t" --gtest_brief=1 --gtest_filter=-StandInFork.*
done
