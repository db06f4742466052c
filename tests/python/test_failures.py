"""Failures that reach Python: the exact exception type, and a message left as
it was (nothing half-written). Complements the cases in test_bodies.py,
test_properties.py, test_dict_form.py and the converter tests."""
import msgpack
import orjson
import pytest

import zormsg_testing as zt
from zormsg import ZorMsg


@pytest.fixture
def msg():
    m = ZorMsg()
    m.body = b"keep"
    m.content_type = "before"
    return m


@pytest.mark.parametrize("prop", ["reply2", "is_reply", "delivery_mode", "elide", "msgpack", "is_request", "is_p2p"])
def test_no_property_can_be_deleted(msg, prop):
    before = repr(msg)
    with pytest.raises(AttributeError):
        delattr(msg, prop)
    assert repr(msg) == before


@pytest.mark.parametrize("prop, value, exc", [
    ("json", {"n": 2**64}, orjson.JSONEncodeError),
    ("json", {"s": "\ud800"}, orjson.JSONEncodeError),
    ("msgpack", {"n": 2**64}, OverflowError),
    ("msgpack", {"s": "\ud800"}, UnicodeEncodeError),
])
def test_encoder_refusals_keep_their_type_and_the_message(msg, prop, value, exc):
    with pytest.raises(exc):
        setattr(msg, prop, value)
    assert (msg.body, msg.content_type) == (b"keep", "before")


@pytest.mark.parametrize("prop, body, exc", [
    ("msgpack", b"\x92\x01", ValueError),          # truncated array
    ("msgpack", b"\x81\x01\x02", ValueError),      # map key that is not text
    ("msgpack", b"\x93\x01\x02\x03\x04", msgpack.ExtraData),
    ("msgpack", b"\xc0", TypeError),               # None goes to dict()
    ("msgpack", b"\xc3", TypeError),
    ("json", b"[[1, 2, 3]]", ValueError),          # elements that are not pairs
    ("json", b"null", TypeError),
    ("json", b"true", TypeError),
])
def test_decoder_failures_pass_unchanged_and_keep_the_body(msg, prop, body, exc):
    msg.body = body
    with pytest.raises(exc):
        getattr(msg, prop)
    assert msg.body == body


@pytest.mark.parametrize("text, exc", [
    ("5", TypeError),
    ('"ab"', ValueError),
    ("nope", orjson.JSONDecodeError),
    ("", orjson.JSONDecodeError),
])
def test_bytes_json_text_that_is_no_dict(text, exc):
    m = zt.received_map_message({"bytes": text}, content_type="bytes/json")
    with pytest.raises(exc):
        zt.to_dict(m)
    assert zt.to_dict(zt.received_map_message({"bytes": '[["a", 1]]'}, content_type="bytes/json")) == {"a": 1}


@pytest.mark.parametrize("d, exc", [
    ({"bytes_x": "nope", "a": 1}, orjson.JSONDecodeError),  # a "bytes" key in an untyped map is JSON
    ({"a": 1, "s": b"\xff"}, UnicodeDecodeError),
    ({"a": 1, b"\xff": 1}, UnicodeDecodeError),
])
@pytest.mark.parametrize("ct", [None, "sdt"])
def test_map_body_read_failures_give_no_partial_dict(d, exc, ct):
    m = zt.received_map_message(d, content_type=ct)
    body = m.body
    with pytest.raises(exc):
        zt.to_dict(m)
    assert m.body == body
    with pytest.raises(exc):  # the same again: nothing was consumed
        zt.to_dict(m)


@pytest.mark.parametrize("fmt, bad, exc", [
    ("json", {"s": {1}}, orjson.JSONEncodeError),
    ("msgpack", {"o": object()}, TypeError),
])
def test_from_dict_encoder_failure_sets_only_the_content_type(msg, fmt, bad, exc):
    with pytest.raises(exc):
        zt.from_dict(msg, bad, fmt)
    assert (msg.content_type, msg.body) == (fmt, b"keep")


@pytest.mark.parametrize("fmt", ["json", "msgpack", "xml"])
def test_dict_form_on_a_message_without_handle(fmt):
    m = zt.adopt_null()
    if fmt == "xml":  # only a content type to write: silent, like the content_type setter
        assert zt.from_dict(m, {"a": 1}, fmt) is None
    else:  # a body the library refuses is reported
        with pytest.raises(RuntimeError, match=f'"{fmt}" body: invalid message handle'):
            zt.from_dict(m, {"a": 1}, fmt)
    assert zt.to_dict(m) == {}
    assert (m.content_type, m.body) == ("", b"")


BODY_WRITES = {
    "json": lambda m: setattr(m, "json", {"new": 1}),
    "msgpack": lambda m: setattr(m, "msgpack", {"new": 1}),
    "from_dict json": lambda m: zt.from_dict(m, {"new": 1}, "json"),
    "from_dict msgpack": lambda m: zt.from_dict(m, {"new": 1}, "msgpack"),
    "from_dict bytes/json": lambda m: zt.from_dict(m, {"new": 1}, "bytes/json"),
}


@pytest.mark.standin
@pytest.mark.parametrize("refused", ["body", "properties"])
@pytest.mark.parametrize("start", ["new", "http content type"])
@pytest.mark.parametrize("write", BODY_WRITES)
def test_refused_write_on_a_message_without_content_type_leaves_its_dump(write, start, refused):
    m = ZorMsg()
    if start == "http content type":  # as received from another client: no "ct" property
        zt.set_http_content_type(m, "application/json")
    before = repr(m)
    zt.fail_copies(refused, 1)
    try:
        with pytest.raises(MemoryError, match="out of memory"):
            BODY_WRITES[write](m)
    finally:
        zt.fail_copies(refused, 0)
    if refused == "properties":
        # The library cannot remove the user property map it had to create
        # for the content type it then refused: that map stays, empty.
        before = before.replace("User Property Map: (none)\n", "User Property Map:\n")
    assert repr(m) == before
    BODY_WRITES[write](m)  # taken once the library has memory again
    assert zt.to_dict(m) == {"new": 1}
