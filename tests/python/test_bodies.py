"""The json and msgpack properties: bodies encoded with orjson and msgpack."""
import gc
import re
import subprocess
import sys
import weakref

import msgpack
import orjson
import pytest

import zormsg_testing as zt
from zormsg import ZorMsg

DATA = {"a": 1, "s": "é", "l": [1, 2.5, None, True], "d": {"x": {"y": []}}}


@pytest.fixture
def msg():
    return ZorMsg()


def test_json_writes_exactly_what_orjson_gives(msg):
    msg.json = DATA
    assert msg.content_type == "json"
    assert msg.body == orjson.dumps(DATA)
    assert msg.json == DATA


def test_msgpack_round_trip(msg):
    msg.msgpack = DATA
    assert msg.content_type == "msgpack"
    assert msg.body == msgpack.packb(DATA)
    assert msg.msgpack == DATA


def test_getters_ignore_the_content_type(msg):
    msg.body = b'{"k": 1}'
    msg.content_type = "msgpack"
    assert msg.json == {"k": 1}
    msg.body = msgpack.packb({"k": 2})
    msg.content_type = "json"
    assert msg.msgpack == {"k": 2}
    with pytest.raises(orjson.JSONDecodeError):
        msg.json


@pytest.mark.parametrize("value, expected", [
    ([1, 2], {"content": [1, 2]}),
    ("text", {"content": "text"}),
    (b"\x01\x02", {"content": b"\x01\x02"}),
    ({"m": 1}, {"m": 1}),
])
def test_msgpack_sequence_rule(msg, value, expected):
    msg.body = msgpack.packb(value, use_bin_type=True)
    assert msg.msgpack == expected


@pytest.mark.parametrize("body, expected", [
    (b'[["a", 1], ["b", 2]]', {"a": 1, "b": 2}),
    (b"[]", {}),
    (b'""', {}),
])
def test_json_non_dict_goes_through_dict(msg, body, expected):
    msg.body = body
    assert msg.json == expected


@pytest.mark.parametrize("prop, body, exc", [
    ("json", b"5", TypeError),
    ("json", b'"ab"', ValueError),
    ("json", b"[1, 2]", TypeError),
    ("json", b"", orjson.JSONDecodeError),
    ("json", b"{} x", orjson.JSONDecodeError),
    ("msgpack", b"\x05", TypeError),
    ("msgpack", b"", ValueError),
    ("msgpack", b"\x01\x02", ValueError),
    ("msgpack", b"\xc1", ValueError),
])
def test_read_failures_pass_the_packages_exceptions(msg, prop, body, exc):
    if body:
        msg.body = body
    with pytest.raises(exc):
        getattr(msg, prop)


@pytest.mark.parametrize("prop, bad", [("json", {"s": {1, 2}}), ("json", {1: "int key"}),
                                       ("msgpack", {"o": object()})])
def test_encoder_failure_leaves_the_message_untouched(msg, prop, bad):
    msg.body = b"keep"
    msg.content_type = "before"
    with pytest.raises((TypeError, orjson.JSONEncodeError)):
        setattr(msg, prop, bad)
    assert (msg.body, msg.content_type) == (b"keep", "before")


def test_dict_subclass_and_fresh_objects(msg):
    class D(dict):
        pass
    msg.json = D(a=1)
    first = msg.json
    first["b"] = 2
    assert msg.json == {"a": 1}


def test_native_body_constructor():
    m = zt.json_body_message("t/1", '{"b": 1, "a": "é"}', "json")
    assert m.dest.dest == "t/1" and m.content_type == "json"
    assert m.body == '{"a":"é","b":1}'.encode()
    assert m.json == {"a": "é", "b": 1}
    assert zt.native_json_body(m) == '{"a":"é","b":1}'
    other = zt.json_body_message("t/2", "[1]", "application/json")
    assert other.content_type == "" and other.body == b""


@pytest.mark.parametrize("fmt", ["json", "msgpack"])
@pytest.mark.parametrize("depth, ok", [(zt.MAX_NESTING_DEPTH, True), (zt.MAX_NESTING_DEPTH + 1, False),
                                       (100_000, False)])
@pytest.mark.standin
def test_native_body_nesting_is_bounded(fmt, depth, ok):
    text = "[" * depth + "]" * depth
    live = zt.live_msgs()
    if ok:
        assert zt.json_body_message("t", text, fmt).content_type == fmt
    else:
        with pytest.raises(ValueError, match=f"nested deeper than {zt.MAX_NESTING_DEPTH}"):
            zt.json_body_message("t", text, fmt)
    assert zt.live_msgs() == live  # the refused constructor freed its message


NEW_BODIES = {"body": b"new", "json": {"new": 1}, "msgpack": {"new": 2}}


@pytest.mark.standin
@pytest.mark.parametrize("prop, refused", [("body", "body"), ("json", "body"), ("json", "properties"),
                                           ("msgpack", "body"), ("msgpack", "properties")])
@pytest.mark.parametrize("start", ["ct", "http", "none"])
def test_refused_body_write_raises_and_changes_nothing(prop, refused, start):
    m = ZorMsg()
    m.body = b'{"old": 0}'
    if start == "ct":
        m.content_type = "before"
    elif start == "http":
        zt.set_http_content_type(m, "application/json")
    before = (m.content_type, m.body)
    zt.fail_copies(refused, 1)
    try:
        with pytest.raises(MemoryError, match="out of memory"):
            setattr(m, prop, NEW_BODIES[prop])
    finally:
        zt.fail_copies(refused, 0)
    assert (m.content_type, m.body) == before
    setattr(m, prop, NEW_BODIES[prop])  # taken once the library has memory again
    assert getattr(m, prop) == NEW_BODIES[prop]
    # Any other refusal is a RuntimeError with the library's text.
    with pytest.raises(RuntimeError, match="invalid message handle"):
        setattr(zt.adopt_null(), prop, NEW_BODIES[prop])


