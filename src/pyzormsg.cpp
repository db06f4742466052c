#include "pyzormsg.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "dict2container.h"
#include "map2dict.h"

namespace py = pybind11;

py::handle msgpack_dumps;
py::handle msgpack_loads;
py::handle json_dumps;
py::handle json_loads;

namespace {

// Keyword arguments of msgpack's loads: raw=False, so text comes back as str.
#if PY_VERSION_HEX >= 0x03090000
PyObject* msgpack_loads_kwnames = nullptr;  // ("raw",)
#else
PyObject* msgpack_loads_kwargs = nullptr;  // {"raw": False}
#endif

const std::string kJson("json");
const std::string kMsgpack("msgpack");
const std::string kApplicationJson("application/json");
const std::string kBytesJson("bytes/json");
const std::string kSdt("sdt");

// Field lists of map bodies up to this many entries are kept for the next body.
constexpr size_t kKeptBodyFields = 4096;
thread_local std::vector<MapField> t_bodyFields;

// The small "bytes/json" map is built in a buffer of this size.
constexpr size_t kSmallMapBuffer = 32768;
constexpr size_t kMaxAttachment = 0xFFFFFFFFu;

// Replaces the pending Python error with an ImportError that says what zormsg
// needed, keeping the original error as its cause.
[[noreturn]] void raiseImportError(const std::string& what) {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    std::string text = what;
    if (value != nullptr) {
        if (tb != nullptr) PyException_SetTraceback(value, tb);
        PyObject* s = PyObject_Str(value);
        if (s != nullptr) {
            const char* c = PyUnicode_AsUTF8(s);
            if (c != nullptr) text += std::string(": ") + c;
            Py_DECREF(s);
        }
        PyErr_Clear();
    }
    PyErr_SetString(PyExc_ImportError, text.c_str());
    if (value != nullptr) {
        PyObject *ntype, *nvalue, *ntb;
        PyErr_Fetch(&ntype, &nvalue, &ntb);
        PyErr_NormalizeException(&ntype, &nvalue, &ntb);
        PyException_SetCause(nvalue, value);  // steals value
        value = nullptr;
        PyErr_Restore(ntype, nvalue, ntb);
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    throw py::error_already_set();
}

// A new reference to package.attr, or an ImportError naming what is missing.
PyObject* importAttr(const char* package, const char* attr) {
    PyObject* mod = PyImport_ImportModule(package);
    if (mod == nullptr) raiseImportError(std::string("zormsg needs the Python package '") + package + "'");
    PyObject* fn = PyObject_GetAttrString(mod, attr);
    Py_DECREF(mod);
    if (fn == nullptr)
        raiseImportError(std::string("zormsg needs '") + package + "." + attr + "' from the Python package '" +
                         package + "'");
    return fn;
}

inline PyObject* callOne(py::handle fn, PyObject* arg) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_CallOneArg(fn.ptr(), arg);
#else
    return PyObject_CallFunctionObjArgs(fn.ptr(), arg, nullptr);
#endif
}

inline py::object stealOrThrow(PyObject* obj) {
    if (obj == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(obj);
}

// Encodes `d` with a dumps callable and stores it as the body under
// `content_type`. The message is not touched unless the encoder gave bytes
// that fit the library's 32-bit attachment size.
void storeEncodedBody(ZorMsg& msg, py::handle dumps, const py::dict& d, const char* package,
                      const std::string& content_type) {
    py::object encoded = stealOrThrow(callOne(dumps, d.ptr()));
    PyObject* b = encoded.ptr();
    if (!PyBytes_Check(b))
        throw py::type_error(std::string(package) + ".dumps returned " + Py_TYPE(b)->tp_name + ", expected bytes");
    if (static_cast<uint64_t>(PyBytes_GET_SIZE(b)) > kMaxAttachment)
        throw std::overflow_error("encoded body of " + std::to_string(PyBytes_GET_SIZE(b)) +
                                  " bytes exceeds the message's limit of 4294967295 bytes");
    msg.setContentType(content_type);
    msg.setBinaryAttachment(PyBytes_AS_STRING(b), static_cast<size_t>(PyBytes_GET_SIZE(b)));
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

// The text of the first item whose key begins with "bytes", as getBytesString
// finds it, without copying it twice on the way: a str as it is, bytes decoded
// as UTF-8. Null when there is no such item. `plain` turns false when the
// item's value is neither (or a key is no plain str) and nothing is returned.
py::object firstBytesText(const py::dict& d, bool& plain) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(d.ptr(), &pos, &key, &value)) {
        Py_ssize_t len = 0;
        const char* k = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &len) : nullptr;
        if (k == nullptr) {
            PyErr_Clear();
            plain = false;
            return py::object();
        }
        if (len < 5 || std::memcmp(k, "bytes", 5) != 0) continue;
        if (PyUnicode_Check(value)) return py::reinterpret_borrow<py::object>(value);
        if (PyBytes_Check(value))
            return stealOrThrow(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value), nullptr));
        plain = false;
        return py::object();
    }
    return py::object();
}

}  // namespace

