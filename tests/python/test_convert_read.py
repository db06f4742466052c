"""Library containers to Python values: zor2map, map2dict, stream2list."""
import pytest

import zormsg_testing as zt
from zormsg import ZorMsg

# The library's type codes and zormsg's limits, as the headers give them.
(BOOL, UINT8, INT8, UINT16, INT16, UINT32, INT32, UINT64, INT64, WCHAR, STRING, BYTEARRAY, FLOAT, DOUBLE, MAP,
 STREAM, NULL, DEST, SMF, UNKNOWN) = (zt.FIELD_TYPES[name] for name in (
    "BOOL", "UINT8", "INT8", "UINT16", "INT16", "UINT32", "INT32", "UINT64", "INT64", "WCHAR", "STRING",
    "BYTEARRAY", "FLOAT", "DOUBLE", "MAP", "STREAM", "NULL", "DESTINATION", "SMF", "UNKNOWN"))
DEPTH_LIMIT = zt.MAX_NESTING_DEPTH


def printed(capfd):
    zt.flush_stdout()
    return capfd.readouterr().out.splitlines()


SCALARS = [
    (BOOL, 1, 1),
    (BOOL, 0, 0),
    (UINT8, 255, 255),
    (INT8, -1, -1),
    (UINT16, 65535, 65535),
    (INT16, -32768, -32768),
    (UINT32, 2**32 - 1, 2**32 - 1),
    (INT32, -2**31, -2**31),
    (UINT64, 2**64 - 1, 18446744073709551615),
    (INT64, -2**63, -9223372036854775808),
    (INT64, 2**63 - 1, 2**63 - 1),
    (WCHAR, "A", 65),
    (FLOAT, 0.1, 0.10000000149011612),
    (DOUBLE, 0.1, 0.1),
    (STRING, "héllo", "héllo"),
    (STRING, "", ""),
]


@pytest.mark.parametrize("code,value,expected", SCALARS)
def test_scalar_field_in_map_and_stream(code, value, expected):
    d = zt.map_to_dict(zt.make_map([("v", code, value)]))
    assert d == {"v": expected} and type(d["v"]) is type(expected)
    lst = zt.stream_to_list(zt.make_stream([(None, code, value)]))
    assert lst == [expected] and type(lst[0]) is type(expected)


@pytest.mark.parametrize("name,expected", [
    ("bytes", b"abc"),
    ("bytes_payload", b"abc"),
    ("Bytes", "abc"),
    ("my_bytes", "abc"),
    ("byte", "abc"),
])
def test_string_under_bytes_name_is_bytes(name, expected):
    d = zt.map_to_dict(zt.make_map([(name, STRING, "abc")]))
    assert d == {name: expected} and type(d[name]) is type(expected)


def test_bytes_name_keeps_text_that_is_not_utf8_and_str_path_rejects_it():
    m = zt.make_map([("bytes_raw", STRING, b"\xff\xfe")])
    assert zt.map_to_dict(m) == {"bytes_raw": b"\xff\xfe"}
    with pytest.raises(UnicodeDecodeError):
        zt.map_to_dict(zt.make_map([("s", STRING, b"\xff\xfe")]))
    with pytest.raises(UnicodeDecodeError):
        zt.stream_to_list(zt.make_stream([(None, STRING, b"\xff")]))


@pytest.mark.parametrize("name", ["s", "bytes", "bytes_x"])
def test_null_text_is_none(name):
    assert zt.map_to_dict(zt.make_map([(name, STRING, None)])) == {name: None}
    assert zt.field_to_dict(name, STRING, None) == {name: None}


def test_null_text_in_stream_is_none():
    assert zt.stream_to_list(zt.make_stream([(None, STRING, None)])) == [None]
    assert zt.field_to_list(STRING, None) == [None]


@pytest.mark.parametrize("raw", [b"", b"\x00", b"a\x00b", bytes(range(256))])
def test_byte_array_fields_read_as_bytes(raw):
    m = zt.make_map([("ba", BYTEARRAY, raw), ("bytes_b", BYTEARRAY, raw), ("m", MAP, [("in", BYTEARRAY, raw)]),
                     ("s", STREAM, [(None, BYTEARRAY, raw), (None, INT32, 1)])])
    assert zt.map_to_dict(m) == {"ba": raw, "bytes_b": raw, "m": {"in": raw}, "s": [raw, 1]}
    assert zt.stream_to_list(zt.make_stream([(None, BYTEARRAY, raw)])) == [raw]


