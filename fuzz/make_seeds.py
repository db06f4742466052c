"""Writes the seed corpus of the fuzz targets (run with the dev build on
PYTHONPATH: PYTHONPATH=build/dev/lib .venv/bin/python fuzz/make_seeds.py)."""
import hashlib
import pathlib
import struct

import zormsg_testing as zt

HERE = pathlib.Path(__file__).parent / "corpus"

MAPS = [
    {},
    {"a": 1, "b": -2.5, "s": "text", "t": True},
    {"bytes": '{"id": 7, "tags": ["x", "y"]}'},
    {"bytes_raw": b"\x00\xff", "n": [1, "two", 3.0, [4]], "m": {"k": {"deep": [True]}}},
    {"big": 2**63 - 1, "neg": -2**63, "empty": "", "list": []},
]


def text(s):
    b = s.encode() if isinstance(s, str) else s
    return bytes([len(b)]) + b


def dict_seed(items):
    # The byte code fuzz_dict_roundtrip decodes: count, then per item a key
    # kind (3 = str, 0 = "bytes" + text, 1 = bytes) and a value.
    return bytes([len(items)]) + b"".join(items)


def item(kind, key, value):
    return bytes([kind]) + text(key) + value


def INT(n):
    return b"\x00" + struct.pack("<q", n)


def FLOAT(f):
    return b"\x02" + struct.pack("<d", f)


def STR(s):
    return b"\x03" + text(s)


def BYTES(s):
    return b"\x04" + text(s)


def LIST(*vs):
    return b"\x07" + bytes([len(vs)]) + b"".join(vs)


def DICT(*its):
    return b"\x09" + dict_seed(its)


DICTS = [
    dict_seed([item(3, "a", INT(1)), item(3, "f", FLOAT(0.5)), item(3, "s", STR("x"))]),
    dict_seed([item(0, "", STR('{"a": 1}')), item(1, "k", BYTES(b"\x00\x01"))]),
    dict_seed([item(3, "l", LIST(INT(-1), STR("y"), DICT(item(3, "z", b"\x05")))), item(3, "n", b"\x06")]),
    dict_seed([item(3, "d", DICT(item(3, "d", DICT(item(3, "d", LIST(FLOAT(float("inf"))))))))]),
]


def write(target, blobs):
    d = HERE / target
    d.mkdir(parents=True, exist_ok=True)
    for blob in blobs:
        (d / hashlib.sha1(blob).hexdigest()).write_bytes(blob)


write("fuzz_map_attachment", [zt.container_bytes(zt.dict_to_map(m)) for m in MAPS])
write("fuzz_dict_roundtrip", DICTS)