void bindBodyBridge() {
    if (json_loads) return;  // bound last, so all four are set
    PyObject* mdumps = importAttr("msgpack", "dumps");
    PyObject* mloads = nullptr;
    PyObject* jdumps = nullptr;
    try {
        mloads = importAttr("msgpack", "loads");
        jdumps = importAttr("orjson", "dumps");
        PyObject* jloads = importAttr("orjson", "loads");
#if PY_VERSION_HEX >= 0x03090000
        msgpack_loads_kwnames = Py_BuildValue("(s)", "raw");
        if (msgpack_loads_kwnames == nullptr) throw py::error_already_set();
#else
        msgpack_loads_kwargs = Py_BuildValue("{s:O}", "raw", Py_False);
        if (msgpack_loads_kwargs == nullptr) throw py::error_already_set();
#endif
        // The references are kept for the life of the process, on purpose:
        // nothing releases them, not even at interpreter shutdown.
        msgpack_dumps = mdumps;
        msgpack_loads = mloads;
        json_dumps = jdumps;
        json_loads = jloads;
    } catch (...) {
        Py_XDECREF(mdumps);
        Py_XDECREF(mloads);
        Py_XDECREF(jdumps);
        throw;
    }
}

PyZorMsg::PyZorMsg() : msg() {}

PyZorMsg::PyZorMsg(zorClient_opaqueMsg_pt msg_p) : msg(msg_p) {}

PyZorMsg::PyZorMsg(ZorMsg& msg) : msg(std::move(msg)) {}

PyZorMsg::PyZorMsg(std::string topic, const json& j, std::string format)
    : msg(topic, j, format, false, Direct) {}

PyZorMsg::~PyZorMsg() = default;

zorClient_opaqueMsg_pt PyZorMsg::ptr() { return msg.ptr(); }

std::string PyZorMsg::dump() { return msg.dump(); }

void PyZorMsg::setDestination(Destination d) { msg.setDestination(d); }

Destination PyZorMsg::getDestination() { return msg.getDestination(); }

void PyZorMsg::setReplyToDestination(Destination dest) { msg.setReplyToDestination(dest); }

Destination PyZorMsg::getReplyToDestination() { return msg.getReplyToDestination(); }

bool PyZorMsg::isReply() { return msg.isReply(); }

void PyZorMsg::setAsReply(bool reply) { msg.setAsReply(reply); }

bool PyZorMsg::isRequest() { return msg.isRequest(); }

bool PyZorMsg::isP2P() { return msg.isP2P(); }

void PyZorMsg::setDeliveryMode(DeliveryMode mode) { msg.setDeliveryMode(mode); }

DeliveryMode PyZorMsg::getDeliveryMode() { return msg.getDeliveryMode(); }

void PyZorMsg::setElidingEligible(bool elide) { msg.setElidingEligible(elide); }

bool PyZorMsg::isElidingEligible() { return msg.isElidingEligible(); }

void PyZorMsg::setContentType(std::string str) { msg.setContentType(str); }

std::string PyZorMsg::getContentType() { return msg.getContentType(); }

void PyZorMsg::setBinaryAttachment(py::bytes buf) {
    PyObject* b = buf.ptr();
    const Py_ssize_t size = PyBytes_GET_SIZE(b);
    // The library stores a 32-bit length: refuse rather than store a body cut
    // to the low 32 bits of its length.
    if (static_cast<uint64_t>(size) > kMaxAttachment)
        throw std::overflow_error("body of " + std::to_string(size) +
                                  " bytes exceeds the message's limit of 4294967295 bytes");
    msg.setBinaryAttachment(PyBytes_AS_STRING(b), static_cast<size_t>(size));
}

py::bytes PyZorMsg::getBinaryAttachment() {
    return py::reinterpret_steal<py::bytes>(attachmentBytes(msg).release());
}

void PyZorMsg::setCorrlationId(std::string corrid) { msg.setCorrlationId(corrid); }

std::string PyZorMsg::getCorrlationId() { return msg.getCorrlationId(); }

void PyZorMsg::setDeliveryToOne(bool to_one) { msg.setDeliveryToOne(to_one); }

void PyZorMsg::setJsonBody(py::dict d) {
    if (!json_dumps) bindBodyBridge();
    storeEncodedBody(msg, json_dumps, d, "orjson", kJson);
}

py::dict PyZorMsg::getJsonBody() {
    if (!json_loads) bindBodyBridge();
    py::object raw = attachmentBytes(msg);
    return asDict(stealOrThrow(callOne(json_loads, raw.ptr())));
}

void PyZorMsg::setMsgpackBody(py::dict d) {
    if (!msgpack_dumps) bindBodyBridge();
    storeEncodedBody(msg, msgpack_dumps, d, "msgpack", kMsgpack);
}

