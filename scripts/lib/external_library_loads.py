"""Fails unless zormsg, imported here, loads the given libzorclient.so and
zormsg_testing was built without test controls.

    python scripts/lib/external_library_loads.py <prefix>/lib/libzorclient.so

Run with the build's lib folder on PYTHONPATH (scripts/stages/external_library.sh).
"""

import os
import sys

import zormsg
import zormsg_testing


def main(library):
    want = os.path.realpath(library)
    with open("/proc/self/maps") as maps:
        loaded = {line.split()[-1] for line in maps if "libzorclient" in line}
    if {os.path.realpath(p) for p in loaded} != {want}:
        sys.exit(f"external-library: the module loaded {sorted(loaded)}, not {want}")
    if zormsg_testing.has_test_controls:
        sys.exit("external-library: zormsg_testing has test controls the library lacks")
    print(f"external-library: zormsg ({zormsg.__file__}) loads {want}")


if __name__ == "__main__":
    main(sys.argv[1])
