// The body bridge: message bodies encoded and decoded with orjson and msgpack.
#include "body_bridge.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include "internal/body_stack.h"
#include "internal/content_type_write.h"
#include "internal/pyref.h"
#include "internal/refusal.h"
#include "internal/write_checks.h"

namespace py = pybind11;

namespace {

BodyBridge g_bridge;

// Replaces the pending Python error with an ImportError that says what zormsg
// needed and the original error's words, raised from the original.
[[noreturn]] void raiseImportError(const std::string& what) {
    std::string text = what;
    {
        py::error_already_set original;
        py::object words = py::reinterpret_steal<py::object>(PyObject_Str(original.value().ptr()));
        if (words) {
            const char* c = PyUnicode_AsUTF8(words.ptr());
            if (c != nullptr) text += std::string(": ") + c;
        }
        PyErr_Clear();
        original.restore();
    }
    py::raise_from(PyExc_ImportError, text.c_str());
    throw py::error_already_set();
}

// package.attr, or an ImportError naming what is missing.
py::object importAttr(const char* package, const char* attr) {
    PyObject* mod = PyImport_ImportModule(package);
    if (mod == nullptr) raiseImportError(std::string("zormsg needs the Python package '") + package + "'");
    py::object owned = py::reinterpret_steal<py::object>(mod);
    PyObject* fn = PyObject_GetAttrString(mod, attr);
    if (fn == nullptr)
        raiseImportError(std::string("zormsg needs '") + package + "." + attr + "' from the Python package '" +
                         package + "'");
    return py::reinterpret_steal<py::object>(fn);
}

// dumps(d), which must be bytes within the attachment limit.
py::object encodeWith(py::handle dumps, const py::dict& d, const char* package) {
    py::object encoded = stealOrThrow(callOne(dumps, d.ptr()));
    PyObject* b = encoded.ptr();
    if (!PyBytes_Check(b))
        throw py::type_error(std::string(package) + ".dumps returned " + Py_TYPE(b)->tp_name + ", expected bytes");
    if (static_cast<uint64_t>(PyBytes_GET_SIZE(b)) > kMaxAttachmentSize)
        throw std::overflow_error("encoded body of " + std::to_string(PyBytes_GET_SIZE(b)) +
                                  " bytes exceeds the message's limit of " + std::to_string(kMaxAttachmentSize) +
                                  " bytes");
    return encoded;
}

// The decoded value as a dict: itself when it is one, else dict(value).
py::dict asDict(py::object value) {
    if (PyDict_Check(value.ptr())) return py::reinterpret_steal<py::dict>(value.release());
    return py::reinterpret_steal<py::dict>(
        stealOrThrow(callOne(py::handle(reinterpret_cast<PyObject*>(&PyDict_Type)), value.ptr())).release());
}

py::object attachmentBytes(ZorMsg& msg) {
    Bytes view = msg.getBinaryAttachment();
    return stealOrThrow(PyBytes_FromStringAndSize(static_cast<const char*>(view.bytes_p), view.size));
}

// orjson.__version__, or the empty text when it cannot be read.
std::string orjsonVersion() {
    std::string version;
    PyObject* mod = PyImport_ImportModule("orjson");
    PyObject* text = mod != nullptr ? PyObject_GetAttrString(mod, "__version__") : nullptr;
    const char* c = text != nullptr && PyUnicode_Check(text) ? PyUnicode_AsUTF8(text) : nullptr;
    if (c != nullptr) version = c;
    Py_XDECREF(text);
    Py_XDECREF(mod);
    PyErr_Clear();
    return version;
}

}  // namespace

py::handle& msgpack_dumps = g_bridge.msgpack_dumps;
py::handle& msgpack_loads = g_bridge.msgpack_loads;
py::handle& json_dumps = g_bridge.json_dumps;
py::handle& json_loads = g_bridge.json_loads;

BodyBridge& bodyBridge() {
    if (!g_bridge.bound()) g_bridge.bind();
    return g_bridge;
}

void bindBodyBridge() { g_bridge.bind(); }

