#!/usr/bin/env bash
# Type stubs of the module, src/zormsg.pyi (installed beside it by the wheel).
#   bash scripts/stages/stubs.sh           # check the stub against the built module
#   bash scripts/stages/stubs.sh --write   # regenerate it with pybind11-stubgen
# Uses the normal build (build/dev, made by scripts/build.sh if missing).
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${BUILD_DIR:-build/dev}
PY="$PWD/.venv/bin/python"
[ -f "$(ls "$BUILD_DIR"/lib/zormsg.cpython-*.so 2>/dev/null | head -n1)" ] || bash scripts/build.sh
export PYTHONPATH="$PWD/$BUILD_DIR/lib"

if [ "${1:-}" = --write ]; then
  out=$(mktemp -d)
  "$PY" -m pybind11_stubgen zormsg -o "$out" --exit-code \
    --enum-class-locations "DestinationType:zormsg" >/dev/null
  # What the generator cannot see from the signatures (scripts/lib/stubs_fix.py).
  "$PY" scripts/lib/stubs_fix.py "$out/zormsg.pyi" src/zormsg.pyi
  rm -rf "$out"
  echo "stubs: wrote src/zormsg.pyi"
fi

# The stub must describe the built module: names, kinds and signatures.
# The allowlist holds only what no stub can state (pybind11's metaclass).
tmp=$(mktemp -d)
cp src/zormsg.pyi "$tmp/"
printf '[mypy]\n' >"$tmp/mypy.ini"
MYPYPATH="$tmp" "$PY" -m mypy.stubtest zormsg --mypy-config-file "$tmp/mypy.ini" \
  --allowlist scripts/lib/stubtest-allowlist.txt
rm -rf "$tmp"
