"""Map bodies read by to_dict match the converters' field table, and user
properties and bodies set again on one message read back exactly."""
import pytest

import zormsg_testing as zt
from zormsg import ZorMsg


@pytest.mark.standin
def test_map_body_reads_like_the_field_table_with_repeated_and_unordered_names():
    # to_dict reads map bodies without building the field table: same result.
    c = zt.make_map([("b", 8, 1), ("a", 8, 2), ("b", 10, "three"), ("bytes", 10, None)])
    m = ZorMsg()
    zt.set_map_attachment(m, zt.container_bytes(c))
    assert list(zt.map_to_dict(c)) == ["a", "b", "bytes"]
    with pytest.raises(RuntimeError, match="Unable to cast"):
        zt.get_bytes_string(zt.map_to_dict(c))
    assert zt.to_dict(m) == zt.map_to_dict(c)  # a "bytes" item that is no text: the map is the body
    c2 = zt.make_map([("z", 8, 1), ("y", 10, "s"), ("z", 13, 2.5)])
    zt.set_map_attachment(m, zt.container_bytes(c2))
    got = zt.to_dict(m)
    assert got == zt.map_to_dict(c2) == {"y": "s", "z": 2.5} and list(got) == ["y", "z"]


def test_one_message_set_again_and_again_reads_back_each_time():
    m = ZorMsg()
    for i, body in enumerate([{"a": 1}, {"b": "x" * 5000}, {"c": [1, 2]}, {}, {"d": 2.5}]):
        m.json = body
        assert (m.content_type, m.json) == ("json", body)
        m.msgpack = body
        assert (m.content_type, m.msgpack) == ("msgpack", body)
        m.content_type = "t%d" % i
        m.body = b"z" * (i * 1000)
        assert (m.content_type, m.body) == ("t%d" % i, b"z" * (i * 1000))
    zt.from_dict(m, {"k": "v"}, "bytes/json")
    assert zt.to_dict(m) == {"k": "v"}
