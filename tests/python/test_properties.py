"""Plain properties of ZorMsg: addressing, flags, content type, body."""
import re

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


@pytest.mark.standin
@pytest.mark.parametrize("prop, copy, old, new", [
    ("dest", "destination", Destination("replies/old"), Destination("replies/new")),
    ("reply2", "destination", Destination("replies/old"), Destination("replies/new")),
    ("content_type", "properties", "text/old", "text/new"),
])
@pytest.mark.parametrize("via", ["fast accessor", "binding"])
def test_header_write_out_of_memory_raises_and_keeps_the_old_one(prop, copy, old, new, via):
    def value():
        v = getattr(m, prop)
        return v.dest if isinstance(v, Destination) else v

    m = ZorMsg()
    setattr(m, prop, old)
    write = ZorMsg.__dict__[prop].fset if via == "fast accessor" else zt.binding_function(ZorMsg.__dict__[prop].fset)
    zt.fail_copies(copy, 1)
    try:
        with pytest.raises(MemoryError, match=f"^ZorMsg: the message did not take {prop}: out of memory"):
            write(m, new)
    finally:
        zt.fail_copies(copy, 0)
    assert value() == (old.dest if isinstance(old, Destination) else old)
    setattr(m, prop, new)
    assert value() == (new.dest if isinstance(new, Destination) else new)


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


@pytest.mark.parametrize("prop", [n for n, p in vars(ZorMsg).items() if isinstance(p, property) and p.fset is None])
def test_read_only_properties(msg, prop):
    with pytest.raises(AttributeError):
        setattr(msg, prop, True)


def test_delivery_mode_and_elide(msg):
    assert msg.delivery_mode == DeliveryMode.Direct
    msg.delivery_mode = zormsg.Persistent
    assert msg.delivery_mode is not zormsg.Persistent and msg.delivery_mode == zormsg.Persistent
    zt.set_delivery_mode_value(msg, 48)  # any value the library holds comes back
    assert int(msg.delivery_mode) == 48
    other = ZorMsg()
    other.delivery_mode = msg.delivery_mode  # and can be written again
    assert int(other.delivery_mode) == 48
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


@pytest.mark.parametrize("prop", [n for n, p in vars(ZorMsg).items() if isinstance(p, property)])
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


class SubMsg(ZorMsg):
    pass


class SubDestination(Destination):
    pass


class Truth:
    """A value the binding converts to bool by calling Python code."""

    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


# Values each setter takes directly, values the binding converts, and values
# it refuses; the fast accessors must do with each what the binding does.
SETTER_VALUES = [
    ("dest", Destination("a/b", zormsg.Queue)), ("dest", SubDestination("s")), ("dest", "a/b"),
    ("dest", Destination("a\0b")), ("reply2", Destination("r")), ("reply2", None),
    ("is_reply", True), ("is_reply", False), ("is_reply", 1), ("is_reply", "yes"), ("elide", True), ("elide", 0.0),
    ("is_reply", None), ("is_reply", Truth(True)), ("elide", Truth(ValueError("no truth"))),
    ("delivery_mode", zormsg.Persistent), ("delivery_mode", 16), ("delivery_mode", zormsg.NonPersistent),
    ("content_type", "json"), ("content_type", b"msgpack"), ("content_type", "\udcff"), ("content_type", "a\0b"),
    ("content_type", 5), ("body", b"x"), ("body", bytearray(b"x")), ("body", type("B", (bytes,), {})(b"sub")),
    ("body", "text"), ("json", {"a": [1]}), ("json", type("D", (dict,), {})(a=1)), ("json", [1]), ("json", {"s": {1}}),
    ("msgpack", {"a": 1}), ("msgpack", type("D", (dict,), {})(a=1)), ("msgpack", 3),
]


def outcome(fn):
    try:
        value = fn()
        return ("value", (value.dest, value.dest_type) if isinstance(value, Destination) else value)
    except Exception as e:  # noqa: BLE001 - the exception is the outcome compared
        return (type(e), re.sub(r"<[\w.]+ object at 0x\w+>", "<object>", str(e)))


def binding(cls, prop, kind):
    """The pybind11 function behind a fast accessor: the reference."""
    fn = zt.binding_function(getattr(cls.__dict__[prop], kind))
    assert fn is not None, f"{cls.__name__}.{prop} has no fast {kind}"
    return fn