@pytest.mark.parametrize("read", [
    lambda: zt.field_to_dict(b"a\xff", INT32, 1),
    lambda: zt.map_to_dict(zt.make_map([("m", MAP, [(b"a\xff", INT32, 1)])])),
    lambda: zt.stream_to_list(zt.make_stream([(None, MAP, [(b"a\xff", STRING, "x")])])),
])
def test_field_name_not_utf8_raises_unicode_error_naming_it(read):
    with pytest.raises(UnicodeDecodeError, match=r"invalid start byte in the name of field 'a\\xff'") as err:
        read()
    assert (err.value.object, err.value.start, err.value.end) == (b"a\xff", 1, 2)


def test_unconverted_map_fields_print_one_line_each(capfd):
    m = zt.make_map([("ba", BYTEARRAY, b"\x01"), ("n", NULL, None), ("d", DEST, (0, "t/1")),
                     ("smf", SMF, b"\x00\x01"), ("ok", INT32, 3)])
    capfd.readouterr()
    assert zt.map_to_dict(m) == {"ba": b"\x01", "ok": 3}
    assert printed(capfd) == [
        "pyzorvane/map2dict(69): field: d, field_type: 17",
        "pyzorvane/map2dict(69): field: n, field_type: 16",
        "pyzorvane/map2dict(69): field: smf, field_type: 18",
    ]


@pytest.mark.parametrize("code", [NULL, DEST, SMF, UNKNOWN, 99, -7, 2**31 - 1])
def test_raw_type_codes_without_conversion(capfd, code):
    capfd.readouterr()
    assert zt.field_to_dict("f", code) == {}
    assert zt.field_to_list(code) == []
    assert printed(capfd) == [
        f"pyzorvane/map2dict(69): field: f, field_type: {code}",
        f"pyzorvane/map2dict(131): field: None, field_type: {code}",
    ]


def test_null_in_stream_prints_list_line(capfd):
    s = zt.make_stream([(None, INT32, 1), (None, NULL, None), (None, INT32, 2)])
    capfd.readouterr()
    assert zt.stream_to_list(s) == [1, 2]
    assert printed(capfd) == ["pyzorvane/map2dict(131): field: None, field_type: 16"]


def test_key_order_is_bytewise():
    m = zt.make_map([("b", INT32, 1), ("a", INT32, 2), ("c", INT32, 3), ("é", INT32, 4), ("B", INT32, 5)])
    assert list(zt.map_to_dict(m)) == ["B", "a", "b", "c", "é"]
    count, entries = zt.zor2map_names(zt.make_map([(n, INT32, 0) for n in ["b", "ab", "a", "B"]]))
    assert count == 4 and [n for n, _ in entries] == [b"B", b"a", b"ab", b"b"]


def test_zor2map_later_field_wins_and_table_is_not_cleared():
    m = zt.make_map([("x", INT32, 1), ("x", STRING, "s"), ("k", INT32, 2)])
    count, entries = zt.zor2map_names(m, preset=["k", "pre"])
    assert count == 3
    assert entries == [(b"k", INT32), (b"pre", UNKNOWN), (b"x", STRING)]
    assert zt.map_to_dict(m) == {"k": 2, "x": "s"}


def test_empty_containers():
    assert zt.map_to_dict(zt.make_map([])) == {}
    assert zt.stream_to_list(zt.make_stream([])) == []
    assert zt.zor2map_names(zt.make_map([])) == (0, [])
    assert zt.stream_to_dict(zt.make_stream([]), "s") == {"s": []}


def test_walks_restart_from_the_first_field():
    m = zt.make_map([("a", INT32, 1), ("b", MAP, [("c", INT32, 2)])])
    first = zt.map_to_dict(m)
    assert zt.map_to_dict(m) == first == {"a": 1, "b": {"c": 2}}
    s = zt.make_stream([(None, INT32, 1), (None, INT32, 2)])
    zt.stream_to_list(s)
    assert zt.stream_to_list(s) == [1, 2]


def test_nested_maps_and_streams():
    m = zt.make_map([
        ("em", MAP, []),
        ("es", STREAM, []),
        ("m", MAP, [("i", INT8, -3), ("inner", MAP, [("z", STRING, "deep")])]),
        ("s", STREAM, [(None, INT32, 1), (None, MAP, [("x", INT32, 1)]), (None, STRING, "t")]),
        ("bytes_in", MAP, [("bytes_b", STRING, "raw")]),
    ])
    assert zt.map_to_dict(m) == {
        "bytes_in": {"bytes_b": b"raw"},
        "em": {},
        "es": [],
        "m": {"i": -3, "inner": {"z": "deep"}},
        "s": [1, {"x": 1}, "t"],
    }


