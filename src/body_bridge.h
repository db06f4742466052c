// The body bridge: encodes and decodes message bodies with the Python
// packages orjson ("json") and msgpack ("msgpack"). Needs the GIL.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "core/zormsg.h"

// The dumps and loads callables of both packages. Each module that links the
// core has its own bridge; it is bound once, under the GIL (at import of
// zormsg, or on first use in any other module), and keeps one strong
// reference to each callable for the life of the process, on purpose: nothing
// may touch Python objects after the interpreter has gone.
class BodyBridge {
public:
    pybind11::handle json_dumps;
    pybind11::handle json_loads;
    pybind11::handle msgpack_dumps;
    pybind11::handle msgpack_loads;

    // Binds the callables unless bound already. When a package or attribute
    // is missing it raises ImportError naming it (thrown as
    // pybind11::error_already_set) and binds nothing.
    void bind();
    bool bound() const { return static_cast<bool>(json_loads); }  // bound last

    // Encodes `d` with the package's dumps and stores it as the body under
    // `content_type`. The message is not touched unless the encoder gave
    // bytes (TypeError otherwise) that fit the attachment limit
    // (OverflowError otherwise), and unless, once the encoder (Python code)
    // has run, no body view is exported (BufferError) and no conversion
    // holds the message (RuntimeError); a refusal of these puts back what
    // `undo` holds. When the library refuses the content type or the body,
    // both stay as they were (as `undo` holds them, when given) and it raises
    // MemoryError (out of memory) or RuntimeError, naming `who` and the
    // library's error text.
    void storeJson(ZorMsg& msg, const pybind11::dict& d, const ContentTypeUndo* undo = nullptr,
                   const char* who = "ZorMsg");
    void storeMsgpack(ZorMsg& msg, const pybind11::dict& d, const ContentTypeUndo* undo = nullptr,
                      const char* who = "ZorMsg");
    // The two steps of a store, for a caller that checks the message in
    // between itself: the encoded bytes (runs Python code; TypeError and
    // OverflowError as above), then the write (runs none).
    pybind11::object encodeJson(const pybind11::dict& d);
    pybind11::object encodeMsgpack(const pybind11::dict& d);
    void writeBody(ZorMsg& msg, pybind11::handle encoded, const char* content_type, const ContentTypeUndo* undo,
                   const char* who);
    // The attachment decoded, as a dict: orjson.loads(body), or
    // msgpack.loads(body, raw=False) with a sequence as {"content": value};
    // any other value goes through dict().
    pybind11::dict loadJson(ZorMsg& msg);
    pybind11::dict loadMsgpack(ZorMsg& msg);
    // The same from `data`: bytes, or a view of the attachment.
    pybind11::dict decodeJson(pybind11::handle data);
    pybind11::dict decodeMsgpack(pybind11::handle data);
    // orjson.loads(text) as a dict, for JSON embedded in a map body.
    pybind11::dict loadJsonText(pybind11::handle text);
    // orjson.dumps(d), whatever it returned.
    pybind11::object dumpJson(const pybind11::dict& d);

private:
    // msgpack.loads' keyword arguments: raw=False, so text comes back as str.
    pybind11::handle msgpack_loads_kw_;  // ("raw",) for vectorcall, else {"raw": False}
};

// This module's bridge, bound on first use.
BodyBridge& bodyBridge();

// Binds this module's bridge (see BodyBridge::bind).
void bindBodyBridge();

// The bridge's callables under their own names, for native code that calls
// them directly; null until the bridge is bound.
extern pybind11::handle& msgpack_dumps;
extern pybind11::handle& msgpack_loads;
extern pybind11::handle& json_dumps;
extern pybind11::handle& json_loads;