@pytest.mark.parametrize("prop, value", SETTER_VALUES)
def test_fast_accessors_do_what_the_binding_does(prop, value):
    fast, sub, reference = ZorMsg(), SubMsg(), ZorMsg()
    got = [outcome(lambda m=m: setattr(m, prop, value)) for m in (fast, sub)]
    got.append(outcome(lambda: binding(ZorMsg, prop, "fset")(reference, value)))
    assert got[0] == got[1] == got[2]
    read = [outcome(lambda m=m: getattr(m, prop)) for m in (fast, sub)]
    read.append(outcome(lambda: binding(ZorMsg, prop, "fget")(reference)))
    assert read[0] == read[1] == read[2]
    assert repr(fast) == repr(sub) == repr(reference)
    # None for the instance is refused (the binding itself would crash on it).
    with pytest.raises(TypeError, match="incompatible function arguments"):
        type(fast).__dict__[prop].fset(None, value)
    with pytest.raises(TypeError, match="Invoked with: None$"):
        type(fast).__dict__[prop].fget(None)


@pytest.mark.parametrize("kind, args, kwargs", [
    ("fget", (), {}), ("fget", ("m", "m"), {}), ("fget", ("m",), {"x": 1}), ("fget", (), {"self": "m"}),
    ("fset", ("m",), {}), ("fset", ("m", True, True), {}), ("fset", ("m",), {"value": True}),
])
def test_fast_accessors_refuse_other_calls_as_the_binding_does(kind, args, kwargs):
    m = ZorMsg()
    args = tuple(m if a == "m" else a for a in args)
    kwargs = {k: m if v == "m" else v for k, v in kwargs.items()}
    fast = getattr(ZorMsg.__dict__["is_reply"], kind)
    got = outcome(lambda: fast(*args, **kwargs))
    assert got[0] is TypeError and "incompatible function arguments" in got[1]
    assert got == outcome(lambda: binding(ZorMsg, "is_reply", kind)(*args, **kwargs))


def instance_functions(cls):
    for name, member in vars(cls).items():
        if isinstance(member, property):
            yield from ((f"{cls.__name__}.{name}.{kind}", fn) for kind, fn in
                        (("fget", member.fget), ("fset", member.fset)) if fn is not None)
        elif callable(member) and not isinstance(member, type) and name != "__init__":  # __init__ makes one
            yield f"{cls.__name__}.{name}", member


# Instances the binding would call through: None for a `self` it holds by
# pointer, and an object made by __new__ alone (no C++ object behind it).
# Every function of the classes must refuse them instead.
INSTANCES = {"None": lambda cls: None, "no __init__": lambda cls: cls.__new__(cls)}


@pytest.mark.parametrize("name, cls, fn", [(n, cls, f) for cls in (ZorMsg, Destination)
                                           for n, f in instance_functions(cls)],
                         ids=lambda v: v if isinstance(v, str) else "")
@pytest.mark.parametrize("instance", INSTANCES)
def test_instances_the_binding_cannot_use_are_refused(instance, name, cls, fn):
    obj = INSTANCES[instance](cls)
    with pytest.raises(TypeError):
        fn(obj) if not name.endswith(".fset") else fn(obj, None)


@pytest.mark.parametrize("cls", [zormsg.DestinationType, zormsg.DeliveryMode])
def test_enum_values_made_without_init_are_refused(cls):
    with pytest.raises(TypeError, match="not initialised"):
        int(cls.__new__(cls))


@pytest.mark.parametrize("field, value", [("dest", "x/y"), ("dest", b"bytes"), ("dest", 3), ("dest", "\udcff"),
                                          ("dest_type", zormsg.Queue), ("dest_type", 2)])
def test_fast_destination_fields_do_what_the_binding_does(field, value):
    fast, sub, reference = Destination("a"), SubDestination("a"), Destination("a")
    got = [outcome(lambda d=d: setattr(d, field, value)) for d in (fast, sub)]
    got.append(outcome(lambda: binding(Destination, field, "fset")(reference, value)))
    assert got[0] == got[1] == got[2]
    assert (fast.dest, fast.dest_type) == (sub.dest, sub.dest_type) == (reference.dest, reference.dest_type)


@pytest.mark.parametrize("cls, name", [(cls, name) for cls in (ZorMsg, Destination)
                                       for name, p in vars(cls).items() if isinstance(p, property)])
def test_every_property_is_fast_and_keeps_the_registration(cls, name):
    p = cls.__dict__[name]
    assert type(p) is property and p.fdel is None and p.__doc__ == ""
    for fn in (p.fget, p.fset):
        if fn is not None:  # a plain registration has no fast form: the binding runs around user code
            assert zt.binding_function(fn) is not None, f"{cls.__name__}.{name}: registered without its fast form"
            assert fn.__name__ == "" and fn.__doc__.startswith("(")
    assert p.fset is None or zt.binding_function(p.fset).__doc__ == p.fset.__doc__
