#include "pyzormsg.h"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
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

// ---------------------------------------------------------------------------
// One conversion at a time per message.
// ---------------------------------------------------------------------------

// Marks the message as being converted for the life of the guard. A
// conversion holds pointers into the body while Python code runs (any
// allocation may run a finalizer or switch threads), so a second conversion
// or a body change meanwhile would have it read freed or foreign memory.
class Converting {
public:
    explicit Converting(ZorMsg& msg) : msg_(msg) {
        if (msg.converting)
            throw std::runtime_error(
                "ZorMsg: the message is already being converted (to_dict/from_dict); one conversion at a time");
        msg.converting = true;
    }
    ~Converting() { msg_.converting = false; }
    Converting(const Converting&) = delete;
    Converting& operator=(const Converting&) = delete;

private:
    ZorMsg& msg_;
};

// For setters that replace the body or the content type.
void checkBodyFree(const ZorMsg& msg) {
    if (msg.converting)
        throw std::runtime_error("ZorMsg: the body cannot change while the message is being converted (to_dict/from_dict)");
}

void checkNoNul(const std::string& text, const char* what) {
    if (hasNul(text)) throw py::value_error(std::string("embedded null character in ") + what);
}

// ---------------------------------------------------------------------------
// Releasing the GIL around library work.
// ---------------------------------------------------------------------------

inline bool interpreterFinalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Releases the GIL until reacquire() or the end of the scope. Once the
// interpreter is shutting down, taking the GIL back makes CPython end the
// thread by unwinding its stack; met in a noexcept destructor (as in
// pybind11's guard) that unwinding calls std::terminate and the process dies
// with SIGABRT instead of the main thread's status. So a thread that finds the
// interpreter going away parks for good instead: the process exits around it.
class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    ~GilRelease() noexcept(false) { reacquire(); }
    void reacquire() {
        if (state_ == nullptr) return;
        PyThreadState* state = state_;
        state_ = nullptr;
        if (interpreterFinalizing()) {
            for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
        }
        PyEval_RestoreThread(state);
    }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

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
    if (static_cast<uint64_t>(PyBytes_GET_SIZE(b)) > kMaxAttachmentSize)
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
    // Owned until every step succeeded: a failure part-way releases them all.
    py::object mdumps = py::reinterpret_steal<py::object>(importAttr("msgpack", "dumps"));
    py::object mloads = py::reinterpret_steal<py::object>(importAttr("msgpack", "loads"));
    py::object jdumps = py::reinterpret_steal<py::object>(importAttr("orjson", "dumps"));
    py::object jloads = py::reinterpret_steal<py::object>(importAttr("orjson", "loads"));
#if PY_VERSION_HEX >= 0x03090000
    py::object kw = stealOrThrow(Py_BuildValue("(s)", "raw"));
    msgpack_loads_kwnames = kw.release().ptr();
#else
    py::object kw = stealOrThrow(Py_BuildValue("{s:O}", "raw", Py_False));
    msgpack_loads_kwargs = kw.release().ptr();
#endif
    // The references are kept for the life of the process, on purpose:
    // nothing releases them, not even at interpreter shutdown.
    msgpack_dumps = mdumps.release();
    msgpack_loads = mloads.release();
    json_dumps = jdumps.release();
    json_loads = jloads.release();
}

PyZorMsg::PyZorMsg() : msg() {}

PyZorMsg::PyZorMsg(zorClient_opaqueMsg_pt msg_p) : msg(msg_p) {}

namespace {
ZorMsg&& idle(ZorMsg& msg) {
    if (msg.converting) throw std::runtime_error("ZorMsg: a message cannot move while it is being converted");
    return std::move(msg);
}
}  // namespace

PyZorMsg::PyZorMsg(ZorMsg& msg) : msg(idle(msg)) {}

PyZorMsg::PyZorMsg(std::string topic, const json& j, std::string format)
    : msg(topic, j, format, false, Direct) {}

PyZorMsg::~PyZorMsg() = default;

zorClient_opaqueMsg_pt PyZorMsg::ptr() { return msg.ptr(); }

std::string PyZorMsg::dump() { return msg.dump(); }

