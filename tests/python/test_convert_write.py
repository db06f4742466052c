"""Python values to library containers: dict2container and getBytesString."""
import collections
import re
import subprocess
import sys

import pytest

import zormsg_testing as zt

# The library's type codes and zormsg's limits, as the headers give them.
(BOOL, UINT8, INT8, UINT16, INT16, UINT32, INT32, UINT64, INT64, WCHAR, STRING, BYTEARRAY, FLOAT, DOUBLE, MAP,
 STREAM, NULL, DEST, SMF, UNKNOWN) = (zt.FIELD_TYPES[name] for name in (
    "BOOL", "UINT8", "INT8", "UINT16", "INT16", "UINT32", "INT32", "UINT64", "INT64", "WCHAR", "STRING",
    "BYTEARRAY", "FLOAT", "DOUBLE", "MAP", "STREAM", "NULL", "DESTINATION", "SMF", "UNKNOWN"))
DEPTH_LIMIT = zt.MAX_NESTING_DEPTH


def written(d, size=65536):
    return zt.read_fields(zt.dict_to_map(d, size))


def printed(capfd):
    zt.flush_stdout()
    return capfd.readouterr().out.splitlines()


def test_scalar_rows_in_dict_order():
    assert written({"flag": True, "n": 1, "x": 1.5, "s": "hi", "f": False}) == [
        ("flag", BOOL, 1), ("n", INT64, 1), ("x", DOUBLE, 1.5), ("s", STRING, b"hi"), ("f", BOOL, 0)]


class Int(int):
    pass


class Float(float):
    pass


class Str(str):
    pass


class Bytes(bytes):
    pass


@pytest.mark.parametrize("value,field", [
    (b"\x01\x02", (STRING, b"\x01\x02")),
    (b"ab\x00cd", (BYTEARRAY, b"ab\x00cd")),
    (b"\x00", (BYTEARRAY, b"\x00")),
    ("é", (STRING, "é".encode())),
    (2**63 - 1, (INT64, 2**63 - 1)),
    (-2**63, (INT64, -2**63)),
    (Int(5), (INT64, 5)),
    (Float(2.5), (DOUBLE, 2.5)),
    (Str("s"), (STRING, b"s")),
    (Bytes(b"b"), (STRING, b"b")),
])
def test_value_rows(value, field):
    assert written({"k": value}) == [("k",) + field]


@pytest.mark.parametrize("d,label", [
    ({"a\x00b": 1}, "name of field 'a\\x00b'"),
    ({b"\x00": 1}, "name of field '\\x00'"),
    ({"ok": 1, "m": {"k\x00": "v"}}, "name of field 'k\\x00'"),
    ({"s": "a\x00b"}, "str value of field 's'"),
    ({"s": ["ok", "\x00"]}, "str value of a sequence element in field 's'"),
    ({"m": {"t": "x\x00"}}, "str value of field 't' in field 'm'"),
])
@pytest.mark.standin
def test_nul_in_a_name_or_str_value_raises_instead_of_cutting_the_text(d, label):
    before = zt.container_handles_open()
    with pytest.raises(ValueError, match=re.escape("the " + label + " holds a NUL character")):
        zt.dict_to_map(d)
    assert zt.container_handles_open() == before


@pytest.mark.parametrize("d", [
    {"b": b"a\x00b", "bytes_b": b"\x00\x01", "bytes_c": b"ab"},
    {"m": {"b": b"\x00" * 9000}, "l": [b"x\x00", {"z": b"\x00"}]},
])
def test_bytes_with_nul_round_trip_whole(d):
    assert zt.map_to_dict(zt.dict_to_map(d, size=1 << 16)) == dict(sorted(d.items()))


@pytest.mark.parametrize("d, where", [
    ({"big": 2**63}, "the value of field 'big'"),
    ({"big": -2**63 - 1}, "the value of field 'big'"),
    ({"m": {"l": [1, 10**30]}}, "the value of a sequence element in field 'm'"),
    ({"k": "\udcff"}, "the value of field 'k'"),
    ({"m": {"s": "\udcff"}}, "the value of field 's' in field 'm'"),
    ({1: "x"}, "the field name 1"),
    ({(1,): "x"}, r"the field name \(1,\)"),
    ({"\ud800": "x"}, r"the field name '\\ud800'"),
    ({"m": {2.0: "x"}}, "the field name 2.0 in field 'm'"),
])
def test_cast_errors_name_the_field(d, where):
    # pybind11's cast error (RuntimeError in Python), its words kept.
    with pytest.raises(RuntimeError, match="cannot write " + where + ": Unable to cast"):
        zt.dict_to_map(d)


