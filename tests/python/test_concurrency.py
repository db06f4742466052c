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


# Forks a child while a helper thread holds `held` inside a conversion (its
# hook waits), either from the main thread or from inside a conversion of
# `own` (the hook forks). The child checks what it inherited and exits.
FORK_WHILE_CONVERTING = textwrap.dedent("""
    import os, sys, threading, time, traceback, warnings
    # 3.12 warns on fork with threads running: that is what is tested here.
    warnings.filterwarnings("ignore", message=".*fork", category=DeprecationWarning)
    import zormsg_testing as zt
    from zormsg import ZorMsg

    FORKER = sys.argv[1]

    def child_exits(check):
        try:
            check()
        except BaseException:
            traceback.print_exc()
            os._exit(1)
        os._exit(0)

    def reap(pid):
        end = time.monotonic() + 30
        while time.monotonic() < end:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                return os.WEXITSTATUS(status) if os.WIFEXITED(status) else "signal"
            time.sleep(0.01)
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        return "hung"

    inside, release = threading.Event(), threading.Event()

    class Waits(dict):
        def items(self):
            inside.set()
            release.wait(30)
            return dict.items(self)

    held = ZorMsg()
    held.json = {"old": 1}
    helper = threading.Thread(target=zt.from_dict, args=(held, Waits(new=1), "msgpack"))
    helper.start()
    inside.wait(30)

    def held_is_usable():  # its conversion ended with its thread
        held.body = b'{"c": 1}'
        held.content_type = "json"
        assert held.json == {"c": 1}
        zt.from_dict(held, {"c": 2}, "bytes/json")
        assert zt.to_dict(held) == {"c": 2}

    own = ZorMsg()
    pids, refused = [], []

    class Forks(dict):
        def items(self):
            pids.append(os.fork())
            if pids[0] == 0:
                try:  # this thread is still converting `own` in the child
                    own.body = b"x"
                except RuntimeError as e:
                    refused.append(str(e))
            return dict.items(self)

    if FORKER == "main thread":
        pids.append(os.fork())
        if pids[0] == 0:
            child_exits(held_is_usable)
    else:
        zt.from_dict(own, Forks(mine=1), "msgpack")
        if pids[0] == 0:
            def check():
                assert refused and "being converted" in refused[0], refused
                assert zt.to_dict(own) == {"mine": 1}
                held_is_usable()
            child_exits(check)
        assert zt.to_dict(own) == {"mine": 1}
    release.set()
    helper.join()
    assert zt.to_dict(held) == {"new": 1}
    print("child", reap(pids[0]))
    """)


@pytest.mark.parametrize("forker", ["main thread", "converting thread"])
def test_fork_ends_the_conversions_of_threads_the_child_does_not_have(forker):
    r = subprocess.run([sys.executable, "-c", FORK_WHILE_CONVERTING, forker],
                       capture_output=True, text=True, timeout=90)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "child 0", r.stdout + r.stderr