def test_nested_map_orders_names_and_keeps_the_last_of_equal_names():
    m = zt.make_map([("n", MAP, [("x", INT32, 1), ("b", INT32, 2), ("x", STRING, "s"), ("a", INT32, 3)])])
    d = zt.map_to_dict(m)["n"]
    assert d == {"a": 3, "b": 2, "x": "s"} and list(d) == ["a", "b", "x"]
    assert zt.stream_to_list(zt.make_stream([(None, MAP, [("b", INT32, 1), ("a", INT32, 2)])])) == [{"a": 2, "b": 1}]


def test_many_names_read_repeatedly_stay_distinct():
    # Names of every length around the reuse limit for name objects.
    names = [f"k{i}" for i in range(3000)] + ["n" * 30, "n" * 31, "n" * 32, "é" * 16]
    m = zt.make_map([(n, INT32, i) for i, n in enumerate(names)], size=1 << 20)
    expected = {n: i for i, n in enumerate(names)}
    for _ in range(2):
        assert zt.map_to_dict(m) == expected
        assert zt.field_to_list(MAP, m) == [expected]


def test_stream_in_stream_is_flattened():
    s = zt.make_stream([
        (None, INT32, 1),
        (None, STREAM, [(None, INT32, 2), (None, STREAM, [(None, INT32, 3)])]),
        (None, STREAM, []),
        (None, INT32, 4),
    ])
    assert zt.stream_to_list(s) == [1, 2, 3, 4]
    assert zt.field_to_list(STREAM, s) == [1, 2, 3, 4]
    assert zt.field_to_dict("k", STREAM, s) == {"k": [1, 2, 3, 4]}


def test_field_to_dict_of_a_nested_map():
    m = zt.make_map([("b", INT32, 2), ("a", DOUBLE, 0.5)])
    assert zt.field_to_dict("n", MAP, m) == {"n": {"a": 0.5, "b": 2}}
    assert zt.field_to_list(MAP, m) == [{"a": 0.5, "b": 2}]


def test_no_container_reads_as_empty():
    c = zt.null_container()
    assert zt.map_to_dict(c) == {}
    assert zt.stream_to_list(c) == []
    assert zt.zor2map_names(c) == (0, [])


@pytest.mark.standin
def test_map_body_that_is_no_container_raises():
    c = zt.map_from_bytes(b"not a map at all")
    with pytest.raises(RuntimeError, match="cannot read the map container"):
        zt.map_to_dict(c)


@pytest.mark.standin
def test_corrupt_field_raises_instead_of_a_partial_result():
    one = zt.container_bytes(zt.make_map([("a", INT32, 1)]))
    two = bytearray(zt.container_bytes(zt.make_map([("a", INT32, 1), ("b", INT32, 2)])))
    # Second field's name length (bytes 2-3 of its header) now runs past the end.
    two[len(one) + 2:len(one) + 4] = b"\xff\xff"
    c = zt.map_from_bytes(bytes(two))
    assert not c.is_null
    with pytest.raises(RuntimeError, match="cannot read"):
        zt.map_to_dict(c)


def _to_dict_of_body(raw):
    m = ZorMsg()
    zt.set_map_attachment(m, raw)
    return zt.to_dict(m)


@pytest.mark.parametrize("read, who", [
    (lambda raw: zt.stream_to_dict(zt.map_from_bytes(raw), "s"), "stream2dict: cannot read the stream container"),
    (lambda raw: zt.stream_to_list(zt.map_from_bytes(raw)), "stream2list: cannot read the stream container"),
    (_to_dict_of_body, "readMapFields: cannot read the map container"),
])
@pytest.mark.standin
def test_a_failed_walk_names_the_function_that_raises(read, who):
    one = zt.container_bytes(zt.make_map([("a", INT32, 1)]))
    two = bytearray(zt.container_bytes(zt.make_map([("a", INT32, 1), ("b", INT32, 2)])))
    two[len(one) + 2:len(one) + 4] = b"\xff\xff"
    with pytest.raises(RuntimeError, match="^" + who):
        read(bytes(two))