def test_bytes_key_is_taken_as_is():
    assert written({b"raw": 1}) == [("raw", INT64, 1)]


def test_sequences_become_streams():
    assert written({"l": [1, "a", [2], {"k": 3}]}) == [
        ("l", STREAM, [(None, INT64, 1), (None, STRING, b"a"), (None, STREAM, [(None, INT64, 2)]),
                       (None, MAP, [("k", INT64, 3)])])]


@pytest.mark.parametrize("value", [(1, 2), bytearray(b"\x01\x02"), range(1, 3), collections.deque([1, 2])])
def test_other_sequences(value):
    assert written({"t": value}) == [("t", STREAM, [(None, INT64, 1), (None, INT64, 2)])]


def test_dict_subclass_is_a_map():
    assert written({"o": collections.OrderedDict(b=1, a=2)}) == [("o", MAP, [("b", INT64, 1), ("a", INT64, 2)])]


@pytest.mark.parametrize("value", [None, {1, 2}, object(), 1j])
def test_unsupported_value_reports_and_goes_on(capfd, value):
    capfd.readouterr()
    assert written({"a": 1, "n": value, "z": 2}) == [("a", INT64, 1), ("z", INT64, 2)]
    assert printed(capfd) == ["Key: n value type not support"]


def test_unsupported_sequence_element_reports_without_a_name(capfd):
    capfd.readouterr()
    assert written({"l": [None]}) == [("l", STREAM, [])]
    assert printed(capfd) == ["Key:  value type not support"]


def test_int_subclass_with_item_access_gives_both_fields():
    class IntSeq(int):
        def __getitem__(self, i):
            if i < 2:
                return i
            raise IndexError

        def __len__(self):
            return 2

    assert written({"k": IntSeq(9)}) == [("k", INT64, 9), ("k", STREAM, [(None, INT64, 0), (None, INT64, 1)])]


@pytest.mark.standin
def test_iteration_error_propagates_and_closes_the_nested_container():
    class Bad:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            raise KeyError("boom")

    before = zt.container_handles_open()
    with pytest.raises(KeyError, match="boom"):
        zt.dict_to_map({"ok": 1, "bad": {"inner": [Bad()]}})
    assert zt.container_handles_open() == before


@pytest.mark.parametrize("d,expected", [
    ({"a": "x", "bytes_1": "abc", "bytes_2": "zz"}, (131, "bytes_1", "abc")),
    ({"a": 1}, (0, "", "")),
    ({}, (0, "", "")),
    ({"bytes": b""}, (128, "bytes", "")),
    ({"Bytes": "x", b"bytes_b": b"\x00\x01"}, (130, "bytes_b", "\x00\x01")),
])
def test_get_bytes_string(d, expected):
    assert zt.get_bytes_string(d) == expected


@pytest.mark.parametrize("d", [{"bytes": 5}, {1: "x", "bytes": "abc"}])
def test_get_bytes_string_raises_for_non_text(d):
    with pytest.raises(RuntimeError, match="Unable to cast"):
        zt.get_bytes_string(d)


def test_round_trip_nested():
    d = {
        "name": "zor",
        "n": -7,
        "x": 0.25,
        "on": True,
        "bytes_payload": b"\x01raw",
        "m": {"inner": {"list": [1, "two", {"three": 3.0}], "empty": {}}, "e": []},
    }
    back = zt.map_to_dict(zt.dict_to_map(d))
    assert back == {**d, "on": 1}
    assert list(back) == sorted(d)
    # Lists inside lists come back flattened.
    assert zt.map_to_dict(zt.dict_to_map({"l": [1, [2, [3]], [], 4]})) == {"l": [1, 2, 3, 4]}


@pytest.mark.parametrize("value", [
    list(range(20000)),                                   # stream over 65536 bytes
    {f"k{i}": "v" * 50 for i in range(500)},              # map over 8192 bytes
    {"m": [{"blob": "x" * 100000}], "l": list(range(10000))},  # both, one level further down
    {"a": {"b": {"c": ["y" * 70000] * 3}}},
])
def test_big_nested_values_keep_everything(value):
    back = zt.map_to_dict(zt.dict_to_map({"v": value, "after": 1}, size=1 << 21))
    assert back == {"after": 1, "v": value}


def test_big_values_again_after_the_areas_grew():
    big = {"l": list(range(30000))}
    for _ in range(3):
        assert zt.map_to_dict(zt.dict_to_map(big, size=1 << 20)) == big


