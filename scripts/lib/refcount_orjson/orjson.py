"""The two functions of orjson that zormsg binds (dumps, loads), on the
standard library's json, for the reference-count check on a debug CPython
(scripts/stages/refcounts.sh): orjson's own extension is a release build there,
and a release build's reference changes are not counted, so its decoder alone
would seem to leak. Same types in and out: dumps gives compact UTF-8 bytes,
loads takes bytes or str; refusals raise these subclasses of TypeError and
ValueError, as orjson's do."""
import json


class JSONEncodeError(TypeError):
    pass


class JSONDecodeError(json.JSONDecodeError):
    pass


def dumps(obj):
    try:
        return json.dumps(obj, separators=(",", ":"), ensure_ascii=False, allow_nan=False).encode()
    except (TypeError, ValueError) as e:
        raise JSONEncodeError(str(e)) from None


def loads(data):
    if isinstance(data, (bytes, bytearray, memoryview)):
        try:
            data = bytes(data).decode()
        except UnicodeDecodeError as e:
            raise JSONDecodeError(str(e), "", 0) from None
    try:
        return json.loads(data)
    except json.JSONDecodeError as e:
        raise JSONDecodeError(e.msg, e.doc, e.pos) from None
