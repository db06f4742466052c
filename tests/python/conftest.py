"""Sorts the tests in two kinds, as markers:

- contract: what zormsg relies on from any client library; these run against
  whichever library the module was built with;
- standin: tests that need the stand-in library, marked @pytest.mark.standin
  (on the test, or on one parameter with pytest.param(..., marks=...)): they
  use its test controls through zormsg_testing (live counts, refused
  allocations, received raw map bodies, the HTTP content type setter) or check
  its own behaviour.

Every test not marked standin is a contract test. When zormsg_testing was
built without the controls (the client library has none), stand-in tests are
skipped, with the reason.
"""

import pytest

import zormsg_testing

SKIP_REASON = ("stand-in test: the client library built in has no test controls "
               "(zormsg_testing.has_test_controls is False)")


def pytest_configure(config):
    config.addinivalue_line("markers", "contract: what zormsg relies on from any client library")
    config.addinivalue_line("markers", "standin: needs the stand-in client library (its test controls)")


@pytest.hookimpl(tryfirst=True)  # before -m selects by these markers
def pytest_collection_modifyitems(config, items):
    skip = pytest.mark.skip(reason=SKIP_REASON)
    for item in items:
        kind = "standin" if item.get_closest_marker("standin") else "contract"
        if kind == "contract":
            item.add_marker(pytest.mark.contract)
        elif not zormsg_testing.has_test_controls:
            item.add_marker(skip)
        item.user_properties.append(("kind", kind))  # for --junitxml readers


@pytest.fixture
def greenlet():
    """The greenlet module, where it can be used: it has no wheel for every
    interpreter, and AddressSanitizer, which greenlet does not tell of its
    stack switches, reports the stack memory it then finds."""
    if zormsg_testing.ADDRESS_SANITIZER:
        pytest.skip("greenlet switches stacks without telling AddressSanitizer")
    return pytest.importorskip("greenlet")
