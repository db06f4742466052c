"""Sorts the tests in two kinds, as markers:

- contract: what zormsg relies on from any client library; these run against
  whichever library the module was built with;
- standin: tests that need the stand-in library's test controls, reached
  through zormsg_testing (live counts, refused allocations, received raw map
  bodies, the HTTP content type setter), or marked by hand because they check
  the stand-in's own behaviour.

A test is a stand-in test when its code, a function of its module it calls, a
fixture it uses or the function its parameter picks from a module-level table
names one of those controls. When zormsg_testing was built
without them (the client library has none), stand-in tests are skipped.
"""
import inspect
import re

import pytest

import zormsg_testing

CONTROLS = re.compile(r"\b(live_msgs|live_containers|fail_allocs|fail_copies|container_handles_open|"
                      r"set_http_content_type|set_map_attachment|map_from_bytes|http_content_type)\b")
SKIP_REASON = ("stand-in test: the client library built in has no test controls "
               "(zormsg_testing.has_test_controls is False)")


def pytest_configure(config):
    config.addinivalue_line("markers", "contract: what zormsg relies on from any client library")
    config.addinivalue_line("markers", "standin: needs the stand-in client library (its test controls)")


def _source(func):
    try:
        return inspect.getsource(func)
    except (OSError, TypeError):
        return ""


def _unwrap(func):
    inner = getattr(getattr(func, "hypothesis", None), "inner_test", None)
    return inspect.unwrap(inner or func)


_needs = {}


def _needs_controls(func):
    """Whether func, or a function of its module that it names, names a control."""
    func = _unwrap(func)
    if not hasattr(func, "__code__"):
        return False
    if func not in _needs:
        _needs[func] = False  # while it is looked at: recursion ends here
        code = func.__code__
        names = set(code.co_names)
        for const in code.co_consts:
            if inspect.iscode(const):  # nested functions and lambdas
                names.update(const.co_names)
        helpers = [h for h in (func.__globals__.get(n) for n in names)
                   if inspect.isfunction(h) and h.__module__ == func.__module__]
        _needs[func] = bool(CONTROLS.search(_source(func))) or any(_needs_controls(h) for h in helpers)
    return _needs[func]


def _own_fixtures(item):
    """Fixture functions of the test's module and of conftest files."""
    info = getattr(item, "_fixtureinfo", None)
    for name in info.names_closure if info else ():
        for fixturedef in info.name2fixturedefs.get(name, ()):
            func = fixturedef.func
            if func.__module__ == item.module.__name__ or func.__module__.endswith("conftest"):
                yield func


def _picked_from_tables(item):
    """Functions a parametrized test takes from a module-level table (a dict
    of functions) by its parameter: only the picked one counts."""
    func = _unwrap(item.function)
    params = getattr(getattr(item, "callspec", None), "params", {})
    for name in getattr(func, "__code__", None) and func.__code__.co_names or ():
        table = func.__globals__.get(name)
        if isinstance(table, dict) and any(inspect.isfunction(v) for v in table.values()):
            keys = [p for p in params.values() if isinstance(p, str) and p in table]
            yield from (table[k] for k in keys) if keys else table.values()


@pytest.hookimpl(tryfirst=True)  # before -m selects by these markers
def pytest_collection_modifyitems(config, items):
    skip = pytest.mark.skip(reason=SKIP_REASON)
    for item in items:
        if item.get_closest_marker("standin") is None:
            funcs = [item.function, *_own_fixtures(item), *_picked_from_tables(item)]
            if any(_needs_controls(f) for f in funcs if inspect.isfunction(f)):
                item.add_marker(pytest.mark.standin)
        kind = "standin" if item.get_closest_marker("standin") else "contract"
        if kind == "contract":
            item.add_marker(pytest.mark.contract)
        elif not zormsg_testing.has_test_controls:
            item.add_marker(skip)
        item.user_properties.append(("kind", kind))  # for --junitxml readers