@pytest.mark.parametrize("is_map", [True, False])
def test_nesting_up_to_the_limit_reads(is_map):
    c = zt.make_deep(DEPTH_LIMIT + 1, is_map)
    if is_map:
        d = zt.map_to_dict(c)
        for _ in range(DEPTH_LIMIT):
            d = d["x"]
        assert d == {"x": 7}
    else:
        assert zt.stream_to_list(c) == [7]


@pytest.mark.parametrize("levels", [DEPTH_LIMIT + 2, 5000])
@pytest.mark.parametrize("is_map", [True, False])
def test_deeper_nesting_raises_recursion_error(is_map, levels):
    c = zt.make_deep(levels, is_map)
    reader = zt.map_to_dict if is_map else zt.stream_to_list
    with pytest.raises(RecursionError, match="deeper than 500"):
        reader(c)
    # The depth count is restored: a normal read still works.
    assert zt.map_to_dict(zt.make_map([("m", MAP, [("a", INT32, 1)])])) == {"m": {"a": 1}}


@pytest.mark.parametrize("reader", [zt.field_to_dict, zt.field_to_list])
@pytest.mark.parametrize("code", [MAP, STREAM])
def test_nested_field_whose_handle_cannot_be_read_raises(reader, code):
    args = ("n", code, zt.null_container()) if reader is zt.field_to_dict else (code, zt.null_container())
    with pytest.raises(RuntimeError, match="cannot read the nested"):
        reader(*args)


def body_message(fields):
    """A message whose map body, as received, holds these fields."""
    m = ZorMsg()
    zt.set_map_attachment(m, zt.container_bytes(zt.make_map(fields, size=1 << 16)))
    return m


def item(i):
    return [("i", INT32, i), ("s", STREAM, [(None, MAP, [("x", INT32, i)])])], {"i": i, "s": [{"x": i}]}


# More nested containers side by side than a reader keeps open at once.
WIDE = 150


@pytest.mark.parametrize("fails", [False, True])
@pytest.mark.parametrize("layout", ["map", "stream", "map in map"])
@pytest.mark.parametrize("n", [3, WIDE])
@pytest.mark.standin
def test_reading_closes_every_nested_handle_it_opens(n, layout, fails):
    # The last nested map read fails (a name that is not UTF-8) or holds {"ok": 1}.
    last = [(b"\xff", INT32, 1)] if fails else [("ok", INT32, 1)]
    fields = [(f"k{i:03d}", MAP, item(i)[0]) for i in range(n)]
    value = {f"k{i:03d}": item(i)[1] for i in range(n)}
    if layout == "stream":
        body = [("s", STREAM, [(None, MAP, f) for _, _, f in fields] + [(None, MAP, last)])]
        expected = {"s": list(value.values()) + [{"ok": 1}]}
    else:
        fields.append(("zz", MAP, last))
        value["zz"] = {"ok": 1}
        body, expected = (fields, value) if layout == "map" else ([("m", MAP, fields)], {"m": value})
    msg, c = body_message(body), zt.make_map(body, size=1 << 16)
    for read, kept in [(lambda: zt.to_dict(msg), 1), (lambda: zt.field_to_list(MAP, c)[0], 0)]:
        before = zt.live_containers()
        if fails:
            with pytest.raises(UnicodeDecodeError, match="in the name of field"):
                read()
        else:
            assert read() == expected
        # Only the message's handle for its body stays.
        assert zt.live_containers() - before == kept


@pytest.mark.parametrize("n", [1, 64, 65, WIDE])
@pytest.mark.standin
def test_wide_maps_keep_name_order_and_the_last_of_equal_names(n):
    fields, expected = [], {}
    for i in reversed(range(n)):
        name = f"k{i:03d}"
        # Read first and replaced: never converted, so its bad name raises nothing.
        fields.append((name, MAP, [(b"\xff", INT32, 0)]))
        fields.append((name, MAP if i % 2 else STREAM, [("v" if i % 2 else None, INT32, i)]))
        expected[name] = {"v": i} if i % 2 else [i]
        fields.append((f"n{i:03d}", INT32, i))
        expected[f"n{i:03d}"] = i
    expected = dict(sorted(expected.items()))
    for got in (zt.to_dict(body_message(fields)), zt.map_to_dict(zt.make_map(fields, size=1 << 16)),
                zt.to_dict(body_message([("o", MAP, fields)]))["o"]):
        assert got == expected and list(got) == list(expected)
