"""The whole Python surface of an installed zormsg, briefly: run by
scripts/stages/wheel.sh with the interpreter of each wheel, outside the checkout.
Exits non-zero, naming the check, when something is not as it should be."""
import os
import sys

import msgpack
import orjson

import zormsg
from zormsg import DeliveryMode, Destination, DestinationType, ZorMsg


def check(ok, what):
    if not ok:
        sys.exit("surface: " + what)


site = os.path.dirname(zormsg.__file__)
check(site.endswith("site-packages"), "zormsg is not the installed one: " + zormsg.__file__)
check(zormsg.__doc__ == "\n\n  ", "module docstring")
names = [n for n in vars(zormsg) if not n.startswith("__")]
check(names == ["DestinationType", "Null", "Topic", "Queue", "TopicTemp", "QueueTemp", "DeliveryMode",
                "Direct", "Persistent", "NonPersistent", "Destination", "ZorMsg"], f"names: {names}")
check({k: int(v) for k, v in DestinationType.__members__.items()}
      == {"Null": -1, "Topic": 0, "Queue": 1, "TopicTemp": 2, "QueueTemp": 3}, "DestinationType")
check({k: int(v) for k, v in DeliveryMode.__members__.items()}
      == {"Direct": 0, "Persistent": 16, "NonPersistent": 32}, "DeliveryMode")

m = ZorMsg()
check(m.dest.dest == "" and m.dest.dest_type == zormsg.Null, "a new message has no destination")
check((m.is_request, m.is_reply, m.is_p2p, m.elide) == (False, False, False, False), "a new message's flags")
for prop, kind in (("dest", zormsg.Topic), ("reply2", zormsg.Queue)):
    setattr(m, prop, Destination(b"orders/" + prop.encode(), kind))
    got = getattr(m, prop)
    check((got.dest, got.dest_type) == ("orders/" + prop, kind), prop)
check(m.is_request, "is_request with a reply-to")
m.dest = Destination("#P2P/v:x", zormsg.Queue)
check(m.is_p2p, "is_p2p")
for prop in ("is_reply", "elide"):
    for value in (True, False):
        setattr(m, prop, value)
        check(getattr(m, prop) is value, prop)
for mode in (zormsg.Persistent, zormsg.NonPersistent, zormsg.Direct):
    m.delivery_mode = mode
    check(m.delivery_mode == mode, f"delivery_mode {mode}")
m.content_type = "text/x"
check(m.content_type == "text/x", "content_type")
m.body = b"\x00raw\xff"
check(m.body == b"\x00raw\xff", "body")

body = {"id": 42, "items": ["apple", "pear"], "total": 3.5, "none": None, "nested": {"ok": True}}
m.json = body
check((m.content_type, m.json, m.body) == ("json", body, orjson.dumps(body)), "json round trip")
m.msgpack = body
check((m.content_type, m.msgpack, m.body) == ("msgpack", body, msgpack.packb(body)), "msgpack round trip")
check("orders/reply2" in repr(m), "repr shows the message: " + repr(m))
for prop, value in (("body", "text"), ("dest", None), ("json", [1])):
    try:
        setattr(m, prop, value)
    except TypeError:
        continue
    check(False, prop + " took a " + type(value).__name__)
# Every property the installed classes have, a new one too, reads on a
# message with a JSON body (the other body format may not decode).
m.json = body
for cls, obj in ((ZorMsg, m), (Destination, Destination("d"))):
    for name in [n for n, p in vars(cls).items() if isinstance(p, property)]:
        try:
            getattr(obj, name)
        except ValueError:
            check(name == "msgpack", f"{cls.__name__}.{name} does not read")
print("surface: ok, zormsg from " + site)
