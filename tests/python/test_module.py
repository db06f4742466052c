"""The module's surface: import, enumerations, Destination, the ZorMsg class."""
import gc
import pickle
import subprocess
import sys
import textwrap

import pytest

import zormsg
import zormsg_testing as zt
from zormsg import DeliveryMode, Destination, DestinationType, ZorMsg


def test_module_docstring_and_namespace_order():
    assert zormsg.__doc__ == "\n\n  "
    names = [n for n in vars(zormsg) if not n.startswith("__")]
    assert names == ["DestinationType", "Null", "Topic", "Queue", "TopicTemp", "QueueTemp",
                     "DeliveryMode", "Direct", "Persistent", "NonPersistent", "Destination", "ZorMsg"]


@pytest.mark.parametrize("enum, members", [
    (DestinationType, {"Null": -1, "Topic": 0, "Queue": 1, "TopicTemp": 2, "QueueTemp": 3}),
    (DeliveryMode, {"Direct": 0, "Persistent": 16, "NonPersistent": 32}),
])
def test_enum_members_exported_as_the_same_objects(enum, members):
    assert {k: int(v) for k, v in enum.__members__.items()} == members
    for name in members:
        assert getattr(zormsg, name) is getattr(enum, name)
        assert getattr(enum, name).name == name


def test_enum_docstrings():
    assert DestinationType.__doc__.startswith("Zorvane Msg DestinationType\n\nMembers:\n\n  Null : Null")
    assert DeliveryMode.__doc__.endswith("NonPersistent : NonPersistent")


def test_enum_arithmetic_and_construction():
    assert DestinationType(2) == zormsg.TopicTemp
    assert zormsg.Queue < zormsg.TopicTemp
    assert (zormsg.Persistent | zormsg.NonPersistent) == 48
    assert (zormsg.Persistent & 16) == 16
    assert (zormsg.Queue ^ zormsg.TopicTemp) == 3
    assert pickle.loads(pickle.dumps(zormsg.Queue)) == zormsg.Queue
    with pytest.raises(TypeError):
        DeliveryMode(-1)


@pytest.mark.parametrize("value", [4, 99, -2, -4, 2**31 - 1, -2**31])
def test_destination_type_holds_only_the_library_types(value):
    # Any other number cannot be held in the library's enumeration.
    with pytest.raises(ValueError, match=f"^{value} is not a valid DestinationType"):
        DestinationType(value)
    blank = DestinationType.__new__(DestinationType)
    with pytest.raises(ValueError, match=f"^{value} is not a valid DestinationType"):
        blank.__setstate__(value)  # what unpickling does
    blank.__setstate__(3)
    assert blank == zormsg.QueueTemp
    assert [DestinationType(v) for v in range(-1, 4)] == list(DestinationType.__members__.values())


def test_destination_construction():
    d = Destination("a/b")
    assert (d.dest, d.dest_type) == ("a/b", zormsg.Topic)
    d = Destination(dest="q", dest_type=zormsg.Queue)
    assert (d.dest, d.dest_type) == ("q", zormsg.Queue)
    assert Destination(b"raw").dest == "raw"


@pytest.mark.parametrize("args", [(), ("a", 1), (5,), (None,)])
def test_destination_bad_arguments(args):
    with pytest.raises(TypeError):
        Destination(*args)


def test_destination_fields_by_reference_and_by_copy():
    d = Destination("x")
    t = d.dest_type
    d.dest_type = zormsg.Queue
    assert t == zormsg.Queue  # enum fields are read by reference
    s = d.dest
    d.dest = "y"
    assert s == "x"  # str fields are copies
    assert Destination("x") != Destination("x")  # compared by identity


def test_zormsg_constructor_and_attributes():
    with pytest.raises(TypeError):
        ZorMsg(1)
    m = ZorMsg()
    with pytest.raises(AttributeError):
        m.anything = 1
    assert "Binary Attachment" in repr(m) or repr(m)  # the library's dump, not <zormsg.ZorMsg ...>
    assert not repr(m).startswith("<zormsg.ZorMsg")


def test_collecting_a_message_frees_it():
    gc.collect()
    base = zt.live_msgs()
    msgs = [ZorMsg() for _ in range(10)]
    assert zt.live_msgs() == base + 10
    del msgs
    gc.collect()
    assert zt.live_msgs() == base


def test_second_module_returns_and_accepts_zormsg():
    base = zt.live_msgs()
    m = zt.adopt_new()
    assert type(m) is ZorMsg
    m.dest = Destination("t")
    assert zt.has_handle(m)
    moved = zt.move_out(m)
    assert not zt.has_handle(m) and zt.has_handle(moved)
    assert moved.dest.dest == "t"
    assert m.dest.dest == ""  # the emptied source acts on no handle
    del m
    assert zt.live_msgs() == base + 1
    del moved
    assert zt.live_msgs() == base


def test_failed_allocation_gives_a_usable_empty_message(capfd):
    zt.fail_allocs(1)
    m = ZorMsg()
    out = capfd.readouterr().out
    assert "ZorMsg alloc failed, error: " in out
    assert not zt.has_handle(m)
    m.dest = Destination("x")  # setters swallow the library's refusal
    assert m.dest.dest == "" and m.body == b"" and m.content_type == ""


def _run(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)


@pytest.mark.parametrize("blocked, attr", [("orjson", None), ("msgpack", None), ("orjson", "loads"),
                                           ("msgpack", "dumps")])
def test_missing_body_package_is_an_import_error(blocked, attr):
    if attr is None:
        prep = f"sys.modules[{blocked!r}] = None"
    else:
        prep = f"import {blocked}; delattr({blocked}, {attr!r})"
    r = _run(f"""
        import sys
        {prep}
        try:
            import zormsg
        except ImportError as e:
            print("IMPORTERROR", e)
        """)
    assert r.returncode == 0, r.stderr
    assert "IMPORTERROR" in r.stdout and blocked in r.stdout


def test_import_loads_both_body_packages():
    r = _run("""
        import sys
        import zormsg
        print("orjson" in sys.modules, "msgpack" in sys.modules)
        """)
    assert r.stdout.split() == ["True", "True"], r.stderr
