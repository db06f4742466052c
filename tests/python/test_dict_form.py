"""The dictionary form of a message (to_dict / from_dict), reached through zormsg_testing."""
import gc
import json
import os
import re
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


@pytest.mark.standin
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


@pytest.mark.parametrize("d", [
    {"bytesReceived": 1234, "symbol": "ACME"},
    {"bytes": 2.5, "bytes_z": b'{"j": 1}'},  # only the first "bytes" item counts
    {"bytes_m": {"k": 1}, "x": [1]},
    {"bytes_l": [1, 2]},
])
@pytest.mark.parametrize("ct", [None, "sdt", "bytes/json"])
def test_first_bytes_item_that_is_no_text_is_no_embedded_json(d, ct):
    m = zt.received_map_message(d, content_type=ct)
    if ct == "bytes/json":  # as with no "bytes" item at all
        with pytest.raises(orjson.JSONDecodeError):
            zt.to_dict(m)
    else:
        assert zt.to_dict(m) == dict(sorted(d.items()))


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


@pytest.mark.standin
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


@pytest.mark.standin
@pytest.mark.parametrize("fmt", ["json", "msgpack", "bytes/json"])
@pytest.mark.parametrize("refused", ["body", "properties"])
@pytest.mark.parametrize("start", [None, "before"])
def test_refused_from_dict_raises_and_changes_nothing(fmt, refused, start):
    m = ZorMsg()
    m.body = b"keep"
    if start is not None:
        m.content_type = start
    before = (m.content_type, m.body)
    live = zt.live_containers()
    zt.fail_copies(refused, 1)
    try:
        with pytest.raises(MemoryError, match=f'"{fmt}" body: out of memory'):
            zt.from_dict(m, {"a": 1}, fmt)
    finally:
        zt.fail_copies(refused, 0)
    assert (m.content_type, m.body) == before
    assert zt.live_containers() == live  # no map left behind
    assert zt.from_dict(m, {"a": 1}, fmt) is None and zt.to_dict(m) == {"a": 1}


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer keeps freed memory in quarantine: the resident set says nothing here")
def test_small_bytes_json_bodies_hold_memory_in_proportion_to_their_map():
    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    def held_per_message(write, kept):  # kept alive, so no phase reuses another's memory
        gc.collect()
        start = rss()
        for _ in range(2000):
            m = ZorMsg()
            write(m)
            kept.append(m)
        return (rss() - start) / 2000

    d = {"id": 42, "name": "order-7781", "qty": 3, "ok": True}  # about 50 bytes of JSON
    kept = []
    as_json = held_per_message(lambda m: setattr(m, "json", d), kept)
    as_map = held_per_message(lambda m: zt.from_dict(m, d, "bytes/json"), kept)
    assert zt.to_dict(kept[-1]) == d
    # Beside the same body as JSON text (the library's share is the same).
    assert as_map - as_json < 2048, (as_map, as_json)


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
@pytest.mark.standin
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


def _set_body(value):
    return lambda m: setattr(m, "body", value)


@pytest.mark.parametrize("replace", [
    _set_body(b"raw"), _set_body(b""),
    lambda m: setattr(m, "json", {"j": 1}), lambda m: setattr(m, "msgpack", {"p": 1}),
], ids=["body", "empty-body", "json", "msgpack"])
@pytest.mark.parametrize("ct", ["", "sdt", "bytes/json"])
@pytest.mark.parametrize("read_first", [False, True])
def test_no_stale_map_is_read_after_the_body_changes(replace, ct, read_first):
    m = ZorMsg()
    zt.from_dict(m, {"old": "secret"}, "bytes/json")
    if read_first:
        assert zt.to_dict(m) == {"old": "secret"}
    replace(m)
    m.content_type = ct
    if ct == "bytes/json":
        with pytest.raises(orjson.JSONDecodeError):
            zt.to_dict(m)
    else:
        assert zt.to_dict(m) == {}
    assert not zt.has_container(m)


