"""Reference counts on a debug CPython (sys.gettotalrefcount): every operation
of zormsg, and of its native converters through zormsg_testing, run in
rounds; an operation whose count of references grows (or shrinks) with the
number of rounds holds references it should not, or drops ones it does not
own. Run by scripts/stages/refcounts.sh in the unstable root's python3.14d.

    python scripts/lib/refcounts.py [NAME-SUBSTRING ...]

Each operation runs WARM rounds first (caches, lazy imports, the adaptive
interpreter settle), then batches of ROUNDS, 4 x ROUNDS and 4 x ROUNDS rounds,
each between two gc.collect(); it fails when both long batches moved the
total by more than SLACK the same way, which any leak (or release too many)
of one reference in a hundred rounds does. One batch alone can move it by
some: the interpreter's caches (the type attribute cache holds references to
the names it saw) change hands between operations. Operations marked as error paths must
raise, so that the path is the one taken (those marked "maybe" need not). Every property of ZorMsg must have
an entry here (a new one fails until it has).
"""
import gc
import os
import pickle
import sys

import zormsg
import zormsg_testing as zt
from zormsg import DeliveryMode, Destination, DestinationType, ZorMsg

WARM, ROUNDS, SLACK = 50, 200, 20
T = zt.FIELD_TYPES

NESTED = {"a": 1, "b": {"c": [1, 2, {"d": "é"}], "e": None}, "f": 2.5, "g": True, "h": "x" * 300,
          "i": -(2**40), "j": [], "k": {}}
PACKED = {"a": 1, "b": [b"\x00\xff", "é", None, 1.5, True], "c": {"d": 2**40}}
MAP_FIELDS = [("b", T["BOOL"], True), ("u8", T["UINT8"], 200), ("i8", T["INT8"], -5), ("u16", T["UINT16"], 60000),
              ("i16", T["INT16"], -300), ("u32", T["UINT32"], 4000000000), ("i32", T["INT32"], -70000),
              ("u64", T["UINT64"], 2**63), ("i64", T["INT64"], -(2**40)), ("s", T["STRING"], "text"),
              ("raw", T["BYTEARRAY"], b"\x00\x01"), ("f", T["FLOAT"], 1.5), ("d", T["DOUBLE"], 2.25),
              ("none", T["NULL"], None), ("w", T["WCHAR"], 65),
              ("m", T["MAP"], [("x", T["INT32"], 1), ("s", T["STREAM"], [(None, T["STRING"], "in")])]),
              ("l", T["STREAM"], [(None, T["INT8"], 1), (None, T["STRING"], "two"), (None, T["MAP"], [])])]


def deep(levels):
    d = {}
    for _ in range(levels):
        d = {"k": d}
    return d


class Items(dict):
    """A dict subclass: the converters take the protocol's path for it."""


def json_message(body=NESTED):
    m = ZorMsg()
    m.json = body
    return m


def msgpack_message(body=PACKED):
    m = ZorMsg()
    m.msgpack = body
    return m


def raw_message(body, content_type=""):
    m = ZorMsg()
    m.body = body
    if content_type:
        m.content_type = content_type
    return m


def map_message():
    m = ZorMsg()
    zt.set_map_attachment(m, zt.container_bytes(zt.make_map(MAP_FIELDS)))
    return m


def uninitialised():
    return ZorMsg.__new__(ZorMsg)


def failing(what, write):
    """write(m) on a message with a body and a content type, with the
    library's next copy of `what` ("body" or "properties") failing."""
    def run():
        m = raw_message(b"old", "ct")
        zt.fail_copies(what, 1)
        try:
            write(m)
        finally:
            zt.fail_copies(what, 0)
    return run


def viewed(fn):
    """fn(m) with a view of m's body exported."""
    def run():
        m = json_message()
        with m.body_view:
            fn(m)
    return run


