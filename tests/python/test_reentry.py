"""Python code run inside a member, doing what ordinary code does meanwhile.

Members run Python code where they encode (a dict subclass's items(), an Enum's
value), iterate a sequence subclass, allocate (a finalizer the collector runs),
and around all of these another thread or greenlet may run. The harness plants
such a hook in each of those places and lets it take a body view, start a
conversion, write the body or drop the message, here or in another thread or
greenlet that stays suspended inside its own member. Each member must then
either refuse with its documented error and change nothing, or complete with
a correct result; every view reads what it saw when it was taken.
"""
import enum
import gc
import threading

import pytest

import zormsg_testing as zt
from zormsg import ZorMsg

VIEWED = (BufferError, "while a view of it (body_view) is exported")
CONVERTING = (RuntimeError, "being converted")


class Hooks:
    """The Python code the carriers run: `act` while a member is running.
    Kept in a dict whose keys exist: setting one allocates nothing, so no
    collection starts between planting a finalizer and calling the member."""

    state = {"act": None, "calling": False}

    @classmethod
    def run(cls):
        act = cls.state["act"]
        if cls.state["calling"] and act is not None:
            cls.state["act"] = None  # once per member call
            act()


class HookDict(dict):
    def items(self):
        Hooks.run()
        return super().items()


class HookList(list):
    def __iter__(self):
        Hooks.run()
        return list.__iter__(self)


class HookEnum(enum.Enum):
    A = 7

    @property
    def value(self):
        Hooks.run()
        return 7


class Garbage:
    """Cyclic garbage whose finalizer runs the hook from the first collection."""

    def __init__(self):
        self.me = self

    def __del__(self):
        Hooks.run()


# Each carrier: the payload that carries the hook, and the same as plain data.
CARRIERS = {
    "dict subclass": lambda: (HookDict(k=HookDict(v=[1, 2])), {"k": {"v": [1, 2]}}),
    "sequence subclass": lambda: ({"k": HookList([1, {"v": 2}])}, {"k": [1, {"v": 2}]}),
    "enum value": lambda: ({"k": [1, HookEnum.A]}, {"k": [1, 7]}),
    "finalizer": lambda: ({"k": [1, 2], "d": {"x": "y"}}, {"k": [1, 2], "d": {"x": "y"}}),
}


def read_back(m, fmt):
    return {"json": lambda: m.json, "msgpack": lambda: m.msgpack, "bytes/json": lambda: zt.to_dict(m)}[fmt]()


# The points where members run Python code: the member (called directly, so
# nothing of the test's runs between planting a finalizer and the member) and
# its arguments, which carriers reach Python code there, and the body format
# it writes (None: it writes no body).
POINTS = {
    "json =": (setattr, lambda m, p: (m, "json", p), ["enum value"], "json"),
    "msgpack =": (setattr, lambda m, p: (m, "msgpack", p), ["dict subclass", "finalizer"], "msgpack"),
    "from_dict json": (zt.unbound_from_dict, lambda m, p: (m, p, "json"), ["enum value"], "json"),
    "from_dict msgpack": (zt.unbound_from_dict, lambda m, p: (m, p, "msgpack"), ["dict subclass", "finalizer"],
                          "msgpack"),
    "from_dict bytes/json": (zt.unbound_from_dict, lambda m, p: (m, p, "bytes/json"), ["enum value"], "bytes/json"),
    "dict2container": (zt.unbound_dict_to_map, lambda m, p: (p,), ["sequence subclass"], None),
    "to_dict (map body)": (zt.unbound_to_dict, lambda m, p: (m,), ["finalizer"], None),
}


class Other:
    """Where an action runs: here, or in a thread or greenlet that may stay
    suspended inside a member of its own until finish()."""

    def __init__(self, where, greenlet=None):
        self.where = where
        self.greenlet = greenlet
        self.outcomes = []
        self.suspended = False
        self._entered, self._release = threading.Event(), threading.Event()
        self._thread = self._greenlet = None

    def pause(self):
        """Called by the other side's own payload inside its member."""
        if self.where == "thread":
            self.suspended = True
            self._entered.set()
            self._release.wait(10)
        elif self.where == "greenlet":
            self.suspended = True
            self._greenlet.parent.switch()
        self.suspended = False

    def payload(self, **d):
        """A dict whose encoding pauses the other side inside its member."""
        other = self

        class Pausing(dict):
            def items(self):
                other.pause()
                return super().items()

        return Pausing(d)

    def run(self, action):
        def recorded():
            try:
                self.outcomes.append(("value", action(self)))
            except Exception as e:  # noqa: BLE001 - the outcome is checked later
                self.outcomes.append((type(e), str(e)))

        if self.where == "here":
            recorded()
        elif self.where == "thread":
            self._thread = threading.Thread(target=lambda: (recorded(), self._entered.set()))
            self._thread.start()
            assert self._entered.wait(10)
        else:
            self._greenlet = self.greenlet.greenlet(recorded)
            self._greenlet.switch()

    def finish(self):
        if self._thread is not None:
            self._release.set()
            self._thread.join(10)
            assert not self._thread.is_alive()
        if self._greenlet is not None:
            while not self._greenlet.dead:
                self._greenlet.switch()