@pytest.mark.parametrize("first, second", [(10, 10), (40000, 10), (10, 40000), (40000, 40000)])
def test_each_bytes_json_write_carries_only_its_own_payload(first, second):
    m = ZorMsg()
    buf1 = zt.from_dict(m, {"a": "FIRST" * (first // 5)}, "bytes/json")
    buf2 = zt.from_dict(m, {"b": "x" * second}, "bytes/json")
    assert b"FIRST" not in m.body
    assert zt.to_dict(m) == {"b": "x" * second}
    # A returned buffer is the one the message's map lives in now; none
    # means the message owns that memory.
    assert (buf1 is not None, buf2 is not None) == (first > 32640, second > 32640)
    if buf2 is not None:
        assert b"x" * second in buf2.read(second + zt.MAP_FIELD_SLACK)
    m.content_type = "sdt"
    assert zt.to_dict(m) == {"b": "x" * second}


BIG_MAP = {"k%04d" % i: {"n": i, "l": [i, "v" * 8]} for i in range(2000)}

BODY_CHANGES = {
    "body": lambda m: setattr(m, "body", b"new"),
    "content_type": lambda m: setattr(m, "content_type", "json"),
    "json": lambda m: setattr(m, "json", {"new": 1}),
    "msgpack": lambda m: setattr(m, "msgpack", {"new": 1}),
    "from_dict": lambda m: zt.from_dict(m, {"new": 1}, "bytes/json"),
    "received_body": lambda m: zt.set_map_attachment(m, b"M\x00\x00\x00\x08\x00\x00\x00"),
    "to_dict": zt.to_dict,
    "move": zt.move_out,
}


# Python code the conversion itself runs, on every interpreter: the JSON
# decoder (a wrapper installed before zormsg binds it) drops the last reference
# to an object whose finalizer changes the message. The cyclic collector cannot
# drive this: from 3.12 it runs only between bytecodes, never in a native call.
FINALIZER_PROBE = textwrap.dedent("""
    import json, sys, types
    import orjson
    wrapper = types.ModuleType("orjson")
    wrapper.__dict__.update(orjson.__dict__)
    pending = []
    def loads(data):
        pending.clear()  # a finalizer runs here, inside to_dict
        return orjson.loads(data)
    wrapper.loads = loads
    sys.modules["orjson"] = wrapper
    sys.path.insert(0, sys.argv[1])
    import test_dict_form as t
    refusals = {}
    class Trap:
        def __init__(self, change, m):
            self.change, self.m = change, m
        def __del__(self):
            try:
                t.BODY_CHANGES[self.change](self.m)
                refusals[self.change] = "allowed"
            except RuntimeError as e:
                refusals[self.change] = str(e)
    outcomes = {}
    for change in t.BODY_CHANGES:
        m = t.ZorMsg()
        t.zt.from_dict(m, t.BIG_MAP, "bytes/json")
        pending.append(Trap(change, m))
        got = t.zt.to_dict(m)
        outcomes[change] = [refusals.get(change), got == t.BIG_MAP, t.zt.to_dict(m) == t.BIG_MAP]
    print(json.dumps(outcomes))
    """)


@pytest.fixture(scope="module")
def finalizer_outcomes():
    r = subprocess.run([sys.executable, "-c", FINALIZER_PROBE, os.path.dirname(__file__)],
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr[-2000:]
    return json.loads(r.stdout.splitlines()[-1])


@pytest.mark.parametrize("change", [
    pytest.param(c, marks=pytest.mark.standin) if c == "received_body" else c for c in BODY_CHANGES])
def test_finalizer_cannot_change_or_reconvert_a_message_being_converted(change, finalizer_outcomes):
    refusal, unchanged, usable = finalizer_outcomes[change]
    assert refusal is not None and "being converted" in refusal, refusal
    assert unchanged  # the body as it was when the conversion started
    assert usable  # the message converts again afterwards


def body_changes(names):
    """A received body needs the stand-in's test controls."""
    return [pytest.param(n, marks=pytest.mark.standin) if n == "received_body" else n for n in names]


@pytest.mark.parametrize("change", body_changes(["body", "received_body", "to_dict", "from_dict"]))
def test_threads_never_see_a_conversion_mixed_with_a_new_body(change):
    m = zt.received_map_message(BIG_MAP, size=1 << 22)
    action = BODY_CHANGES[change]
    results, refused = [], []
    stop = threading.Event()

    def convert():
        while not stop.is_set():
            try:
                results.append(zt.to_dict(m))
            except RuntimeError as e:  # the other side's conversion was running
                refused.append(str(e))

    t = threading.Thread(target=convert)
    t.start()
    try:
        for _ in range(200):
            try:
                action(m)
            except RuntimeError as e:
                refused.append(str(e))
    finally:
        stop.set()
        t.join()
    # Each result is a whole body: the first one, or what a change left.
    allowed = ({}, BIG_MAP, {"new": 1})
    assert all(r in allowed for r in results)
    assert all("being converted" in r for r in refused)


@pytest.mark.parametrize("op", ["to_dict", "from_dict"])
def test_daemon_thread_inside_a_conversion_does_not_abort_the_exit(op):
    code = textwrap.dedent(f"""
        import threading, time
        import zormsg_testing as zt
        from zormsg import ZorMsg
        body = {{"k%05d" % i: [i, "v" * 16] for i in range(20000)}}
        m = zt.received_map_message(body, size=1 << 23)
        started = threading.Event()
        def loop():
            while True:
                started.set()
                if "{op}" == "to_dict":
                    zt.to_dict(m)
                else:
                    zt.from_dict(ZorMsg(), body, "bytes/json")
        for _ in range(2):  # one converting, one waiting for the GIL as the exit begins
            threading.Thread(target=loop, daemon=True).start()
        started.wait()
        time.sleep(0.05)
        raise SystemExit(3)
        """)
    for _ in range(3):
        r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        assert r.returncode == 3, r.stderr[-2000:]


@pytest.mark.parametrize("kib", [128, 256])
@pytest.mark.parametrize("depth", [499, 501])
@pytest.mark.parametrize("op", ["to_dict", "json", "msgpack", "bytes/json"])
def test_small_thread_stacks_never_crash(op, depth, kib):
    from test_convert_write import run_in_small_stack  # the child process that runs it

    got = run_in_small_stack("list", depth, kib, op)
    if op == "to_dict":
        assert got == ("converted" if depth <= 500 else
                       "RecursionError: map2dict: containers nested deeper than 500 levels at a stream element") \
            or re.match(r"RecursionError: map2dict: containers nested \d+ levels deep at a stream element need more "
                        r"stack than this thread has left$", got), got
    elif op == "msgpack":
        assert got == "converted" or got.startswith("RecursionError: msgpack: a body nested deeper than"), got
    else:  # orjson's own limit
        assert got == "TypeError: Recursion limit reached"