BODY_WRITES = {
    "body": lambda m: setattr(m, "body", b"new"),
    "json": lambda m: setattr(m, "json", {"new": 1}),
    "msgpack": lambda m: setattr(m, "msgpack", {"new": 1}),
    "from_dict json": lambda m: zt.from_dict(m, {"new": 1}, "json"),
    "from_dict bytes/json": lambda m: zt.from_dict(m, {"new": 1}, "bytes/json"),
    "move": zt.move_out,
}


@pytest.mark.parametrize("keep", ["view", "slice", "copy of the view"])
@pytest.mark.parametrize("write", BODY_WRITES)
def test_body_view_refuses_body_writes_while_exported(write, keep):
    m = ZorMsg()
    m.json = DATA
    view = m.body_view
    assert view.readonly and view.format == "B" and bytes(view) == m.body
    held = {"view": view, "slice": view[1:], "copy of the view": memoryview(view)}[keep]
    before = (m.content_type, m.body)
    with pytest.raises(BufferError, match="view"):
        BODY_WRITES[write](m)
    assert (m.content_type, m.body) == before
    if held is not view:
        view.release()
        with pytest.raises(BufferError):  # the other view still holds the body
            BODY_WRITES[write](m)
    held.release()
    BODY_WRITES[write](m)  # released: writes work again
    del m
    view.release()


def test_body_view_keeps_the_message_alive():
    m = ZorMsg()
    m.body = b"payload"
    view = m.body_view
    del m
    assert bytes(view) == b"payload"
    with pytest.raises(TypeError):
        view[0] = 1  # read-only


class HoldingMsg(ZorMsg):
    pass


@pytest.mark.parametrize("hold", [lambda m: m.body_view, lambda m: m.body_view[1:3],
                                  lambda m: memoryview(m.body_view), lambda m: [m.body_view]])
def test_a_message_holding_a_view_of_its_own_body_is_collected(hold):
    m = HoldingMsg()
    m.body = b"payload"
    m.held = hold(m)
    gone = weakref.ref(m)
    del m
    gc.collect()
    assert gone() is None


@pytest.mark.parametrize("prop, encode", [("json", orjson.dumps), ("msgpack", msgpack.packb)])
@pytest.mark.parametrize("size", [10, 5000])
def test_large_bodies_decode_through_a_view_and_let_go_of_it(prop, encode, size):
    m = ZorMsg()
    value = {"k%d" % i: i for i in range(size)}
    setattr(m, prop, value)
    assert getattr(m, prop) == value and zt.to_dict(m) == value
    m.body = encode({"after": 1})  # no view is left behind by the decoder
    assert getattr(m, prop) == {"after": 1}


# Each body codec in a thread of the smallest stack Python allows, on a body
# nested deeper than that stack holds: a received body's depth is its
# sender's choice.
SMALL_STACK_CODEC = r"""
import re, sys, threading
import zormsg_testing as zt
from zormsg import ZorMsg
op, depth = sys.argv[1], int(sys.argv[2])
deep = {}
for _ in range(depth - 1):
    deep = {"a": deep}
text = '{"a":' * (depth - 1) + "{}" + "}" * (depth - 1)
m = ZorMsg()
if op == "to_dict bytes/json":
    m = zt.received_map_message({"bytes": text}, content_type="bytes/json")
elif op.endswith("json"):
    m.body, m.content_type = text.encode(), "json"
else:
    m.body, m.content_type = b"\x81\xa1a" * (depth - 1) + b"\x80", "msgpack"
before = (m.content_type, m.body)
OPS = {
    "json =": lambda: setattr(m, "json", deep),
    "msgpack =": lambda: setattr(m, "msgpack", deep),
    "get json": lambda: m.json,
    "get msgpack": lambda: m.msgpack,
    "to_dict json": lambda: zt.to_dict(m),
    "to_dict msgpack": lambda: zt.to_dict(m),
    "to_dict bytes/json": lambda: zt.to_dict(m),
    "from_dict bytes/json": lambda: zt.from_dict(m, deep, "bytes/json"),
}
out = []
def run():
    try:
        OPS[op]()
        out.append("converted")
    except RecursionError as e:
        out.append("RecursionError: " + str(e))
try:
    threading.stack_size(32 * 1024)
except ValueError as e:  # 3.14 on: a larger least size, which the refusal names
    threading.stack_size(int(re.search(r"\d+", str(e)).group()))
t = threading.Thread(target=run)
t.start()
t.join()
print(out[0])
print(m.body == before[1], m.content_type == before[0] or op.startswith("from_dict"))
"""


@pytest.mark.parametrize("op", ["json =", "msgpack =", "get json", "get msgpack", "to_dict json", "to_dict msgpack",
                                "to_dict bytes/json", "from_dict bytes/json"])
def test_small_thread_stacks_refuse_deep_bodies_in_every_codec(op):
    r = subprocess.run([sys.executable, "-c", SMALL_STACK_CODEC, op, "300"], capture_output=True, text=True,
                       timeout=60)
    assert r.returncode == 0, r.stderr[-2000:]
    outcome, unchanged = r.stdout.splitlines()
    package = "msgpack" if "msgpack" in op else "orjson"
    assert re.match(rf"RecursionError: {package}: (a body nested deeper than \d+ levels needs|decoding a body needs) "
                    r"more stack than this thread has left$", outcome), outcome
    assert unchanged == "True True"  # the message as it was (from_dict announces its format first)
