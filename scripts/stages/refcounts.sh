#!/usr/bin/env bash
# Reference counts on Debian's debug CPython 3.14 (python3.14d, in the unstable
# root: scripts/lib/unstable_root.sh): the module and zormsg_testing built for
# it in build/refcount (Debug, g++ 16), then scripts/lib/refcounts.py runs every
# operation in rounds and fails when sys.gettotalrefcount() grows with them.
# Extension modules built for the release ABI do not count their reference
# changes, so they would seem to leak: msgpack is built from its source for
# this interpreter, and orjson, whose source needs Rust crates from outside the
# package indexes, is replaced by its two functions over the standard
# library's json (scripts/lib/refcount_orjson/). Arguments: names to run only.
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=build/refcount
JOBS=${JOBS:-$(nproc)}  # build jobs: scripts/test.sh runs this beside other stages with 1
in=(bash scripts/lib/unstable_root.sh run)
# Debug builds: without the folder in ccache's hash, another clone hits the
# same entries (its debug information names the first clone; nothing reads it).
venv=$BUILD_DIR/venv
mkdir -p "$BUILD_DIR"
grep -E '^(pybind11|msgpack)[=<>~;! ]' requirements.txt >"$BUILD_DIR/requirements.txt"
[ -e "$venv/pyvenv.cfg" ] || "${in[@]}" python3.14d -m venv "$venv"
"${in[@]}" "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-binary msgpack \
  -r "$BUILD_DIR/requirements.txt"
# An extension counts its references only when compiled with the debug
# build's pyconfig.h (Py_REF_DEBUG: calls of _Py_INCREF_IncRefTotal and
# _Py_DECREF_DecRefTotal). Debian's python3.14d headers are links to the
# release ones beside a pyconfig.h of their own, and gcc, resolving the links
# of system include folders, would take the release pyconfig.h:
# -fno-canonical-system-headers keeps the folder named.
counts() {  # FILE: fails unless it counts its references
  "${in[@]}" nm -D --undefined-only "$1" | grep '_Py_[A-Z]*_[A-Za-z]*RefTotal' >/dev/null ||
    { echo "refcounts: $1 was built without the debug build's reference counting"; exit 1; }
}
counts "$("${in[@]}" "$venv/bin/python" -c 'import msgpack._cmsgpack as c; print(c.__file__)')"

"${in[@]}" cmake -S . -B "$BUILD_DIR/build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF \
  -DZORMSG_BUILD_TESTS=ON -DPython_EXECUTABLE="$PWD/$venv/bin/python" -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
  -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_FLAGS=-fno-canonical-system-headers >/dev/null
CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1 "${in[@]}" cmake --build "$BUILD_DIR/build" -j "$JOBS" --target zormsg zormsg_testing
for module in "$BUILD_DIR"/build/lib/zormsg*.so; do counts "$module"; done
"${in[@]}" env PYTHONPATH="$BUILD_DIR/build/lib:scripts/lib/refcount_orjson" "$venv/bin/python" \
  scripts/lib/refcounts.py "$@"