py::dict PyZorMsg::getMsgpackBody() {
    if (!msgpack_loads) bindBodyBridge();
    py::object raw = attachmentBytes(msg);
#if PY_VERSION_HEX >= 0x03090000
    PyObject* args[2] = {raw.ptr(), Py_False};
    py::object value = stealOrThrow(PyObject_Vectorcall(msgpack_loads.ptr(), args, 1, msgpack_loads_kwnames));
#else
    py::object argTuple = stealOrThrow(PyTuple_Pack(1, raw.ptr()));
    py::object value = stealOrThrow(PyObject_Call(msgpack_loads.ptr(), argTuple.ptr(), msgpack_loads_kwargs));
#endif
    if (PySequence_Check(value.ptr())) {
        py::dict d;
        d["content"] = value;
        return d;
    }
    return asDict(std::move(value));
}

py::dict PyZorMsg::to_dict() {
    if (!json_loads) bindBodyBridge();
    py::dict result;
    // The body's fields, read straight into a list kept per thread (taken
    // out while in use, for Python code that runs meanwhile and converts
    // another body) instead of a table with a node and a name copy per field.
    std::vector<MapField> fields;
    fields.swap(t_bodyFields);
    struct GiveBack {
        std::vector<MapField>& v;
        ~GiveBack() {
            if (v.capacity() <= kKeptBodyFields && v.capacity() > t_bodyFields.capacity()) t_bodyFields.swap(v);
        }
    } giveBack{fields};
    {
        py::gil_scoped_release release;
        const std::string content_type = msg.getContentType();
        const bool bytesJson = content_type == kBytesJson;
        if (bytesJson || content_type.empty() || content_type == kSdt) {
            readMapFields(fields, msg.getBinaryAttachmentMap());
            py::gil_scoped_acquire acquire;
            mapFields2dict(result, fields);
            bool plain = true;
            py::object text = firstBytesText(result, plain);
            if (!plain) {
                // A "bytes" item of another kind, or a key that is no plain
                // str: getBytesString decides (raising its cast error).
                std::tuple<uint64_t, std::string, std::string> found = getBytesString(result);
                if (bytesJson || std::get<0>(found) != 0) {
                    const std::string& t = std::get<2>(found);
                    text = stealOrThrow(PyUnicode_DecodeUTF8(t.data(), static_cast<Py_ssize_t>(t.size()), nullptr));
                }
            } else if (!text && bytesJson) {
                text = stealOrThrow(PyUnicode_FromStringAndSize("", 0));  // no "bytes" item: the empty text
            }
            if (text) result = asDict(stealOrThrow(callOne(json_loads, text.ptr())));
        } else if (content_type == kJson || content_type == kApplicationJson) {
            py::gil_scoped_acquire acquire;
            result = getJsonBody();
        } else if (content_type == kMsgpack) {
            py::gil_scoped_acquire acquire;
            result = getMsgpackBody();
        }
    }
    return result;
}

char* PyZorMsg::from_dict(py::dict d, std::string format) {
    msg.setContentType(format);
    if (format == kJson) {
        setJsonBody(std::move(d));
        return nullptr;
    }
    if (format == kMsgpack) {
        setMsgpackBody(std::move(d));
        return nullptr;
    }
    if (format != kBytesJson) return nullptr;

    if (!json_dumps) bindBodyBridge();
    py::gil_scoped_acquire outer;
    py::object encoded = stealOrThrow(callOne(json_dumps, d.ptr()));
    if (!PyBytes_Check(encoded.ptr())) throw std::runtime_error("Unable to extract bytes contents!");
    const std::string json_str(PyBytes_AS_STRING(encoded.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr())));

    char* heap = nullptr;
    zorClient_returnCode_t rc = ZORCLIENT_FAIL;
    std::string failure;
    {
        py::gil_scoped_release release;
        const size_t buffsize = json_str.size() + 128;
        if (buffsize > kSmallMapBuffer) heap = new char[buffsize];
        // A map the message already holds takes the field as a further entry
        // (no buffer is used then); one that cannot (full, or a received map
        // the library does not let us write) is replaced by a fresh map, so
        // the new JSON is never lost.
        if (msg.container_p != nullptr) rc = msg.addContainerString(heap, buffsize, kBytesJson, json_str);
        if (rc != ZORCLIENT_OK) {
            msg.releaseContainer();
            // The small buffer is handed to the message when the map is built
            // in it, so that it lives exactly as long as the map.
            std::unique_ptr<char[]> small;
            char* buff = heap;
            if (buff == nullptr) {
                small.reset(new char[kSmallMapBuffer]());
                buff = small.get();
            }
            rc = msg.addContainerString(buff, buffsize, kBytesJson, json_str);
            if (small && msg.container_p != nullptr) msg.adoptContainerBuffer(std::move(small));
        }
        if (rc == ZORCLIENT_OK) rc = msg.attachmentContainerMap();
        if (rc != ZORCLIENT_OK) {
            failure = zorClient_getLastErrorInfo()->errorStr;
            // Nothing may keep pointing into a buffer we are about to free.
            msg.releaseContainer();
            delete[] heap;
            heap = nullptr;
        }
    }
    if (rc != ZORCLIENT_OK)
        throw std::runtime_error("from_dict: the message did not take the \"bytes/json\" body: " + failure);
    return heap;
}
