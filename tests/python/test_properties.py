"""Plain properties of ZorMsg: addressing, flags, content type, body."""
import pytest

import zormsg
import zormsg_testing as zt
from zormsg import DeliveryMode, Destination, ZorMsg


@pytest.fixture
def msg():
    return ZorMsg()


@pytest.mark.parametrize("prop", ["dest", "reply2"])
def test_destination_round_trip_by_value(msg, prop):
    assert getattr(msg, prop).dest == ""
    assert getattr(msg, prop).dest_type == zormsg.Null
    setattr(msg, prop, Destination("q/1", zormsg.QueueTemp))
    a, b = getattr(msg, prop), getattr(msg, prop)
    assert a is not b and (a.dest, a.dest_type) == (b.dest, b.dest_type) == ("q/1", zormsg.QueueTemp)
    a.dest = "changed"
    assert getattr(msg, prop).dest == "q/1"  # until assigned back
    setattr(msg, prop, a)
    assert getattr(msg, prop).dest == "changed"


def test_rejected_destination_is_silent_and_keeps_the_old_one(msg):
    msg.dest = Destination("good")
    msg.dest = Destination("")  # the library refuses an empty name
    assert msg.dest.dest == "good"


@pytest.mark.parametrize("name, p2p", [("#P2P/v:abc", True), ("#P2P", True), ("#p2p/x", False),
                                       ("x#P2P", False), ("#P2", False), ("", False)])
def test_is_p2p(msg, name, p2p):
    if name:
        msg.dest = Destination(name, zormsg.Queue)
    assert msg.is_p2p is p2p


def test_is_request_and_is_reply(msg):
    assert msg.is_request is False
    msg.reply2 = Destination("r")
    assert msg.is_request is True
    msg.is_reply = 1  # truthy ints are accepted
    assert msg.is_reply is True and msg.is_request is False
    msg.is_reply = False
    assert msg.is_request is True


@pytest.mark.parametrize("prop", ["is_request", "is_p2p"])
def test_read_only_properties(msg, prop):
    with pytest.raises(AttributeError):
        setattr(msg, prop, True)


def test_delivery_mode_and_elide(msg):
    assert msg.delivery_mode == DeliveryMode.Direct
    msg.delivery_mode = zormsg.Persistent
    assert msg.delivery_mode is not zormsg.Persistent and msg.delivery_mode == zormsg.Persistent
    msg.delivery_mode = DeliveryMode(48)  # any value the library holds comes back
    assert int(msg.delivery_mode) == 48
    assert msg.elide is False
    msg.elide = True
    assert msg.elide is True


@pytest.mark.parametrize("prop, value", [("body", "text"), ("delivery_mode", 16), ("dest", None),
                                         ("reply2", "q"), ("is_reply", "yes"), ("content_type", 5),
                                         ("json", [1]), ("msgpack", 3), ("body", bytearray(b"x"))])
def test_wrong_types_raise_type_error_and_change_nothing(msg, prop, value):
    before = repr(msg)
    with pytest.raises(TypeError):
        setattr(msg, prop, value)
    assert repr(msg) == before


@pytest.mark.parametrize("prop", ["dest", "body", "json", "content_type"])
def test_properties_cannot_be_deleted(msg, prop):
    with pytest.raises(AttributeError):
        delattr(msg, prop)


def test_content_type(msg):
    assert msg.content_type == ""
    msg.content_type = "text/plain; charset=utf-8" * 10  # longer than the first map size
    assert msg.content_type == "text/plain; charset=utf-8" * 10
    msg.content_type = "é"
    assert msg.content_type == "é"


@pytest.mark.standin
def test_http_content_type_fallback(msg):
    zt.set_http_content_type(msg, "application/json")
    assert msg.content_type == "application/json"
    msg.content_type = "msgpack"
    assert msg.content_type == "msgpack"


@pytest.mark.parametrize("data", [b"", b"abc", b"\x00\x01\x00", bytes(range(256)) * 1000])
def test_body_round_trip(msg, data):
    assert msg.body == b""
    msg.body = data
    assert msg.body == data
    assert type(msg.body) is bytes


def test_body_accepts_bytes_subclass(msg):
    class B(bytes):
        pass
    msg.body = B(b"xy")
    assert msg.body == b"xy"


def test_native_only_members(msg):
    assert zt.get_correlation_id(msg) == ""
    zt.set_correlation_id(msg, "corr-1")
    assert zt.get_correlation_id(msg) == "corr-1"
    zt.set_deliver_to_one(msg, True)
    assert zt.is_deliver_to_one(msg)
    for name in ("correlation_id", "to_dict", "from_dict", "ptr"):
        assert not hasattr(msg, name)


@pytest.mark.parametrize("prop, value", [
    ("dest", Destination("orders/eu\x00/priority")),
    ("reply2", Destination("replies\x00x", zormsg.Queue)),
    ("content_type", "json\x00tail"),
    ("correlation id", "corr\x00tail"),
])
def test_text_with_nul_is_refused_not_cut(msg, prop, value):
    def get():
        return zt.get_correlation_id(msg) if prop == "correlation id" else getattr(msg, prop)

    def put(v):
        return zt.set_correlation_id(msg, v) if prop == "correlation id" else setattr(msg, prop, v)

    put(Destination("keep") if isinstance(value, Destination) else "keep")
    before = get()
    with pytest.raises(ValueError, match="embedded null character in " + prop):
        put(value)
    after = get()
    assert (after.dest, after.dest_type) == (before.dest, before.dest_type) if prop in ("dest", "reply2") \
        else after == before


@pytest.mark.parametrize("content_type", [b"\xff\xfe bytes that are no UTF-8", "é" * 3000, "x" + "é" * 3000,
                                          "xx" + "€" * 2000])
def test_repr_never_raises(msg, content_type):
    msg.content_type = content_type
    text = repr(msg)
    assert isinstance(text, str) and text == str(msg)
    if isinstance(content_type, bytes):
        assert "\\xff\\xfe bytes" in text
        with pytest.raises(UnicodeDecodeError):  # the getter stays strict
            msg.content_type
    else:
        assert len(text.encode()) <= 4095 and "\\x" not in text  # cut between characters
