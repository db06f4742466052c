"""Prints the GoogleTest filter of the stand-in tests among the given sources.

A test needs the stand-in client library when its suite is named StandIn...
(it checks the stand-in's own behaviour) or when its body calls a test control
(zorclient_testing.h, zorClient_msg_setHttpContentType). All others are
contract tests: what zormsg relies on from any client library. A test that
reaches a control only through a helper is not seen here; without the
controls it fails, naming the control (tests/no_controls/no_controls.cpp).
"""
import re
import sys

TEST = re.compile(r"^\s*TEST(_F|_P)?\s*\(\s*(\w+)\s*,\s*(\w+)\s*\)", re.M)
CONTROL = re.compile(r"\bzorClient_testing_\w+|\bzorClient_msg_setHttpContentType\b")

patterns = []
for path in sys.argv[1:]:
    with open(path, encoding="utf-8") as f:
        text = f.read()
    heads = list(TEST.finditer(text))
    for head, after in zip(heads, heads[1:] + [None]):
        body = text[head.end():after.start() if after else len(text)]
        kind, suite, name = head.groups()
        if suite.startswith("StandIn") or CONTROL.search(body):
            # Parametrized tests are named Prefix/Suite.Name/N.
            patterns.append(f"*{suite}.{name}/*" if kind == "_P" else f"{suite}.{name}")
print(":".join(patterns))
