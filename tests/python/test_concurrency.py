"""Threads, each with its own messages, through the operations that release
the GIL (to_dict / from_dict) and the ones that do not: results stay right
and every library handle is given back."""
import subprocess
import sys
import textwrap
import threading

import orjson
import pytest

import zormsg_testing as zt
from zormsg import Destination, ZorMsg

THREADS = 6
ROUNDS = 60


@pytest.fixture(autouse=True)
def busy_switching():
    # Switch threads often, so the released regions really interleave.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(old)


def run_threads(work):
    barrier = threading.Barrier(THREADS)
    errors = []

    def body(i):
        try:
            barrier.wait()
            work(i)
        except BaseException as e:  # reported below, with the thread's number
            errors.append((i, e))

    threads = [threading.Thread(target=body, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def handles():
    return zt.live_msgs(), zt.live_containers()


@pytest.mark.standin
def test_messages_made_and_dropped_in_threads_give_every_handle_back():
    start = handles()
    big = {"blob": "x" * 40000}  # beyond the small buffer: the heap path

    def work(i):
        for r in range(ROUNDS):
            d = {"t": i, "r": r, "l": list(range(r % 7)), "m": {"k": "v" * r}}
            received = zt.received_map_message(d)
            assert zt.to_dict(received) == d
            m = ZorMsg()
            m.dest = Destination(f"t/{i}/{r}")
            fmt = ("json", "msgpack", "bytes/json")[r % 3]
            zt.from_dict(m, d, fmt)
            assert zt.to_dict(m) == d and m.dest.dest == f"t/{i}/{r}"
            if r % 10 == 0:
                zt.from_dict(m, big, "bytes/json")
                assert zt.to_dict(m) == big
            zt.from_dict(received, d, "bytes/json")  # replaces the received map
            assert zt.to_dict(received) == d

    run_threads(work)
    assert handles() == start


@pytest.mark.standin
def test_failing_calls_in_threads_leave_nothing_behind():
    start = handles()

    def work(i):
        keep = ZorMsg()
        keep.json = {"keep": i}
        for r in range(ROUNDS):
            bad_json = zt.received_map_message({"bytes": "not json"}, content_type="bytes/json")
            with pytest.raises(orjson.JSONDecodeError):
                zt.to_dict(bad_json)
            with pytest.raises(TypeError):
                zt.from_dict(keep, {"s": {r}}, "bytes/json")
            with pytest.raises(UnicodeDecodeError):
                zt.to_dict(zt.received_map_message({"a": r, "s": b"\xff"}))
            with pytest.raises(UnicodeDecodeError):
                zt.to_dict(zt.received_map_message({"i": i, b"\xff": r}, content_type="sdt"))
            keep.content_type = "json"
            assert keep.json == {"keep": i}

    run_threads(work)
    assert handles() == start


@pytest.mark.standin
def test_first_use_of_the_body_bridge_from_many_threads():
    # The test module binds its own encoder handles on first use: here every
    # thread is first at once, in a fresh interpreter.
    code = textwrap.dedent(f"""
        import sys, threading
        sys.setswitchinterval(1e-6)
        import zormsg  # registers ZorMsg; its own encoder handles are separate
        import zormsg_testing as zt
        start = (zt.live_msgs(), zt.live_containers())
        barrier = threading.Barrier({THREADS})
        out = []
        def work(i):
            barrier.wait()
            m = zt.adopt_new()
            zt.from_dict(m, {{"i": i}}, ("json", "msgpack", "bytes/json")[i % 3])
            out.append(zt.to_dict(m) == {{"i": i}})
            del m
        ts = [threading.Thread(target=work, args=(i,)) for i in range({THREADS})]
        [t.start() for t in ts]
        [t.join() for t in ts]
        assert out == [True] * {THREADS}, out
        assert (zt.live_msgs(), zt.live_containers()) == start
        print("ok")
        """)
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"
