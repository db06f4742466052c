"""The dictionary form of a message (to_dict / from_dict), reached through zormsg_testing."""
import subprocess
import sys
import textwrap
import threading

import msgpack
import orjson
import pytest

import zormsg_testing as zt
from zormsg import ZorMsg

NESTED = {"a": 1, "b": {"c": [1, 2, {"d": "é"}], "e": None}, "f": 2.5, "g": True}


@pytest.mark.parametrize("fmt", ["json", "msgpack", "bytes/json"])
def test_round_trip(fmt):
    m = ZorMsg()
    assert zt.from_dict(m, NESTED, fmt) is None
    assert m.content_type == fmt
    assert zt.to_dict(m) == NESTED


def test_bytes_json_body_is_a_map_with_one_string_field():
    m = ZorMsg()
    zt.from_dict(m, {"k": "v"}, "bytes/json")
    got = zt.to_dict(m)
    assert got == {"k": "v"} and "bytes/json" not in got
    # Read as a map without the content type: the single field, as the JSON text.
    m.content_type = "sdt"
    assert zt.to_dict(m) == {"k": "v"}


def test_size_boundary_of_the_small_buffer():
    def payload(n):  # a dict whose JSON text is exactly n bytes
        d = {"k": "x" * (n - len(b'{"k":""}'))}
        assert len(orjson.dumps(d)) == n
        return d

    m = ZorMsg()
    assert zt.from_dict(m, payload(32640), "bytes/json") is None
    assert zt.to_dict(m) == payload(32640)
    m2 = ZorMsg()
    buf = zt.from_dict(m2, payload(32641), "bytes/json")
    assert buf is not None
    assert buf.read(32769)[:1] == b"M"  # the map lives in the returned buffer
    assert zt.to_dict(m2) == payload(32641)


def test_unknown_format_writes_only_the_content_type():
    m = ZorMsg()
    m.body = b"raw"
    assert zt.from_dict(m, {"a": 1}, "xml") is None
    assert (m.content_type, m.body) == ("xml", b"raw")
    assert zt.to_dict(m) == {}


def test_application_json_via_http_content_type():
    m = ZorMsg()
    m.body = b'{"x": [1]}'
    zt.set_http_content_type(m, "application/json")
    assert zt.to_dict(m) == {"x": [1]}


@pytest.mark.parametrize("ct", [None, "sdt"])
def test_received_map_bodies(ct):
    plain = zt.received_map_message({"b": 2, "a": {"n": [1, 2]}}, content_type=ct)
    assert list(zt.to_dict(plain).items()) == [("a", {"n": [1, 2]}), ("b", 2)]
    embedded = zt.received_map_message({"other": 1, "bytes_x": '{"j": 5}'}, content_type=ct)
    assert zt.to_dict(embedded) == {"j": 5}


def test_bytes_json_map_without_bytes_key_raises_decoder_error():
    m = zt.received_map_message({"a": 1}, content_type="bytes/json")
    with pytest.raises(orjson.JSONDecodeError):
        zt.to_dict(m)


def test_map_reader_on_a_raw_body_gives_an_empty_dict():
    m = ZorMsg()
    m.body = b"not a map"
    assert zt.to_dict(m) == {}


def test_msgpack_body_through_to_dict():
    m = ZorMsg()
    m.body = msgpack.packb([1, 2])
    m.content_type = "msgpack"
    assert zt.to_dict(m) == {"content": [1, 2]}


def test_bytes_json_replaces_a_received_map_body():
    m = zt.received_map_message({"bytes": '{"old": 1}'}, content_type="bytes/json")
    assert zt.to_dict(m) == {"old": 1}  # the message now holds the received map
    zt.from_dict(m, {"new": 2}, "bytes/json")
    assert zt.to_dict(m) == {"new": 2}


def test_repeated_calls_do_not_leak_handles():
    start = zt.live_containers()
    m = ZorMsg()
    for i in range(200):
        zt.from_dict(m, {"i": i, "s": "x" * 100}, "bytes/json")
        assert zt.to_dict(m) == {"i": i, "s": "x" * 100}
        assert zt.live_containers() <= start + 1
        zt.from_dict(m, {"i": i}, "json")
        assert zt.to_dict(m) == {"i": i}
    zt.from_dict(m, {"last": 1}, "bytes/json")
    del m
    assert zt.live_containers() == start


def test_bytes_json_failure_is_reported():
    m = zt.adopt_null()  # no library message behind it
    with pytest.raises(RuntimeError, match="bytes/json"):
        zt.from_dict(m, {"a": 1}, "bytes/json")


def test_encoder_error_propagates_after_content_type():
    m = ZorMsg()
    m.body = b"keep"
    with pytest.raises(TypeError):
        zt.from_dict(m, {"s": {1}}, "bytes/json")
    assert (m.content_type, m.body) == ("bytes/json", b"keep")


def test_threads_convert_their_own_messages():
    msgs = [zt.received_map_message({"i": i, "l": list(range(50))}) for i in range(4)]
    errors = []

    def work(m, i):
        try:
            for _ in range(300):
                assert zt.to_dict(m) == {"i": i, "l": list(range(50))}
                zt.from_dict(m, {"i": i}, "bytes/json")
                assert zt.to_dict(m) == {"i": i}
                m.content_type = ""
                zt.from_dict(m, {"i": i, "l": list(range(50))}, "json")
                m.content_type = "json"
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(m, i)) for i, m in enumerate(msgs)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_each_module_binds_its_own_handles_on_first_use():
    # zormsg_testing links the core too: its handles are bound on first use,
    # here after orjson.dumps was replaced by one that returns str.
    code = textwrap.dedent("""
        import orjson, zormsg
        orjson.dumps = lambda d: "not bytes"
        import zormsg_testing as zt
        m = zormsg.ZorMsg()
        m.body = b"keep"
        for fmt, exc in (("json", TypeError), ("bytes/json", RuntimeError)):
            try:
                zt.from_dict(m, {"a": 1}, fmt)
            except exc as e:
                print(fmt, type(e).__name__, e)
        print(m.body)
        """)
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0].startswith("json TypeError")
    assert lines[1] == "bytes/json RuntimeError Unable to extract bytes contents!"
    assert lines[2] == "b'keep'"


@pytest.mark.parametrize("raw", [
    b"not a map",  # wrong container kind
    b"M\x00\x00\x00\x14\x00\x00\x00\x08\x00\x05\x00\xff\x00\x00\x00x\x00\x00\x00",  # field overruns
])
def test_received_garbage_raises_and_leaves_the_gil_usable(raw):
    m = ZorMsg()
    zt.set_map_attachment(m, raw)
    # The walk fails while the GIL is released; the error must still reach us
    # with the GIL held, and other threads must keep running.
    with pytest.raises(RuntimeError, match="cannot read"):
        zt.to_dict(m)
    done = []
    t = threading.Thread(target=lambda: done.append(sum(range(1000))))
    t.start()
    t.join(5)
    assert done == [499500]
