"""Round trips of generated nested dicts through every body encoding.

Each encoding keeps what it can represent: JSON (orjson) str keys, 64-bit
ints, finite floats; MessagePack also bytes and infinities; the library map
(dict2container / map2dict) keeps less, as modelled by `through_container`.
"""
import math

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zormsg_testing as zt
from zormsg import ZorMsg

# Modest counts: this file also runs under the sanitizers in CI.
SETTINGS = settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])

INT64 = st.integers(-2**63, 2**63 - 1)
UINT64_RANGE = st.integers(-2**63, 2**64 - 1)
TEXT = st.text(max_size=12)


def nested(leaves, keys):
    return st.recursive(
        leaves,
        lambda inner: st.lists(inner, max_size=4) | st.dictionaries(keys, inner, max_size=4),
        max_leaves=16)


JSON_VALUES = nested(st.none() | st.booleans() | UINT64_RANGE | st.floats(allow_nan=False, allow_infinity=False)
                     | TEXT, TEXT)
JSON_DICTS = st.dictionaries(TEXT, JSON_VALUES, max_size=6)
MSGPACK_DICTS = st.dictionaries(
    TEXT, nested(st.none() | st.booleans() | UINT64_RANGE | st.floats(allow_nan=False) | TEXT
                 | st.binary(max_size=12), TEXT), max_size=6)

# Keys for the container path: some start with "bytes", some hold a NUL.
CONTAINER_KEYS = TEXT | TEXT.map(lambda s: "bytes" + s)
CONTAINER_VALUES = nested(
    st.none() | st.booleans() | INT64 | st.floats(allow_nan=False) | TEXT | TEXT.map(str.encode)
    | st.frozensets(st.integers(), max_size=2) | st.tuples(INT64, TEXT),
    CONTAINER_KEYS)
CONTAINER_DICTS = st.dictionaries(CONTAINER_KEYS, CONTAINER_VALUES, max_size=6)


def holds_nul(v):
    """A name or str value with a NUL anywhere in what is written: refused."""
    if isinstance(v, str):
        return "\0" in v
    if isinstance(v, dict):
        return any(holds_nul(k) or holds_nul(x) for k, x in v.items())
    if isinstance(v, (list, tuple)):
        return any(holds_nul(x) for x in v)
    return False


def _element(name, v, out_list=None):
    """The value read back for v written under name (None in a stream), or
    `skip` when the writer leaves the field out."""
    if isinstance(v, bool):
        return int(v)
    if isinstance(v, (int, float)):
        return v
    if isinstance(v, bytes) and b"\0" in v:
        return v  # a byte array, read back whole
    if isinstance(v, (str, bytes)):
        text = v.encode() if isinstance(v, str) else v
        return text if name is not None and name.startswith("bytes") else text.decode()
    if isinstance(v, dict):
        return through_container(v)
    if isinstance(v, (list, tuple)):
        return _stream(v)
    return _skip


_skip = object()


def _stream(seq):
    out = []
    for v in seq:
        got = _element(None, v)
        if got is _skip:
            continue
        # A stream inside a stream is read back into the outer list.
        if isinstance(v, (list, tuple)):
            out.extend(got)
        else:
            out.append(got)
    return out


def through_container(d):
    """What map_to_dict(dict_to_map(d)) gives back."""
    fields = {}
    for name, v in d.items():
        got = _element(name, v)
        if got is not _skip:
            fields[name] = got  # a later field of the same name wins
    return dict(sorted(fields.items(), key=lambda kv: kv[0].encode()))


def same(a, b):
    """Equality that also checks key order and int/bool/float kinds."""
    if isinstance(a, dict):
        return isinstance(b, dict) and list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return isinstance(b, list) and len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, float) and math.isinf(a):
        return a == b
    return type(a) is type(b) and a == b


@SETTINGS
@given(JSON_DICTS)
def test_json_property_round_trip(d):
    m = ZorMsg()
    m.json = d
    assert m.json == d
    assert m.content_type == "json"


@SETTINGS
@given(MSGPACK_DICTS)
def test_msgpack_property_round_trip(d):
    m = ZorMsg()
    m.msgpack = d
    assert m.msgpack == d
    assert m.content_type == "msgpack"


@pytest.mark.parametrize("fmt", ["json", "msgpack", "bytes/json"])
@SETTINGS
@given(d=JSON_DICTS)
def test_dict_form_round_trip(fmt, d):
    m = ZorMsg()
    zt.from_dict(m, d, fmt)
    assert m.content_type == fmt
    assert zt.to_dict(m) == d


@SETTINGS
@given(CONTAINER_DICTS)
def test_container_round_trip_follows_the_documented_mapping(d):
    if holds_nul(d):
        with pytest.raises(ValueError, match="NUL"):
            zt.dict_to_map(d, size=1 << 20)
        return
    back = zt.map_to_dict(zt.dict_to_map(d, size=1 << 20))
    assert same(back, through_container(d)), (back, through_container(d))


@SETTINGS
@given(st.dictionaries(TEXT.filter(lambda k: not k.startswith("bytes")), CONTAINER_VALUES, max_size=6)
       .filter(lambda d: not holds_nul(d)))
def test_received_map_body_reads_like_the_converters(d):
    # Without a "bytes" key the map is not taken for a JSON carrier.
    m = zt.received_map_message(d)
    assert same(zt.to_dict(m), through_container(d))