def test_full_top_container_names_the_field():
    with pytest.raises(ValueError, match="no room for field 'b' in the container"):
        zt.dict_to_map({"a": "x" * 10, "b": "y" * 200}, size=128)
    with pytest.raises(ValueError, match="no room for field 'big'"):
        zt.dict_to_map({"big": list(range(10000))}, size=4096)


def test_field_the_library_never_takes_is_an_error_not_a_growth_loop():
    with pytest.raises(RuntimeError, match="refused field 'kkkk.*' in field 'a'"):
        zt.dict_to_map({"a": {"k" * 70000: 1}})
    with pytest.raises(RuntimeError, match="refused field 'kkkk"):
        zt.dict_to_map({"k" * 70000: 1})


def nest(kind, levels):
    v = [] if kind == "list" else {}
    for _ in range(levels - 1):
        v = [v] if kind == "list" else {"d": v}
    return v


@pytest.mark.parametrize("kind", ["list", "dict"])
def test_nesting_limit(kind):
    ok = nest(kind, DEPTH_LIMIT)
    zt.dict_to_map({"a": ok})
    with pytest.raises(RecursionError, match="deeper than 500 levels in field 'a'"):
        zt.dict_to_map({"a": nest(kind, DEPTH_LIMIT + 1)})


@pytest.mark.parametrize("kind", ["list", "dict"])
def test_very_deep_input_raises_without_crashing(kind):
    with pytest.raises(RecursionError):
        zt.dict_to_map({"ok": 1, "a": nest(kind, 100000)})
    assert zt.map_to_dict(zt.dict_to_map({"after": [1, {"b": 2}]})) == {"after": [1, {"b": 2}]}


SMALL_STACK = """
import sys, threading
import zormsg_testing as zt
from zormsg import ZorMsg
kind, depth, kib, op = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
v = [] if kind == "list" else {}
for _ in range(depth - 1):
    v = [v] if kind == "list" else {"d": v}
deep = zt.make_deep(depth + 1, kind == "dict")  # the top level, then depth levels as {"a": v}
OPS = {
    "dict_to_map": lambda: zt.dict_to_map({"a": v}, size=1 << 20),
    "to_dict": lambda: zt.map_to_dict(deep),
    "json": lambda: zt.from_dict(ZorMsg(), {"a": v}, "json"),
    "msgpack": lambda: zt.from_dict(ZorMsg(), {"a": v}, "msgpack"),
    "bytes/json": lambda: zt.from_dict(ZorMsg(), {"a": v}, "bytes/json"),
}
out = []
def run():
    try:
        OPS[op]()
        out.append("converted")
    except (RecursionError, TypeError, ValueError) as e:  # the encoders' own limits
        out.append(type(e).__name__ + ": " + str(e))
threading.stack_size(kib * 1024)
t = threading.Thread(target=run)
t.start()
t.join()
print(out[0])
"""


