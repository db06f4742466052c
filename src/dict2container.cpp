#include "dict2container.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <vector>

#include "utils.h"

namespace py = pybind11;

namespace {

// ---------------------------------------------------------------------------
// Working areas of nested containers.
//
// A nested map or stream is built in a buffer of its own and then copied into
// its parent. The buffers live on the heap, one per nesting level in use on
// this thread, and are reused from call to call. They start at 8192 (map) or
// 65536 (stream) bytes; a nested container that does not fit is rebuilt from
// its Python value in a buffer twice as large, so no field is ever dropped.
// ---------------------------------------------------------------------------
constexpr size_t kMapArea = 8192;
constexpr size_t kStreamArea = 65536;
// Field lengths are 32-bit in the library: no container can be larger.
constexpr size_t kMaxArea = 0xFFFFFFFFu;
// Kept for the next call; deeper or larger areas are released after each
// top-level call so one odd message does not pin memory for good.
constexpr size_t kKeptLevels = 16;
constexpr size_t kKeptAreaBytes = size_t(4) << 20;
// Room for a field's own framing and name beyond its value, generously.
constexpr size_t kFieldSlack = 256;

struct Area {
    std::unique_ptr<char[]> buf;
    size_t size = 0;
};

struct AreaPool {
    std::vector<Area> levels;
    size_t inUse = 0;     // levels held by nested builds running now
    int calls = 0;        // public entry points running now (re-entry from Python code)
    bool oversized = false;
};

thread_local AreaPool t_pool;

// Holds the next free level for one nested build; levels are taken and given
// back in stack order, so a conversion re-entered from Python code just uses
// the levels above.
class AreaLease {
public:
    // The pool's address is fixed per thread: looked up once per lease, as a
    // thread_local costs a call each time in a shared object.
    explicit AreaLease(size_t minSize) : pool_(&t_pool), idx_(pool_->inUse) {
        if (idx_ >= pool_->levels.size()) pool_->levels.emplace_back();
        ++pool_->inUse;
        if (idx_ >= kKeptLevels) pool_->oversized = true;
        if (pool_->levels[idx_].size < minSize) resize(minSize);
    }
    ~AreaLease() { --pool_->inUse; }
    AreaLease(const AreaLease&) = delete;
    AreaLease& operator=(const AreaLease&) = delete;

    // Not cached by callers: deeper leases may move the level table.
    char* buf() const { return pool_->levels[idx_].buf.get(); }
    size_t size() const { return pool_->levels[idx_].size; }

    // Contents are dropped: the container in it is rebuilt from scratch.
    // Uninitialised on purpose; the library needs no zeroed area.
    void resize(size_t n) {
        Area& a = pool_->levels[idx_];
        a.buf.reset();
        a.buf.reset(new char[n]);
        a.size = n;
        if (n > kKeptAreaBytes) pool_->oversized = true;
    }

private:
    AreaPool* pool_;
    size_t idx_;
};

// Marks a public entry point; the last one to leave trims the pool.
class CallScope {
public:
    CallScope() { ++t_pool.calls; }
    ~CallScope() {
        if (--t_pool.calls == 0 && t_pool.oversized) trim();
    }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

private:
    static void trim() {
        if (t_pool.inUse != 0) return;
        if (t_pool.levels.size() > kKeptLevels) t_pool.levels.resize(kKeptLevels);
        for (Area& a : t_pool.levels) {
            if (a.size > kKeptAreaBytes) {
                a.buf.reset();
                a.size = 0;
            }
        }
        t_pool.oversized = false;
    }
};

// Closes a nested container on every way out, also when an exception leaves
// the build half-done, so no open handle points into a reused area.
class ContainerCloser {
public:
    explicit ContainerCloser(zorClient_opaqueContainer_pt& c) : c_(c) {}
    ~ContainerCloser() { close(); }
    void close() {
        if (c_ != nullptr) zorClient_container_closeMapStream(&c_);
        c_ = nullptr;
    }
    ContainerCloser(const ContainerCloser&) = delete;
    ContainerCloser& operator=(const ContainerCloser&) = delete;

private:
    zorClient_opaqueContainer_pt& c_;
};

// ---------------------------------------------------------------------------
// Python values
// ---------------------------------------------------------------------------

// For messages: the name quoted, cut to a readable length, and with bytes
// that are not UTF-8 escaped so the text can become a Python str.
std::string fieldLabel(const char* key) {
    if (key == nullptr) return "a sequence element";
    constexpr size_t kShown = 80;
    size_t n = std::strlen(key);
    std::string name(key, std::min(n, kShown));
    PyObject* probe = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr);
    if (probe != nullptr) {
        Py_DECREF(probe);
    } else {
        PyErr_Clear();
        std::string escaped;
        static const char hex[] = "0123456789abcdef";
        for (unsigned char ch : name) {
            if (ch < 0x80) {
                escaped += static_cast<char>(ch);
            } else {
                escaped += "\\x";
                escaped += hex[ch >> 4];
                escaped += hex[ch & 15];
            }
        }
        name.swap(escaped);
    }
    return "field '" + name + (n > kShown ? "...'" : "'");
}