# One sample value per writable property; read-only ones are read only.
WRITES = {
    "dest": [Destination("orders/eu"), Destination(b"orders/b", zormsg.Queue), Destination("t", zormsg.TopicTemp),
             Destination("q", zormsg.QueueTemp), Destination("#P2P/v:x", zormsg.Queue)],
    "reply2": [Destination("replies"), Destination(b"r", zormsg.Queue)],
    "is_reply": [True, False],
    "elide": [True, False],
    "delivery_mode": [zormsg.Direct, zormsg.Persistent, zormsg.NonPersistent],
    "content_type": ["text/x", "", "é"],
    "body": [b"", b"\x00raw\xff", b"z" * 70000],
    "json": [NESTED, {}, Items(a=Items(b=1))],
    "msgpack": [PACKED, {}, {1: 2}, Items(a=[Items(b=b"x")])],
}
# Writes that must be refused (an error path each).
BAD_WRITES = {
    "dest": [None, "name", Destination("a\0b")],
    "reply2": [None, Destination("a\0b")],
    "delivery_mode": ["Direct", None],
    "content_type": [None, "a\0b"],
    "body": ["text", None, 5],
    "json": [[1], None, {"s": {1, 2}}, {"k": object()}],
    "msgpack": [[1], None, {"s": {1, 2}}, {"k": object()}],
}
# Writes that may be refused, or not: the encoder decides (too deep for it).
MAY_FAIL_WRITES = {"json": [deep(600)], "msgpack": [deep(600)]}
READ_FROM = {  # messages each property is read from (besides a new one)
    "json": [json_message, lambda: raw_message(b"{}", "json")],
    "msgpack": [msgpack_message, lambda: raw_message(b"\x93\x01\x02\x03", "msgpack")],
    "body": [json_message, lambda: raw_message(b"z" * 70000)],
    "body_view": [json_message],
}
# Reads that must raise.
BAD_READS = {
    "json": [lambda: raw_message(b"not json"), lambda: raw_message(b"[1, 2]"), lambda: raw_message(b"")],
    "msgpack": [lambda: raw_message(b"\xc1"), lambda: msgpack_message({1: 2})],
}


def property_ops():
    ops = []
    props = [n for n, v in vars(ZorMsg).items() if isinstance(v, property)]
    for name in props:
        prop = vars(ZorMsg)[name]
        # A new message's body is no JSON or MessagePack (a refused read, below).
        sources = ([] if name in BAD_READS else [ZorMsg]) + READ_FROM.get(name, [])
        for i, source in enumerate(sources):
            m = source()
            if name == "body_view":
                ops.append((f"read {name} #{i}", lambda m=m: m.body_view.release()))
                ops.append((f"read {name} #{i}, bytes and slice", lambda m=m: (bytes(m.body_view), m.body_view[1:3])))
            else:
                ops.append((f"read {name} #{i}", lambda m=m, name=name: getattr(m, name)))
        for i, source in enumerate(BAD_READS.get(name, [])):
            m = source()
            ops.append((f"read {name}, refused #{i}", lambda m=m, name=name: getattr(m, name), Exception))
        ops.append((f"read {name} of an uninitialised message", lambda name=name: getattr(uninitialised(), name),
                    TypeError))
        ops.append((f"{name}.fget(None)", lambda prop=prop: prop.fget(None), TypeError))
        if prop.fset is None:
            continue
        if name not in WRITES:
            sys.exit(f"refcounts: ZorMsg.{name} has no sample value here (WRITES)")
        m = ZorMsg()
        for i, value in enumerate(WRITES[name]):
            ops.append((f"write {name} #{i}", lambda m=m, name=name, value=value: setattr(m, name, value)))
            ops.append((f"write {name} #{i} to a new message",
                        lambda name=name, value=value: setattr(ZorMsg(), name, value)))
        for i, value in enumerate(BAD_WRITES.get(name, [])):
            ops.append((f"write {name}, refused #{i}", lambda m=m, name=name, value=value: setattr(m, name, value),
                        Exception))
        for i, value in enumerate(MAY_FAIL_WRITES.get(name, [])):
            ops.append((f"write {name}, maybe refused #{i}",
                        lambda m=m, name=name, value=value: setattr(m, name, value), Exception, False))
        value = WRITES[name][0]
        ops.append((f"write {name} of an uninitialised message",
                    lambda name=name, value=value: setattr(uninitialised(), name, value), TypeError))
        # Header writes drop what the library refuses, body writes raise.
        ops.append((f"write {name} of a message without a handle",
                    lambda name=name, value=value: setattr(zt.adopt_null(), name, value), RuntimeError, False))
    return ops


