"""Instructions per operation, by shared object, counted with callgrind.

    python bench/callgrind.py [--runs N] CASE [CASE ...]
    python bench/callgrind.py --list

Each case runs N and 2N times inline under valgrind --tool=callgrind (with
PYTHONHASHSEED=0 so start-up costs the same both times); the difference over
N is the cost of one operation, free of start-up. Counts repeat exactly from
run to run, unlike times on a busy machine, so they show whether a change
helped. Needs valgrind and callgrind_annotate. Note that packages that pick
their code by CPU features (orjson) may run other code under valgrind: compare
their counts only with themselves.
"""
import argparse
import collections
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, os.pardir))

SETUP = """
import sys
sys.path[:0] = [%(lib)r, %(bench)r]
import msgpack, orjson, zormsg, zormsg_testing as zt
from zormsg import Destination, ZorMsg
import run
d = run.small_body() if %(size)r == "small" else run.large_body()
jb, pb = orjson.dumps(d), msgpack.packb(d)
m = ZorMsg(); m.json = d
mp = ZorMsg(); mp.msgpack = d
rm = zt.received_map_message(d)
dest = Destination("orders/eu/new")
noop = zt.Noop()
"""

CASES = {
    "empty": "pass",
    "noop.set": "noop.flag = True",
    "noop.get": "noop.flag",
    "json.set": "m.json = d",
    "json.get": "m.json",
    "orjson.dumps": "orjson.dumps(d)",
    "orjson.loads": "orjson.loads(jb)",
    "msgpack.set": "mp.msgpack = d",
    "msgpack.get": "mp.msgpack",
    "msgpack.packb": "msgpack.packb(d)",
    "msgpack.unpackb": "msgpack.unpackb(pb)",
    "to_dict": "zt.to_dict(rm)",
    "dict_to_map": "zt.dict_to_map(d, 1 << 20)",
    "dest.set": "m.dest = dest",
    "is_reply.get": "m.is_reply",
    "compose": "n = ZorMsg(); n.dest = dest; n.reply2 = dest; n.delivery_mode = zormsg.Persistent; "
               "n.json = d; n = None",
}


def count(stmt, size, n, lib):
    """{shared object: instructions} of the whole run.

    --auto=no: without it callgrind_annotate also prints every readable source
    file with its lines' counts, which the sum below would add a second time.
    """
    with tempfile.TemporaryDirectory() as tmp:
        script = os.path.join(tmp, "case.py")
        with open(script, "w") as f:
            f.write(SETUP % dict(lib=lib, bench=HERE, size=size))
            f.write("for _ in range(%d):\n    %s\n" % (n, stmt))
        out = os.path.join(tmp, "cg.out")
        env = dict(os.environ, PYTHONHASHSEED="0")
        subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, sys.executable, script],
                       check=True, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        text = subprocess.run(["callgrind_annotate", "--auto=no", "--inclusive=no", "--threshold=100", out],
                              check=True, capture_output=True, text=True).stdout
    per = collections.Counter()
    for line in text.splitlines():
        m = re.match(r"\s*([\d,]+) \(\s*[\d.]+%\)\s+(.*)$", line)
        if not m or "PROGRAM TOTALS" in line:
            continue
        obj = re.search(r"\[([^\]]*)\]\s*$", m.group(2))
        per[os.path.basename(obj.group(1)) if obj else "?"] += int(m.group(1).replace(",", ""))
    return per


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("cases", nargs="*")
    ap.add_argument("--runs", type=int, default=20000)
    ap.add_argument("--size", choices=("small", "large"), default="small")
    ap.add_argument("--list", action="store_true")
    args = ap.parse_args()
    if args.list or not args.cases:
        for name, stmt in CASES.items():
            print("%-16s %s" % (name, stmt))
        return
    lib = os.path.join(ROOT, "build", "dev", "lib")
    for name in args.cases:
        stmt = CASES.get(name, name)
        a = count(stmt, args.size, args.runs, lib)
        b = count(stmt, args.size, 2 * args.runs, lib)
        per = {k: (b[k] - a[k]) / args.runs for k in set(a) | set(b)}
        print("%-16s %8.0f instructions/op  (%s)" % (name, sum(per.values()), stmt))
        for k, v in sorted(per.items(), key=lambda kv: -kv[1]):
            if abs(v) >= 10:
                print("    %8.0f  %s" % (v, k))


if __name__ == "__main__":
    main()