[[noreturn]] void raiseTooDeep(const char* topKey) {
    std::string msg = "dict2container: values nested deeper than " + std::to_string(kMaxNestingDepth) +
                      " levels in " + fieldLabel(topKey);
    PyErr_SetString(PyExc_RecursionError, msg.c_str());
    throw py::error_already_set();
}

[[noreturn]] void raiseNoRoom(const char* key) {
    throw std::length_error("dict2container: no room for " + fieldLabel(key) + " in the container (" +
                            zorClient_getLastErrorInfo()->errorStr + ")");
}

// NUL-terminated text of a str (UTF-8) or bytes object. Anything else, or a
// str that cannot be encoded, raises pybind11's cast error; `spare` holds the
// text in the rare cases pybind11 has to convert it.
inline const char* textOf(PyObject* obj, std::string& spare, Py_ssize_t* len) {
    if (PyUnicode_Check(obj)) {
        const char* s = PyUnicode_AsUTF8AndSize(obj, len);
        if (s != nullptr) return s;
        PyErr_Clear();
    } else if (PyBytes_Check(obj)) {
        *len = PyBytes_GET_SIZE(obj);
        return PyBytes_AS_STRING(obj);
    }
    spare = py::cast<std::string>(py::handle(obj));
    *len = static_cast<Py_ssize_t>(spare.size());
    return spare.c_str();
}

inline bool isSequence(PyObject* v) {
    return !PyUnicode_Check(v) && !PyBytes_Check(v) && PySequence_Check(v);
}

inline size_t keyLen(const char* key) { return key ? std::strlen(key) : 0; }

// An add was refused. The library says "no" alike for a full area and for a
// field it will never take (an over-long name, say), so the same add is tried
// once more into an empty container with room for it: refused there too, it
// is an error of its own; otherwise the area was too small. Returns `need`,
// the room the field takes, for the caller to grow into.
template <class Add>
size_t refusedAdd(const char* key, const char* topKey, size_t need, Add&& add) {
    std::unique_ptr<char[]> buf(new char[need]);
    zorClient_opaqueContainer_pt probe = nullptr;
    ContainerCloser closer(probe);
    zorClient_returnCode_t rc = key ? zorClient_container_createMap(&probe, buf.get(), need)
                                    : zorClient_container_createStream(&probe, buf.get(), need);
    if (rc == ZORCLIENT_OK && add(probe) == ZORCLIENT_OK) return need;
    std::string where = key ? fieldLabel(key) : std::string("a sequence element");
    if (topKey != key) where += " in " + fieldLabel(topKey);
    throw std::runtime_error("dict2container: the library refused " + where + ": " +
                             zorClient_getLastErrorInfo()->errorStr);
}

// Each writer returns 0 when the field went in (or nothing was to be
// written), otherwise the room the field needs beyond what the container
// already holds.
size_t writeValue(zorClient_opaqueContainer_pt c, const char* key, PyObject* v, int depth, const char* topKey);

size_t writeText(zorClient_opaqueContainer_pt c, const char* key, PyObject* v, const char* topKey) {
    std::string spare;
    Py_ssize_t len = 0;
    const char* text = textOf(v, spare, &len);
    if (zorClient_container_addString(c, text, key) == ZORCLIENT_OK) return 0;
    return refusedAdd(key, topKey, keyLen(key) + static_cast<size_t>(len) + kFieldSlack,
                      [&](zorClient_opaqueContainer_pt p) { return zorClient_container_addString(p, text, key); });
}

size_t writeInt(zorClient_opaqueContainer_pt c, const char* key, PyObject* v, const char* topKey) {
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow != 0) {
        // Outside the signed 64-bit range: pybind11's own conversion error.
        py::cast<int64_t>(py::handle(v));
        throw py::cast_error("Unable to cast Python instance to C++ type 'int64_t'");
    }
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    const auto value = static_cast<int64_t>(n);
    if (zorClient_container_addInt64(c, value, key) == ZORCLIENT_OK) return 0;
    return refusedAdd(key, topKey, keyLen(key) + kFieldSlack,
                      [&](zorClient_opaqueContainer_pt p) { return zorClient_container_addInt64(p, value, key); });
}

