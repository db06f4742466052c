"""Soak: compose, read and drop many messages through every property and body
path, and show that nothing stays behind.

    python bench/soak.py [--count N] [--every K]

Checks that the library's live message and container counts come back to
their start values, and samples the resident set size (/proc/self/statm)
every K messages after a warm-up of K messages. Exits 1 when a count does not
come back or the resident set grows by more than --max-growth MiB after the
warm-up.

Then it measures the memory a message holds while it is kept (a queue or a
batch): --held messages of each kind, all kept alive, and the growth of the
resident set per message: an empty message, then the same about 50 bytes of
JSON written with `json =` and with from_dict "bytes/json", each shown beyond
the empty message. Exits 1 when the "bytes/json" one holds more than
--max-held bytes beyond it.
"""
import argparse
import gc
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD_LIB = os.path.join(HERE, os.pardir, "build", "dev", "lib")
if os.path.isdir(BUILD_LIB):
    sys.path.insert(0, os.path.abspath(BUILD_LIB))

import orjson  # noqa: E402

import zormsg  # noqa: E402
import zormsg_testing as zt  # noqa: E402
from zormsg import Destination, ZorMsg  # noqa: E402

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_mib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE / (1 << 20)


SMALL = {"id": 42, "name": "order-7781", "price": 19.99, "tags": ["a", "bb"], "meta": {"src": "web", "v": 2}}
BIG = {"k%03d" % i: {"i": i, "s": "text %d" % i, "l": [i, i + 1.5]} for i in range(200)}  # > 32 KiB as JSON text
DESTS = [Destination("orders/eu/new"), Destination("#P2P/v:abc", zormsg.Queue),
         Destination("a/much/longer/destination/name/than/fits/inline/%d" % 7, zormsg.TopicTemp)]
MODES = [zormsg.Direct, zormsg.Persistent, zormsg.NonPersistent]
PROPERTIES = [(n, p.fset is not None) for n, p in vars(ZorMsg).items() if isinstance(p, property)]


def one(i):
    """One message through every property and body path; returns nothing."""
    m = ZorMsg()
    m.dest = DESTS[i % 3]
    m.reply2 = DESTS[(i + 1) % 3]
    m.is_reply = bool(i & 1)
    m.delivery_mode = MODES[i % 3]
    m.elide = bool(i & 2)
    m.content_type = "text/plain"
    m.dest, m.reply2, m.is_reply, m.is_request, m.is_p2p, m.delivery_mode, m.content_type, m.elide
    repr(m)
    m.body = b"x" * (i % 300)
    m.body
    m.json = SMALL
    m.json
    m.msgpack = SMALL
    m.msgpack
    for name, writable in PROPERTIES:  # every property, a new one too: read, and written back
        try:
            value = getattr(m, name)
            if writable:
                setattr(m, name, value)
        except ValueError:  # a body of another format does not decode
            pass
    value = None  # a body view read above is released
    zt.from_dict(m, SMALL, "json")
    zt.to_dict(m)
    zt.from_dict(m, SMALL, "msgpack")
    zt.to_dict(m)
    zt.from_dict(m, SMALL, "bytes/json")
    zt.from_dict(m, SMALL, "bytes/json")  # a further entry in the same map
    zt.to_dict(m)
    if i % 64 == 0:
        # The heap-buffer case and the map converters, less often: they are slow.
        big = ZorMsg()
        zt.from_dict(big, BIG, "bytes/json")
        zt.to_dict(big)
        rm = zt.received_map_message(SMALL, size=4096)
        zt.to_dict(rm)
        zt.map_to_dict(zt.dict_to_map(SMALL, 4096))


HELD_BODY = {"id": 42, "name": "order-7781", "qty": 3, "ok": True}  # about 50 bytes of JSON


def held_per_message(count):
    """Bytes of resident set per kept message: empty, json =, from_dict bytes/json.
    Everything stays alive until all three are measured, so no phase reuses
    memory another one gave back."""
    def empty(m):
        pass

    def json_set(m):
        m.json = HELD_BODY

    def bytes_json(m):
        zt.from_dict(m, HELD_BODY, "bytes/json")

    kept, result = [], []
    for write in (empty, json_set, bytes_json):
        batch = []
        gc.collect()
        start = rss_mib()
        for _ in range(count):
            m = ZorMsg()
            write(m)
            batch.append(m)
        result.append((rss_mib() - start) * (1 << 20) / count)
        kept.append(batch)
    return result


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--count", type=int, default=1_000_000)
    ap.add_argument("--every", type=int, default=100_000, help="RSS sample interval (and warm-up)")
    ap.add_argument("--max-growth", type=float, default=4.0, help="MiB allowed after the warm-up")
    ap.add_argument("--held", type=int, default=20_000, help="messages kept per kind for the held-memory figure")
    ap.add_argument("--max-held", type=float, default=1024.0,
                    help="bytes a kept bytes/json message may hold beyond an empty one")
    args = ap.parse_args()
    every = max(1, min(args.every, args.count // 2 or 1))

    gc.collect()
    msgs0, conts0 = zt.live_msgs(), zt.live_containers()
    t0 = time.perf_counter()
    print("count %d, RSS sampled every %d after a warm-up of %d" % (args.count, every, every))
    print("%10s %10s %9s %9s %8s" % ("messages", "RSS MiB", "live msgs", "live cont", "seconds"))
    print("%10d %10.1f %9d %9d %8.1f" % (0, rss_mib(), msgs0, conts0, 0.0))
    samples = []
    for i in range(1, args.count + 1):
        one(i)
        if i % every == 0:
            gc.collect()
            rss = rss_mib()
            if i > every:
                samples.append(rss)
            else:
                base = rss
            print("%10d %10.1f %9d %9d %8.1f" % (i, rss, zt.live_msgs(), zt.live_containers(),
                                                 time.perf_counter() - t0), flush=True)
    gc.collect()
    msgs1, conts1 = zt.live_msgs(), zt.live_containers()
    growth = (max(samples) - base) if samples else 0.0
    ok = msgs1 == msgs0 and conts1 == conts0 and growth <= args.max_growth
    print("live messages %d -> %d, live containers %d -> %d" % (msgs0, msgs1, conts0, conts1))
    print("RSS after warm-up %.1f MiB, highest later sample %.1f MiB: growth %.2f MiB (allowed %.1f)" % (
        base, max(samples) if samples else base, growth, args.max_growth))
    print("%.1f us per message" % ((time.perf_counter() - t0) * 1e6 / args.count))
    if args.held > 0:
        empty, json_set, bytes_json = held_per_message(args.held)
        print("held per kept message (%d each): empty message %.0f B; %d-byte JSON body: json = +%.0f B, "
              "from_dict bytes/json +%.0f B (allowed %.0f)" % (args.held, empty, len(orjson.dumps(HELD_BODY)),
                                                              json_set - empty, bytes_json - empty, args.max_held))
        ok = ok and bytes_json - empty <= args.max_held
    print("OK" if ok else "FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