def body_ops():
    ops = []
    writes = {
        "body": lambda m: setattr(m, "body", b"new"),
        "json": lambda m: setattr(m, "json", {"new": 1}),
        "msgpack": lambda m: setattr(m, "msgpack", {"new": 1}),
        "from_dict json": lambda m: zt.from_dict(m, {"new": 1}, "json"),
        "from_dict msgpack": lambda m: zt.from_dict(m, {"new": 1}, "msgpack"),
        "from_dict bytes/json": lambda m: zt.from_dict(m, {"new": 1}, "bytes/json"),
        "move": zt.move_out,
    }
    for name, write in writes.items():
        ops.append((f"{name} while viewed", viewed(write), BufferError))
    for name in ("body", "json", "msgpack"):
        # A raw body write copies no properties (the content type stays).
        for what in ("body",) if name == "body" else ("body", "properties"):
            value = WRITES[name][1] if name == "body" else {"new": 1}
            ops.append((f"write {name}, out of memory for the {what}",
                        failing(what, lambda m, name=name, value=value: setattr(m, name, value)), MemoryError))
        ops.append((f"write {name} without a handle",
                    lambda name=name: setattr(zt.adopt_null(), name, WRITES[name][1]), RuntimeError))

    def view_kept_alive():
        view = json_message().body_view
        bytes(view)
        view.release()

    def view_of_view():
        m = json_message()
        view = memoryview(m.body_view)
        try:
            m.body = b"x"
        finally:
            view.release()

    ops.append(("a view keeps its message alive", view_kept_alive))
    ops.append(("a view of a view blocks writes", view_of_view, BufferError))
    ops.append(("repr of new, json, raw and map messages",
                lambda: [repr(f()) for f in (ZorMsg, json_message, lambda: raw_message(b"\xff\xfe", "ct\xe9"),
                                             map_message)]))
    ops.append(("repr of an uninitialised message", lambda: repr(uninitialised()), TypeError))
    return ops


def dict_form_ops():
    ops = []
    for fmt in ("json", "msgpack", "bytes/json", "xml"):
        ops.append((f"from_dict {fmt}", lambda fmt=fmt: zt.from_dict(ZorMsg(), NESTED, fmt)))
        ops.append((f"from_dict {fmt}, dict subclasses", lambda fmt=fmt: zt.from_dict(ZorMsg(), Items(a=Items(b=[1])),
                                                                                      fmt)))
        ops.append((f"from_dict {fmt} then to_dict", lambda fmt=fmt: zt.to_dict(zt.from_dict(ZorMsg(), NESTED, fmt)
                                                                               or ZorMsg())))
        ops.append((f"from_dict {fmt}, too deep (for some)", lambda fmt=fmt: zt.from_dict(ZorMsg(), deep(600), fmt),
                    Exception, False))
    big = {"k": "x" * 40000}
    ops.append(("from_dict bytes/json into a heap buffer",
                lambda: zt.from_dict(ZorMsg(), big, "bytes/json").read(32769)))
    ops.append(("from_dict bytes/json, a value of no field type",
                lambda: zt.from_dict(ZorMsg(), {"a": object()}, "bytes/json"), Exception))
    ops.append(("from_dict of an uninitialised message", lambda: zt.from_dict(uninitialised(), {}, "json"), TypeError))
    for what in ("body", "properties"):
        for fmt in ("json", "msgpack", "bytes/json"):
            ops.append((f"from_dict {fmt}, out of memory for the {what}",
                        failing(what, lambda m, fmt=fmt: zt.from_dict(m, {"n": 1}, fmt)), MemoryError))
    for name, source in (("json", json_message), ("msgpack", msgpack_message), ("raw", lambda: raw_message(b"r")),
                         ("map", map_message), ("received map", lambda: zt.received_map_message(NESTED)),
                         ("received bytes/json", lambda: zt.received_map_message({"bytes": '{"j": [1]}'},
                                                                                 content_type="bytes/json"))):
        m = source()
        ops.append((f"to_dict of a {name} body", lambda m=m: zt.to_dict(m)))
    bad = zt.received_map_message({"bytes": "not json"}, content_type="bytes/json")
    ops.append(("to_dict, embedded JSON that is not", lambda: zt.to_dict(bad), Exception))
    ops.append(("to_dict of a json body that is not", lambda: zt.to_dict(raw_message(b"{", "json")), Exception))
    ops.append(("to_dict of an uninitialised message", lambda: zt.to_dict(uninitialised()), TypeError))

    class Writes(dict):
        """Writes the body of its message when the converter reads it."""

        def items(self):
            self.msg.body = b"changed"
            return super().items()

    def during_conversion():
        inner = Writes(b=1)
        inner.msg = ZorMsg()
        zt.from_dict(inner.msg, {"a": inner}, "bytes/json")

    ops.append(("a body write from inside a conversion", during_conversion, Exception))
    return ops


