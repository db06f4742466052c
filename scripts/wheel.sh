#!/usr/bin/env bash
# Builds the wheel into dist/, checks that it needs nothing outside itself
# but the system's C and C++ runtime, installs it into a fresh virtual
# environment and uses it from a folder outside the repo: import, the
# quickstart example, and a type check of a small program against the stub.
# With ZORMSG_CLIENT_ROOT (or ZORMSG_CLIENT_INCLUDE_DIR and ZORMSG_CLIENT_LIBRARY)
# set, the wheel is built against that library and must carry it.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
VENV=${WHEEL_VENV:-build/wheel-venv}

rm -rf dist
.venv/bin/python -m pip wheel . --no-build-isolation --no-deps -q -w dist --disable-pip-version-check
WHEEL=$(ls dist/zormsg-*.whl)
echo "wheel: $WHEEL"
CLIENT=${ZORMSG_CLIENT_LIBRARY:-}
if [ -z "$CLIENT" ] && [ -n "${ZORMSG_CLIENT_ROOT:-}" ]; then
  for d in lib lib64; do
    [ -n "$CLIENT" ] || [ ! -e "$ZORMSG_CLIENT_ROOT/$d/libzorclient.so" ] || CLIENT=$ZORMSG_CLIENT_ROOT/$d/libzorclient.so
  done
fi
[ -z "$CLIENT" ] || echo "wheel: built against $CLIENT"
.venv/bin/auditwheel show "$WHEEL" 2>/dev/null | grep -A1 "consistent with" | tr -s ' \n' ' '; echo

# Every shared object in the wheel may need only the wheel's own libraries and
# the system runtime; the module must find libzorclient through its RUNPATH.
.venv/bin/python - "$WHEEL" "$CLIENT" <<'PYEOF'
import io, sys, zipfile
from elftools.elf.elffile import ELFFile
from elftools.elf.dynamic import DynamicSection

SYSTEM = {"libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1", "ld-linux-x86-64.so.2",
          "libpthread.so.0", "libdl.so.2", "librt.so.1"}
wheel = zipfile.ZipFile(sys.argv[1])
objects = [n for n in wheel.namelist() if n.endswith(".so") or ".so." in n]
own = {n.rsplit("/", 1)[-1] for n in objects}
libs = [n for n in wheel.namelist() if n.startswith("zormsg.libs/")]
assert len(libs) == 1 and libs[0].startswith("zormsg.libs/libzorclient"), f"zormsg.libs holds {libs}"
if sys.argv[2]:  # the library it was built against, unchanged
    assert wheel.read(libs[0]) == open(sys.argv[2], "rb").read(), f"{libs[0]} is not {sys.argv[2]}"
for stub in ("zormsg.pyi", "zormsg-stubs/__init__.pyi"):
    assert stub in wheel.namelist(), f"{stub} is not in the wheel"
bad = []
for name in objects:
    elf = ELFFile(io.BytesIO(wheel.read(name)))
    dyn = next(s for s in elf.iter_sections() if isinstance(s, DynamicSection))
    needed = [t.needed for t in dyn.iter_tags("DT_NEEDED")]
    paths = [t.runpath for t in dyn.iter_tags("DT_RUNPATH")] + [t.rpath for t in dyn.iter_tags("DT_RPATH")]
    bad += [f"{name} needs {n}" for n in needed if n not in SYSTEM and n not in own]
    if name.startswith("zormsg.cpython") and paths != ["$ORIGIN/zormsg.libs"]:
        bad.append(f"{name} has run paths {paths}, expected $ORIGIN/zormsg.libs")
    if "/" in name and paths:
        bad.append(f"{name} has run paths {paths}")
    print(f"  {name}: needs {', '.join(needed)}")
sys.exit("\n".join(bad) if bad else 0)
PYEOF

# A fresh environment with only the wheel and its runtime packages (pinned).
rm -rf "$VENV"
.venv/bin/python -m venv "$VENV"
PINS=$(grep -E '^(orjson|msgpack)==' requirements.txt)
"$VENV/bin/python" -m pip install -q --disable-pip-version-check "$WHEEL" $PINS

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp examples/quickstart.py "$work/"
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
cat >"$work/typed_misuse.py" <<'PYEOF'
import zormsg

msg = zormsg.ZorMsg()
msg.body = "not bytes"
PYEOF
(
  cd "$work"
  # No build tree, no repo: only the installed wheel.
  # The module loads the wheel's own libzorclient.
  env -u PYTHONPATH LD_LIBRARY_PATH= "$ROOT/$VENV/bin/python" -c "if True:
    import zormsg, os
    site = os.path.dirname(zormsg.__file__)
    assert site.endswith('site-packages'), zormsg.__file__
    loaded = {l.split()[-1] for l in open('/proc/self/maps') if 'libzorclient' in l}
    assert [os.path.dirname(p) for p in loaded] == [os.path.join(site, 'zormsg.libs')], loaded"
  env -u PYTHONPATH "$ROOT/$VENV/bin/python" quickstart.py >/dev/null
  echo "wheel: imports and runs the quickstart from $work"
  # mypy must find the installed stub, and use it: a misuse is an error.
  mypy=("$ROOT/.venv/bin/python" -m mypy --python-executable "$ROOT/$VENV/bin/python" --no-incremental
        --config-file mypy.ini)
  "${mypy[@]}" --strict typed_use.py
  if "${mypy[@]}" typed_misuse.py >misuse.out 2>&1; then
    cat misuse.out; echo "wheel: mypy accepted a str body, so it did not use the stub"; exit 1
  fi
  grep -qi 'incompatible types in assignment' misuse.out
)
echo "wheel: ok"
