"""Reads the JUnit reports of ctest and pytest and fails unless every contract
test passed and every stand-in test was skipped for want of test controls.
Prints the counts.

    python scripts/lib/external_library_counts.py ctest.xml pytest.xml

ctest gives a test's kind as its label ("cmake_labels"), pytest as the
property "kind" (tests/python/conftest.py).
"""

import sys
import xml.etree.ElementTree as ET

KINDS = ("contract", "standin")
REASON = "has no test controls"


def properties(case, name):
    return {p.get("value") for p in case.iter("property") if p.get("name") == name}


def check(tool, path, label):
    """Returns the problems found in one report, and prints its counts."""
    bad = []
    count = dict.fromkeys(KINDS, 0)
    for case in ET.parse(path).iter("testcase"):
        name = case.get("name")
        kind = properties(case, label) & set(KINDS)
        skipped = case.find("skipped")
        failed = case.find("failure") is not None or case.find("error") is not None
        if len(kind) != 1:
            bad.append(f"{tool}: {name} is neither a contract nor a stand-in test")
        elif kind == {"contract"}:
            if failed or skipped is not None:
                bad.append(f"{tool}: contract test {name} did not pass")
            count["contract"] += 1
        else:
            said = "" if skipped is None else ((skipped.get("message") or "") + (skipped.text or "")
                                               + (case.findtext("system-out") or ""))
            if REASON not in said:
                bad.append(f"{tool}: stand-in test {name} was not skipped for want of test controls")
            else:
                count["standin"] += 1
    print(f"external-library: {tool}: {count['contract']} contract tests passed, "
          f"{count['standin']} stand-in tests skipped")
    if not count["contract"]:
        bad.append(f"{tool}: no contract test ran")
    return bad


def main(ctest_xml, pytest_xml):
    bad = check("ctest", ctest_xml, "cmake_labels") + check("pytest", pytest_xml, "kind")
    sys.exit("\n".join(bad) if bad else 0)


if __name__ == "__main__":
    main(*sys.argv[1:3])