size_t writeFloat(zorClient_opaqueContainer_pt c, const char* key, PyObject* v, const char* topKey) {
    const double value = PyFloat_AS_DOUBLE(v);
    if (zorClient_container_addDouble(c, value, key) == ZORCLIENT_OK) return 0;
    return refusedAdd(key, topKey, keyLen(key) + kFieldSlack,
                      [&](zorClient_opaqueContainer_pt p) { return zorClient_container_addDouble(p, value, key); });
}

size_t writeBool(zorClient_opaqueContainer_pt c, const char* key, PyObject* v, const char* topKey) {
    const zorClient_bool_t value = v == Py_True ? 1 : 0;
    if (zorClient_container_addBoolean(c, value, key) == ZORCLIENT_OK) return 0;
    return refusedAdd(key, topKey, keyLen(key) + kFieldSlack,
                      [&](zorClient_opaqueContainer_pt p) { return zorClient_container_addBoolean(p, value, key); });
}

void reportUnsupported(const char* key) {
    std::cout << "Key: " << (key ? key : "") << " value type not support" << std::endl;
}

// Rows 1-4 and 7 of the value table: one scalar field or the report line.
size_t writeScalar(zorClient_opaqueContainer_pt c, const char* key, PyObject* v, const char* topKey) {
    if (PyUnicode_Check(v) || PyBytes_Check(v)) return writeText(c, key, v, topKey);
    if (PyBool_Check(v)) return writeBool(c, key, v, topKey);
    if (PyLong_Check(v)) return writeInt(c, key, v, topKey);
    if (PyFloat_Check(v)) return writeFloat(c, key, v, topKey);
    if (!PySequence_Check(v) && !PyDict_Check(v)) reportUnsupported(key);
    return 0;
}

// Fill functions return 0 when every item went in, else the room the
// refused item needs.
size_t fillStream(zorClient_opaqueContainer_pt sub, PyObject* seq, int depth, const char* topKey) {
    if (PyList_CheckExact(seq)) {
        // By index with the size read each time: Python code run by an
        // element may change the list, as with the list's own iterator.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
            py::object item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(seq, i));
            if (size_t need = writeValue(sub, nullptr, item.ptr(), depth, topKey)) return need;
        }
        return 0;
    }
    if (PyTuple_CheckExact(seq)) {
        for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(seq); i < n; ++i) {
            if (size_t need = writeValue(sub, nullptr, PyTuple_GET_ITEM(seq, i), depth, topKey)) return need;
        }
        return 0;
    }
    py::object it = py::reinterpret_steal<py::object>(PyObject_GetIter(seq));
    if (!it) throw py::error_already_set();
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        py::object item = py::reinterpret_steal<py::object>(raw);
        if (size_t need = writeValue(sub, nullptr, item.ptr(), depth, topKey)) return need;
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return 0;
}

size_t fillMap(zorClient_opaqueContainer_pt sub, PyObject* dict, int depth, const char* topKey) {
    Py_ssize_t pos = 0;
    PyObject* rawKey;
    PyObject* rawValue;
    std::string spare;
    while (PyDict_Next(dict, &pos, &rawKey, &rawValue)) {
        // Held while Python code run by a nested value could drop them.
        py::object k = py::reinterpret_borrow<py::object>(rawKey);
        py::object v = py::reinterpret_borrow<py::object>(rawValue);
        Py_ssize_t len;
        const char* key = textOf(rawKey, spare, &len);
        if (size_t need = writeValue(sub, key, rawValue, depth, topKey)) return need;
    }
    return 0;
}