py::str PyZorMsg::repr() {
    const std::string text = msg.dump();
    return py::reinterpret_steal<py::str>(
        stealOrThrow(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace"))
            .release());
}

void PyZorMsg::setDestination(Destination d) {
    checkNoNul(d.dest, "dest");
    msg.setDestination(d);
}

Destination PyZorMsg::getDestination() { return msg.getDestination(); }

void PyZorMsg::setReplyToDestination(Destination dest) {
    checkNoNul(dest.dest, "reply2");
    msg.setReplyToDestination(dest);
}

Destination PyZorMsg::getReplyToDestination() { return msg.getReplyToDestination(); }

bool PyZorMsg::isReply() { return msg.isReply(); }

void PyZorMsg::setAsReply(bool reply) { msg.setAsReply(reply); }

bool PyZorMsg::isRequest() { return msg.isRequest(); }

bool PyZorMsg::isP2P() { return msg.isP2P(); }

void PyZorMsg::setDeliveryMode(DeliveryMode mode) { msg.setDeliveryMode(mode); }

DeliveryMode PyZorMsg::getDeliveryMode() { return msg.getDeliveryMode(); }

void PyZorMsg::setElidingEligible(bool elide) { msg.setElidingEligible(elide); }

bool PyZorMsg::isElidingEligible() { return msg.isElidingEligible(); }

void PyZorMsg::setContentType(std::string str) {
    checkBodyFree(msg);
    checkNoNul(str, "content_type");
    msg.setContentType(str);
}

std::string PyZorMsg::getContentType() { return msg.getContentType(); }

void PyZorMsg::setBinaryAttachment(py::bytes buf) {
    checkBodyFree(msg);
    PyObject* b = buf.ptr();
    const Py_ssize_t size = PyBytes_GET_SIZE(b);
    // The library stores a 32-bit length: refuse rather than store a body cut
    // to the low 32 bits of its length.
    if (static_cast<uint64_t>(size) > kMaxAttachmentSize)
        throw std::overflow_error("body of " + std::to_string(size) +
                                  " bytes exceeds the message's limit of 4294967295 bytes");
    msg.setBinaryAttachment(PyBytes_AS_STRING(b), static_cast<size_t>(size));
}

py::bytes PyZorMsg::getBinaryAttachment() {
    return py::reinterpret_steal<py::bytes>(attachmentBytes(msg).release());
}

void PyZorMsg::setCorrlationId(std::string corrid) {
    checkNoNul(corrid, "correlation id");
    msg.setCorrlationId(corrid);
}

std::string PyZorMsg::getCorrlationId() { return msg.getCorrlationId(); }

void PyZorMsg::setDeliveryToOne(bool to_one) { msg.setDeliveryToOne(to_one); }

void PyZorMsg::setJsonBody(py::dict d) {
    checkBodyFree(msg);
    if (!json_dumps) bindBodyBridge();
    storeEncodedBody(msg, json_dumps, d, "orjson", kJson);
}

py::dict PyZorMsg::getJsonBody() {
    if (!json_loads) bindBodyBridge();
    py::object raw = attachmentBytes(msg);
    return asDict(stealOrThrow(callOne(json_loads, raw.ptr())));
}

void PyZorMsg::setMsgpackBody(py::dict d) {
    checkBodyFree(msg);
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
    Converting converting(msg);
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

    GilRelease nogil;
    const std::string content_type = msg.getContentType();
    const bool bytesJson = content_type == kBytesJson;
    if (bytesJson || content_type.empty() || content_type == kSdt) {
        readMapFields(fields, msg.getBinaryAttachmentMap());
        nogil.reacquire();
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
        nogil.reacquire();
        result = getJsonBody();
    } else if (content_type == kMsgpack) {
        nogil.reacquire();
        result = getMsgpackBody();
    }
    return result;
}

char* PyZorMsg::from_dict(py::dict d, std::string format) {
    Converting converting(msg);
    checkNoNul(format, "format");
    msg.setContentType(format);
    if (format == kJson) {
        if (!json_dumps) bindBodyBridge();
        storeEncodedBody(msg, json_dumps, d, "orjson", kJson);
        return nullptr;
    }
    if (format == kMsgpack) {
        if (!msgpack_dumps) bindBodyBridge();
        storeEncodedBody(msg, msgpack_dumps, d, "msgpack", kMsgpack);
        return nullptr;
    }
    if (format != kBytesJson) return nullptr;

    if (!json_dumps) bindBodyBridge();
    py::object encoded = stealOrThrow(callOne(json_dumps, d.ptr()));
    if (!PyBytes_Check(encoded.ptr())) throw std::runtime_error("Unable to extract bytes contents!");
    const std::string json_str(PyBytes_AS_STRING(encoded.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr())));

    // Every write builds a fresh map holding only the new field: adding to a
    // map kept from an earlier write would carry that payload on the wire.
    msg.releaseContainer();
    const size_t buffsize = json_str.size() + 128;
    std::unique_ptr<char[]> heap;
    std::unique_ptr<char[]> small;
    zorClient_returnCode_t rc;
    {
        // Only the map is built without the GIL: it lives in a buffer of its
        // own, so Python threads reading this message meanwhile touch nothing
        // that changes. The message itself changes below, with the GIL held.
        GilRelease nogil;
        char* buff;
        if (buffsize > kSmallMapBuffer) {
            heap.reset(new char[buffsize]);
            buff = heap.get();
        } else {
            small.reset(new char[kSmallMapBuffer]());
            buff = small.get();
        }
        rc = msg.addContainerString(buff, buffsize, kBytesJson, json_str);
    }
    // The small buffer goes to the message, to live exactly as long as the map.
    if (small && msg.container_p != nullptr) msg.adoptContainerBuffer(std::move(small));
    if (rc == ZORCLIENT_OK) rc = msg.attachmentContainerMap();
    if (rc != ZORCLIENT_OK) {
        const std::string failure = zorClient_getLastErrorInfo()->errorStr;
        // Nothing may keep pointing into a buffer about to be freed.
        msg.releaseContainer();
        throw std::runtime_error("from_dict: the message did not take the \"bytes/json\" body: " + failure);
    }
    return heap.release();
}