def container_ops():
    ops = []
    c = zt.make_map(MAP_FIELDS)
    s = zt.make_stream([(None, T["STRING"], "a"), (None, T["INT64"], 2), (None, T["MAP"], [("x", T["BOOL"], False)])])
    ops.append(("make_map, read_fields", lambda: zt.read_fields(zt.make_map(MAP_FIELDS))))
    ops.append(("map_to_dict", lambda: zt.map_to_dict(c)))
    ops.append(("stream_to_list", lambda: zt.stream_to_list(s)))
    ops.append(("stream_to_dict", lambda: zt.stream_to_dict(s, "name")))
    ops.append(("zor2map_names", lambda: zt.zor2map_names(c, ["s", "none"])))
    ops.append(("dict_to_map then map_to_dict", lambda: zt.map_to_dict(zt.dict_to_map(NESTED))))
    ops.append(("dict_to_map, bytes, big ints, nested lists",
                lambda: zt.dict_to_map({"b": b"\x00x", "i": 2**63 - 1, "n": -(2**63), "l": [[1], {"d": [None]}]})))
    ops.append(("dict_to_map, a full map", lambda: zt.dict_to_map({"k%d" % i: "v" * 50 for i in range(40)}, 256),
                ValueError))
    ops.append(("dict_to_map, too deep", lambda: zt.dict_to_map(deep(600)), RecursionError))
    ops.append(("dict_to_map, NUL in a str value", lambda: zt.dict_to_map({"a": "x\0y"}), ValueError))
    ops.append(("dict_to_map, NUL in a key", lambda: zt.dict_to_map({"a\0": 1}), ValueError))
    ops.append(("dict_to_map, an int too big", lambda: zt.dict_to_map({"a": 2**70}), Exception))
    ops.append(("map_to_dict, a deep map", lambda: zt.map_to_dict(zt.make_deep(600, True)), RecursionError))
    ops.append(("stream_to_list, a deep stream", lambda: zt.stream_to_list(zt.make_deep(600, False)), RecursionError))
    ops.append(("stream_to_list, a string that is not UTF-8",
                lambda: zt.stream_to_list(zt.make_stream([(None, T["STRING"], b"\xff")])), Exception))
    for name, code, value in MAP_FIELDS[:15]:
        ops.append((f"field_to_dict {name}", lambda code=code, value=value: zt.field_to_dict("n", code, value)))
        ops.append((f"field_to_list {name}", lambda code=code, value=value: zt.field_to_list(code, value)))
    ops.append(("get_bytes_string", lambda: zt.get_bytes_string({"bytes": '{"a": 1}'})))
    ops.append(("get_bytes_string of no text", lambda: zt.get_bytes_string({"bytes": 1}), RuntimeError))
    ops.append(("map_from_bytes of a map", lambda: zt.map_from_bytes(zt.container_bytes(c))))
    ops.append(("map_from_bytes of a corrupt map", lambda: zt.map_to_dict(zt.map_from_bytes(b"M\x00\x00\x00\x09xx")),
                Exception))
    return ops


def native_ops():
    ops = []

    def adopted():
        m = zt.adopt_new()
        m.json = {"a": 1}
        return zt.move_out(m).json

    ops.append(("adopt a library message, move it out", adopted))
    ops.append(("a message without a handle", lambda: (zt.adopt_null().body, repr(zt.adopt_null()))))
    ops.append(("a failed allocation", lambda: (zt.fail_allocs(1), ZorMsg().dest)))
    ops.append(("library_dump", lambda: zt.library_dump(json_message())))
    ops.append(("correlation id", lambda: zt.get_correlation_id((lambda m: (zt.set_correlation_id(m, "c1"), m)[1])(
        ZorMsg()))))
    ops.append(("correlation id with a NUL", lambda: zt.set_correlation_id(ZorMsg(), "a\0b"), ValueError))
    ops.append(("deliver to one", lambda: zt.is_deliver_to_one((lambda m: (zt.set_deliver_to_one(m, True), m)[1])(
        ZorMsg()))))
    ops.append(("json_body_message", lambda: zt.native_json_body(zt.json_body_message("t", '{"a": [1, "x"]}',
                                                                                      "json"))))
    ops.append(("json_body_message msgpack", lambda: zt.json_body_message("t", '{"a": 1}', "msgpack").msgpack))
    ops.append(("http content type", lambda: zt.set_http_content_type(ZorMsg(), "application/json")))
    ops.append(("set_map_attachment of an uninitialised message",
                lambda: zt.set_map_attachment(uninitialised(), b""), TypeError))
    return ops


