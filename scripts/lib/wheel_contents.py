"""What a zormsg wheel holds, checked without installing it:

    python scripts/lib/wheel_contents.py WHEEL [CLIENT_LIBRARY]

Every shared object in it may need only the wheel's own libraries and the
system's C and C++ runtime; the module finds libzorclient through its RUNPATH;
zormsg.libs holds that one library (byte for byte CLIENT_LIBRARY, when given);
the stubs are there; the tag is a manylinux one.
"""
import io
import os
import sys
import zipfile

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

SYSTEM = {"libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1", "ld-linux-x86-64.so.2",
          "libpthread.so.0", "libdl.so.2", "librt.so.1"}
STUBS = ("zormsg.pyi", "zormsg-stubs/__init__.pyi")


def dynamic(data):
    elf = ELFFile(io.BytesIO(data))
    dyn = next(s for s in elf.iter_sections() if isinstance(s, DynamicSection))
    needed = [t.needed for t in dyn.iter_tags("DT_NEEDED")]
    paths = [t.runpath for t in dyn.iter_tags("DT_RUNPATH")] + [t.rpath for t in dyn.iter_tags("DT_RPATH")]
    return needed, paths


def problems(path, client):
    wheel = zipfile.ZipFile(path)
    names = wheel.namelist()
    bad = []
    if "-manylinux" not in os.path.basename(path):
        bad.append(f"{os.path.basename(path)} has no manylinux tag")
    libs = [n for n in names if n.startswith("zormsg.libs/") and not n.endswith("/")]
    if len(libs) != 1 or not libs[0].startswith("zormsg.libs/libzorclient"):
        return bad + [f"zormsg.libs holds {libs}"]
    if client:
        with open(client, "rb") as f:
            if wheel.read(libs[0]) != f.read():
                bad.append(f"{libs[0]} is not {client}")
    bad += [f"{stub} is not in the wheel" for stub in STUBS if stub not in names]
    objects = [n for n in names if n.endswith(".so") or ".so." in n]
    own = {n.rsplit("/", 1)[-1] for n in objects}
    for name in objects:
        needed, paths = dynamic(wheel.read(name))
        bad += [f"{name} needs {n}" for n in needed if n not in SYSTEM and n not in own]
        if name.startswith("zormsg.cpython") and paths != ["$ORIGIN/zormsg.libs"]:
            bad.append(f"{name} has run paths {paths}, expected $ORIGIN/zormsg.libs")
        if "/" in name and paths:
            bad.append(f"{name} has run paths {paths}")
        print(f"  {name}: needs {', '.join(needed)}")
    return bad


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    found = problems(sys.argv[1], sys.argv[2] if len(sys.argv) == 3 else "")
    sys.exit("\n".join(found) if found else 0)
