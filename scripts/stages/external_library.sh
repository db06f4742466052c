#!/usr/bin/env bash
# zormsg built and tested against an installed client library instead of the
# in-tree one. The stand-in, built without test controls and installed into a
# temporary prefix, plays a library from elsewhere. Fails unless the package
# config names and the module loads that prefix's libzorclient.so, every
# contract test passes and every stand-in test is skipped. Build folder: build/external (made afresh).
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
BUILD_DIR=${BUILD_DIR:-build/external}
PY=$ROOT/.venv/bin/python
work=$(mktemp -d "${TMPDIR:-/tmp}/zormsg-external.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
lib=$prefix/lib/libzorclient.so
JOBS=${JOBS:-$(nproc)}  # build jobs: scripts/test.sh runs this beside other stages with 1

quiet() {  # runs a command, showing its output only when it fails
  if ! "$@" >"$work/log" 2>&1; then cat "$work/log"; return 1; fi
}

# The library, installed the way the real one is laid out.
source scripts/lib/ccache.sh "$ROOT"
quiet cmake -S zorclient -B "$work/zorclient" -G Ninja -DZORCLIENT_TEST_CONTROLS=OFF "${launcher[@]}"
quiet cmake --build "$work/zorclient" -j "$JOBS"
quiet cmake --install "$work/zorclient" --prefix "$prefix"

# zormsg against it, from a clean folder. -O0 keeps the build short on two
# cores (behaviour is checked here, not speed); NDEBUG as in a release build.
rm -rf "$BUILD_DIR"
quiet cmake -S . -B "$BUILD_DIR" -G Ninja -DZORMSG_BUILD_TESTS=ON -DZORMSG_CLIENT_ROOT="$prefix" "${launcher[@]}" \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O0 -DNDEBUG" -DPython_EXECUTABLE="$PY"
grep "Client library:" "$work/log"
# The package config names the library configure found (cmake/ZorClient.cmake).
grep -qF "set(_zormsg_client_library \"$lib\")" "$BUILD_DIR/zormsgConfig.cmake" ||
  { echo "external-library: $BUILD_DIR/zormsgConfig.cmake does not name $lib"; exit 1; }
quiet cmake --build "$BUILD_DIR" -j "$JOBS"

# The build holds no library of its own: everything loads the prefix's.
if find "$BUILD_DIR" -name 'libzorclient*' | grep .; then
  echo "external-library: the build folder has a libzorclient of its own"; exit 1
fi
for t in zorclient_tests zormsg_native_tests; do
  got=$(ldd "$BUILD_DIR/bin/$t" | awk '/libzorclient/ {print $3}')
  [ "$(realpath "$got")" = "$(realpath "$lib")" ] || { echo "external-library: $t loads '$got', not $lib"; exit 1; }
done
export PYTHONPATH=$(realpath "$BUILD_DIR")/lib
"$PY" scripts/lib/external_library_loads.py "$lib"
(cd examples && "$PY" quickstart.py >/dev/null)

# Every test runs; the reports say which kind each one is.
rc=0
ctest --test-dir "$BUILD_DIR" -j "$(nproc)" --output-junit "$work/ctest.xml" >"$work/ctest.log" 2>&1 || rc=$?
grep -E "tests passed|tests failed" "$work/ctest.log" || true
[ "$rc" -eq 0 ] || { grep -A30 "The following tests FAILED" "$work/ctest.log"; exit 1; }
rc=0
"$PY" -m pytest -q -rs -p no:cacheprovider --junitxml="$work/pytest.xml" tests/python || rc=$?
[ "$rc" -eq 0 ] || exit "$rc"

"$PY" scripts/lib/external_library_counts.py "$work/ctest.xml" "$work/pytest.xml"

# Every configure error for a library that cannot serve, each against one made to fail.
bash scripts/stages/client_library_errors.sh