def value_ops():
    ops = []
    d = Destination("orders", zormsg.Queue)
    ops.append(("Destination(str)", lambda: Destination("a/b")))
    ops.append(("Destination(bytes, type)", lambda: Destination(b"a/b", zormsg.QueueTemp)))
    ops.append(("Destination reads", lambda: (d.dest, d.dest_type)))
    ops.append(("Destination writes", lambda: (setattr(d, "dest", "other"), setattr(d, "dest_type", zormsg.Topic))))
    ops.append(("Destination, a name that is not UTF-8", lambda: Destination(b"\xff").dest, UnicodeDecodeError))
    ops.append(("Destination, wrong types", lambda: Destination(5), TypeError))
    ops.append(("Destination pickled", lambda: pickle.dumps(d), Exception))
    ops.append(("Destination uninitialised", lambda: Destination.__new__(Destination).dest, TypeError))
    for enum in (DestinationType, DeliveryMode):
        first = list(enum.__members__.values())[0]
        ops.append((f"{enum.__name__} members", lambda enum=enum: [(v.name, v.value, int(v), hash(v), repr(v), str(v))
                                                                     for v in enum.__members__.values()]))
        ops.append((f"{enum.__name__} by value", lambda enum=enum, first=first: enum(int(first))))
        ops.append((f"{enum.__name__} compared", lambda first=first: (first == first, first != 0, first < 100)))
        ops.append((f"{enum.__name__} pickled", lambda first=first: pickle.loads(pickle.dumps(first))))
    ops.append(("DestinationType, an unknown value", lambda: DestinationType(7), ValueError))
    ops.append(("DestinationType, unpickled unknown value",
                lambda: DestinationType.__new__(DestinationType).__setstate__(9), Exception))
    return ops


class Quiet:
    """The library writes diagnostics to C stdout: sent away while timing."""

    def __enter__(self):
        sys.stdout.flush()
        zt.flush_stdout()
        self.saved = os.dup(1)
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.close(devnull)

    def __exit__(self, *exc):
        zt.flush_stdout()
        os.dup2(self.saved, 1)
        os.close(self.saved)


def rounds(fn, expect, n):
    """Runs fn n times; True when every round raised expect (or none was)."""
    if expect is None:
        for _ in range(n):
            fn()
        return True
    raised = True
    for _ in range(n):
        try:
            fn()
            raised = False
        except expect:
            pass
    return raised


def batch(fn, expect, n):
    gc.collect()
    before = sys.gettotalrefcount()
    rounds(fn, expect, n)
    gc.collect()
    return sys.gettotalrefcount() - before


def main(argv):
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("refcounts: this is not a debug CPython (no sys.gettotalrefcount)")
    with Quiet():
        ops = property_ops() + body_ops() + dict_form_ops() + container_ops() + native_ops() + value_ops()
    if argv:
        ops = [op for op in ops if any(a in op[0] for a in argv)]
    failed = []
    for op in ops:
        name, fn, expect, must_raise = (op + (None, True))[:4]
        with Quiet():
            try:
                if not rounds(fn, expect, WARM) and must_raise:
                    failed.append(f"{name}: did not raise {expect.__name__}, so its error path was not taken")
                    continue
            except Exception as e:
                failed.append(f"{name}: raised {type(e).__name__}: {e}")
                continue
            moved = [batch(fn, expect, n) for n in (ROUNDS, 4 * ROUNDS, 4 * ROUNDS)]
        if min(moved[1:]) > SLACK or max(moved[1:]) < -SLACK:
            per = sum(moved[1:]) / (8 * ROUNDS)
            failed.append(f"{name}: references {moved[0]:+d} over {ROUNDS} rounds, then {moved[1]:+d} and "
                          f"{moved[2]:+d} over {4 * ROUNDS} each ({per:+.2f} a round)")
    print(f"refcounts: {len(ops)} operations, {9 * ROUNDS} rounds each, on {sys.version.split()[0]} "
          f"(debug), orjson from {sys.modules['orjson'].__file__}")
    for line in failed:
        print("refcounts: FAILED " + line)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