// Builds a nested map or stream at nesting level `depth` from v and adds it to
// c under key. Rebuilds it in a larger area until it fits.
size_t writeNested(zorClient_opaqueContainer_pt c, const char* key, PyObject* v, bool isMap, int depth,
                   const char* topKey) {
    if (depth > kMaxNestingDepth) raiseTooDeep(topKey);
    AreaLease area(isMap ? kMapArea : kStreamArea);
    for (;;) {
        zorClient_opaqueContainer_pt sub = nullptr;
        ContainerCloser closer(sub);
        const size_t size = area.size();
        zorClient_returnCode_t rc = isMap ? zorClient_container_createMap(&sub, area.buf(), size)
                                          : zorClient_container_createStream(&sub, area.buf(), size);
        if (rc != ZORCLIENT_OK) {
            throw std::runtime_error("dict2container: cannot create a nested container for " + fieldLabel(topKey) +
                                     ": " + zorClient_getLastErrorInfo()->errorStr);
        }
        const size_t need = isMap ? fillMap(sub, v, depth, topKey) : fillStream(sub, v, depth, topKey);
        if (need == 0) {
            if (zorClient_container_addContainer(c, sub, key) == ZORCLIENT_OK) return 0;
            // The nested content is at most `size` bytes.
            return refusedAdd(key, topKey, keyLen(key) + size + kFieldSlack, [&](zorClient_opaqueContainer_pt p) {
                return zorClient_container_addContainer(p, sub, key);
            });
        }
        closer.close();
        // All before the refused item fitted into `size`.
        const size_t next = std::max(size * 2, size + need);
        if (next > kMaxArea) {
            throw std::length_error("dict2container: the value of " + fieldLabel(topKey) +
                                    " is too large for a container");
        }
        area.resize(next);
    }
}

size_t writeValue(zorClient_opaqueContainer_pt c, const char* key, PyObject* v, int depth, const char* topKey) {
    // Exact built-in types first: one pointer compare each.
    PyTypeObject* t = Py_TYPE(v);
    if (t == &PyUnicode_Type || t == &PyBytes_Type) return writeText(c, key, v, topKey);
    if (t == &PyLong_Type) return writeInt(c, key, v, topKey);
    if (t == &PyFloat_Type) return writeFloat(c, key, v, topKey);
    if (t == &PyBool_Type) return writeBool(c, key, v, topKey);
    if (t == &PyDict_Type) return writeNested(c, key, v, true, depth + 1, topKey);
    if (t == &PyList_Type || t == &PyTuple_Type) return writeNested(c, key, v, false, depth + 1, topKey);
    if (v == Py_None) {
        reportUnsupported(key);
        return 0;
    }
    // Subclasses and other objects: every row that matches, in table order
    // (an int subclass with item access yields an int and a stream field).
    if (size_t need = writeScalar(c, key, v, topKey)) return need;
    if (isSequence(v)) {
        if (size_t need = writeNested(c, key, v, false, depth + 1, topKey)) return need;
    }
    if (PyDict_Check(v)) return writeNested(c, key, v, true, depth + 1, topKey);
    return 0;
}

}  // namespace

void dict2container(zorClient_opaqueContainer_pt container_p, py::dict d) {
    CallScope scope;
    Py_ssize_t pos = 0;
    PyObject* rawKey;
    PyObject* rawValue;
    std::string spare;
    while (PyDict_Next(d.ptr(), &pos, &rawKey, &rawValue)) {
        py::object k = py::reinterpret_borrow<py::object>(rawKey);
        py::object v = py::reinterpret_borrow<py::object>(rawValue);
        Py_ssize_t len;
        const char* key = textOf(rawKey, spare, &len);
        if (writeValue(container_p, key, rawValue, 0, key) != 0) raiseNoRoom(key);
    }
}

void value2container(zorClient_opaqueContainer_pt container_p, const char* key, py::handle value) {
    if (writeScalar(container_p, key, value.ptr(), key) != 0) raiseNoRoom(key);
}

void list2container(zorClient_opaqueContainer_pt container_p, const char* key, py::handle value) {
    if (!isSequence(value.ptr())) return;
    CallScope scope;
    if (writeNested(container_p, key, value.ptr(), false, 1, key) != 0) raiseNoRoom(key);
}

void subdict2container(zorClient_opaqueContainer_pt container_p, const char* key, py::handle value) {
    if (!PyDict_Check(value.ptr())) return;
    CallScope scope;
    if (writeNested(container_p, key, value.ptr(), true, 1, key) != 0) raiseNoRoom(key);
}

std::tuple<uint64_t, std::string, std::string> getBytesString(py::dict d) {
    Py_ssize_t pos = 0;
    PyObject* rawKey;
    PyObject* rawValue;
    std::string spare;
    while (PyDict_Next(d.ptr(), &pos, &rawKey, &rawValue)) {
        Py_ssize_t keyLen = 0;
        const char* key = textOf(rawKey, spare, &keyLen);
        if (keyLen >= 5 && std::memcmp(key, "bytes", 5) == 0) {
            std::string keyString(key, static_cast<size_t>(keyLen));
            std::string value = py::cast<std::string>(py::handle(rawValue));
            return {value.size() + 128, std::move(keyString), std::move(value)};
        }
    }
    return {0, std::string(), std::string()};
}