class State:
    def __init__(self, m):
        self.holder = [m]
        self.views = []


# What the hook does to the message; in another thread or greenlet the
# conversion and the write stay suspended inside their own member.
def take_view(other, state):
    m = state.holder[0]
    view = m.body_view
    state.views.append((view, bytes(m.body)))


def start_conversion(other, state):
    m = state.holder[0]
    if other.where == "here":
        return zt.unbound_to_dict(m)
    return zt.unbound_from_dict(m, other.payload(c=1), "msgpack")


def write_body(other, state):
    m = state.holder[0]
    if other.where == "here":
        m.body = b"written"
    else:
        m.msgpack = other.payload(w=1)


def drop_message(other, state):
    state.holder.clear()


ACTIONS = {"take a view": take_view, "start a conversion": start_conversion, "write the body": write_body,
           "drop the message": drop_message}
HOOKS = ["dict subclass", "sequence subclass", "enum value", "finalizer", "thread switch", "greenlet switch"]


def cases():
    for point, (_, _, carriers, _) in POINTS.items():
        for hook in HOOKS:
            if hook in carriers or hook.endswith("switch"):
                yield point, hook, hook if hook in carriers else carriers[0]


def prepared_message():
    m = ZorMsg()
    zt.from_dict(m, {"old": "body"}, "bytes/json")  # a map body: what to_dict reads with the GIL released
    return m


@pytest.mark.parametrize("action", ACTIONS)
@pytest.mark.parametrize("point, hook, carrier", list(cases()))
def test_python_code_inside_a_member_cannot_break_it(point, hook, carrier, action, request):
    member, arguments, _, fmt = POINTS[point]
    where = {"thread switch": "thread", "greenlet switch": "greenlet"}.get(hook, "here")
    other = Other(where, request.getfixturevalue("greenlet") if where == "greenlet" else None)
    m = prepared_message()
    state = State(m)
    before = (m.content_type, bytes(m.body), zt.to_dict(m))
    seen = {}

    def act():
        content_type = m.content_type
        other.run(lambda o: ACTIONS[action](o, state))
        seen["body"] = bytes(m.body)
        seen["content type"] = m.content_type if m.content_type != content_type else before[0]

    payload, plain = CARRIERS[carrier]()
    args = arguments(m, payload)
    thresholds = gc.get_threshold()
    if carrier == "finalizer":
        gc.collect()
        gc.disable()
        Garbage()
        gc.enable()
        gc.set_threshold(1)
    error = None
    Hooks.state["act"] = act
    Hooks.state["calling"] = True
    try:
        value = member(*args)
    except Exception as e:  # noqa: BLE001 - the outcome is checked below
        error = e
    finally:
        Hooks.state["calling"] = False  # before anything allocates: a finalizer now runs outside the member
        Hooks.state["act"] = None
        gc.set_threshold(*thresholds)
    result = ("value", value) if error is None else (type(error), str(error))
    assert "body" in seen, "the hook did not run inside the member"

    if result[0] != "value":
        assert any(result[0] is cls and text in result[1] for cls, text in (VIEWED, CONVERTING)), result
        # Refused: what the member changed is put back; what the action changed stays.
        assert (m.content_type, bytes(m.body)) == (seen["content type"], seen["body"])
    elif fmt is not None:
        assert not other.suspended or action != "start a conversion", "wrote while another conversion held it"
        assert m.content_type == fmt and read_back(m, fmt) == plain
    elif point == "dict2container":
        assert zt.map_to_dict(result[1]) == plain
    else:
        assert result[1] == before[2]  # to_dict read the body it started with

    other.finish()
    for outcome in other.outcomes:
        assert outcome[0] == "value" or any(outcome[0] is cls and text in outcome[1]
                                            for cls, text in (VIEWED, CONVERTING)), outcome
    for view, saw in state.views:
        assert bytes(view) == saw  # never over freed or replaced memory
    assert repr(m) and m.body is not None