def run_in_small_stack(kind, depth, kib, op):
    """The outcome of op on a value nested `depth` levels deep, in a thread of
    `kib` KiB of stack, in a child process: a crash fails the test."""
    r = subprocess.run([sys.executable, "-c", SMALL_STACK, kind, str(depth), str(kib), op],
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr[-2000:]
    return r.stdout.strip()


@pytest.mark.parametrize("kib", [128, 256, 320])
@pytest.mark.parametrize("depth", [499, DEPTH_LIMIT, DEPTH_LIMIT + 1])
@pytest.mark.parametrize("kind", ["list", "dict"])
def test_small_thread_stacks_convert_or_raise_naming_the_depth(kind, depth, kib):
    # A release build converts up to the limit from 256 KiB on; any build
    # (sanitizers grow every frame) may raise instead, never crash.
    got = run_in_small_stack(kind, depth, kib, "dict_to_map")
    no_stack = (r"RecursionError: dict2container: values nested \d+ levels deep in field 'a' "
                r"need more stack than this thread has left$")
    too_deep = "RecursionError: dict2container: values nested deeper than 500 levels in field 'a'$"
    assert re.match(no_stack + "|" + (too_deep if depth > DEPTH_LIMIT else "converted$"), got), got


def test_deepest_allowed_dict_round_trips():
    d = {"a": nest("dict", DEPTH_LIMIT)}
    assert zt.map_to_dict(zt.dict_to_map(d, size=1 << 20)) == d


class Once:
    """A sequence that can be iterated only once, counting its reads."""

    def __init__(self, items):
        self.items, self.iters = list(items), 0

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        self.iters += 1
        return iter(self.items if self.iters == 1 else [])


# Larger than any working area kept from an earlier call: the area must grow.
BIG = "y" * (5 << 20)


@pytest.mark.parametrize("make", [
    lambda: {"l": Once([1, None, BIG])},                     # the stream's own area grows
    lambda: {"l": [Once([1, None]), BIG]},                   # grows after an inner one was built
    lambda: {"m": {"a": Once(["x", None]), "big": BIG}},     # a map area grows
    lambda: {"m": {"l": [Once([None]), {"s": BIG}]}},        # grows at every level up
])
@pytest.mark.standin
def test_values_are_read_once_when_nested_areas_grow(capfd, make):
    d = make()
    onces = []

    def plain(v):
        if isinstance(v, Once):
            onces.append(v)
            return [x for x in v.items if x is not None]
        if isinstance(v, dict):
            return {k: plain(x) for k, x in v.items()}
        if isinstance(v, list):
            out = []
            for x in v:
                if x is None:
                    continue
                x = plain(x)
                out.extend(x) if isinstance(x, list) else out.append(x)
            return out
        return v

    expected = dict(sorted(plain(d).items()))
    capfd.readouterr()
    before = zt.container_handles_open()
    c = zt.dict_to_map(d, size=12 << 20)
    assert zt.container_handles_open() == before + 1  # the map itself
    assert zt.map_to_dict(c) == expected
    assert [o.iters for o in onces] == [1] * len(onces)
    # One diagnostic line per None in a Once, printed once.
    assert printed(capfd) == ["Key:  value type not support"] * sum(o.items.count(None) for o in onces)


class Hook:
    """A sequence whose iteration runs `hook` first."""

    def __init__(self, hook):
        self.hook = hook

    def __len__(self):
        return 1

    def __getitem__(self, i):
        return 1

    def __iter__(self):
        self.hook()
        return iter([1])


def make_dict_with_hook(change):
    d = {f"k{i}": i for i in range(5)}
    d["h"] = Hook(lambda: change(d))
    for i in range(5, 8):
        d[f"k{i}"] = i
    return d


def swap_keys(d):  # delete earlier keys, add as many others: same size, the table rebuilt
    for i in range(3):
        del d[f"k{i}"]
    for i in range(3):
        d[f"new{i}" * 4] = i
    for i in range(40):  # force the table to be rebuilt
        d[f"tmp{i}"] = i
    for i in range(40):
        del d[f"tmp{i}"]


@pytest.mark.parametrize("where", ["top", "nested"])
@pytest.mark.parametrize("change, message", [
    (lambda d: d.pop("k0"), "dictionary changed size during iteration"),
    (lambda d: d.update(extra=1), "dictionary changed size during iteration"),
    (swap_keys, "dictionary keys changed during iteration"),
])
def test_dict_changed_while_converted_raises(where, change, message):
    d = make_dict_with_hook(change)
    with pytest.raises(RuntimeError, match=message):
        zt.dict_to_map(d if where == "top" else {"m": d})


@pytest.mark.parametrize("change", [lambda seq: seq.pop(0), lambda seq: seq.append(9)])
def test_list_changed_size_while_converted_raises(change):
    items = [0, 1]
    items.append(Hook(lambda: change(items)))
    items += [3, 4]
    with pytest.raises(RuntimeError, match="list changed size during iteration"):
        zt.dict_to_map({"l": items})


class Pausing(list):
    """A sequence whose iteration hands control to `resume` once, part-way."""

    resume = None

    def __iter__(self):
        for i, item in enumerate(list.__iter__(self)):
            if i == 1 and Pausing.resume is not None:
                Pausing.resume()
            yield item


@pytest.mark.parametrize("schedule", ["A B A C B", "A B B C A", "A B C A B"])
def test_interleaved_conversions_give_what_each_gives_alone(schedule, greenlet):
    values = {"A": {"a": [1, Pausing([2, {"x": "y" * 300}]), 4]},
              "B": {"b": [[5, Pausing([6, [7, 8]])], {"m": "n"}]},
              "C": {"c": [[[9, 10], {"p": "q" * 500}]]}}
    main = greenlet.getcurrent()
    alone = {name: zt.map_to_dict(zt.dict_to_map(v)) for name, v in values.items()}
    got = {}
    # Each greenlet converts once; a Pausing sequence inside switches back to
    # the scheduler, which resumes the next greenlet of the schedule.
    runs = {name: greenlet.greenlet(lambda name=name: got.__setitem__(
        name, zt.map_to_dict(zt.unbound_dict_to_map(values[name])))) for name in values}
    Pausing.resume = main.switch
    try:
        for name in schedule.split():
            runs[name].switch()
    finally:
        Pausing.resume = None
    assert all(run.dead for run in runs.values()) and got == alone