void BodyBridge::bind() {
    if (bound()) return;
    // Owned until every step succeeded: a failure part-way releases them all.
    py::object mdumps = importAttr("msgpack", "dumps");
    py::object mloads = importAttr("msgpack", "loads");
    py::object jdumps = importAttr("orjson", "dumps");
    py::object jloads = importAttr("orjson", "loads");
#if PY_VERSION_HEX >= 0x03090000
    py::object kw = stealOrThrow(Py_BuildValue("(s)", "raw"));
#else
    py::object kw = stealOrThrow(Py_BuildValue("{s:O}", "raw", Py_False));
#endif
    // Kept for the life of the process: never released, not even at
    // interpreter shutdown.
    msgpack_loads_kw_ = kw.release();
    msgpack_dumps = mdumps.release();
    msgpack_loads = mloads.release();
    json_dumps = jdumps.release();
    json_loads = jloads.release();
    learnJsonDecodeLimit(orjsonVersion().c_str());
}

py::object BodyBridge::encodeJson(const py::dict& d) {
    checkEncodeRoom(kJsonEncodeStack, d.ptr());
    return encodeWith(json_dumps, d, "orjson");
}

py::object BodyBridge::encodeMsgpack(const py::dict& d) {
    checkEncodeRoom(kMsgpackEncodeStack, d.ptr());
    return encodeWith(msgpack_dumps, d, "msgpack");
}

void BodyBridge::writeBody(ZorMsg& msg, py::handle encoded, const char* content_type, const ContentTypeUndo* undo,
                           const char* who) {
    PyObject* b = encoded.ptr();
    const ContentTypeWrite announced(msg, content_type, who, undo);
    if (msg.setBinaryAttachment(PyBytes_AS_STRING(b), static_cast<size_t>(PyBytes_GET_SIZE(b))) != ZORCLIENT_OK ||
        announced.commit() != ZORCLIENT_OK)
        announced.refused();
}

void BodyBridge::storeJson(ZorMsg& msg, const py::dict& d, const ContentTypeUndo* undo, const char* who) {
    py::object encoded = encodeJson(d);
    checkBodyStillWritable(msg, undo);  // the encoder ran Python code
    writeBody(msg, encoded, ctype::kJson, undo, who);
}

void BodyBridge::storeMsgpack(ZorMsg& msg, const py::dict& d, const ContentTypeUndo* undo, const char* who) {
    py::object encoded = encodeMsgpack(d);
    checkBodyStillWritable(msg, undo);  // the encoder ran Python code
    writeBody(msg, encoded, ctype::kMsgpack, undo, who);
}

py::dict BodyBridge::loadJson(ZorMsg& msg) { return decodeJson(attachmentBytes(msg)); }

py::dict BodyBridge::decodeJson(py::handle data) {
    checkJsonDecodeRoom(data.ptr());
    return asDict(stealOrThrow(callOne(json_loads, data.ptr())));
}

py::dict BodyBridge::loadJsonText(py::handle text) { return decodeJson(text); }

py::object BodyBridge::dumpJson(const py::dict& d) {
    checkEncodeRoom(kJsonEncodeStack, d.ptr());
    return stealOrThrow(callOne(json_dumps, d.ptr()));
}

py::dict BodyBridge::loadMsgpack(ZorMsg& msg) { return decodeMsgpack(attachmentBytes(msg)); }

py::dict BodyBridge::decodeMsgpack(py::handle data) {
    checkMsgpackDecodeRoom();
#if PY_VERSION_HEX >= 0x03090000
    PyObject* args[2] = {data.ptr(), Py_False};
    py::object value = stealOrThrow(PyObject_Vectorcall(msgpack_loads.ptr(), args, 1, msgpack_loads_kw_.ptr()));
#else
    py::object argTuple = stealOrThrow(PyTuple_Pack(1, data.ptr()));
    py::object value = stealOrThrow(PyObject_Call(msgpack_loads.ptr(), argTuple.ptr(), msgpack_loads_kw_.ptr()));
#endif
    if (PySequence_Check(value.ptr())) {
        py::dict d;
        d["content"] = value;
        return d;
    }
    return asDict(std::move(value));
}
