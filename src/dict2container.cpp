// dict2container: Python dicts and lists written into the library's map and stream containers.
#include "dict2container.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <vector>

#include "core/scope_exit.h"
#include "internal/bytes_item.h"
#include "internal/field_label.h"
#include "internal/scratch.h"
#include "utils.h"

namespace py = pybind11;

namespace {

// ---------------------------------------------------------------------------
// Working areas of nested containers.
//
// A nested map or stream is built in a buffer of its own and then copied into
// its parent. The buffers live on the heap and are reused from call to call:
// a build takes one from this thread's pool and owns it until it ends, so two
// live builds never share one, whatever order they run and end in (greenlets
// interleave conversions on one thread). They start at 8192 (map) or 65536
// (stream) bytes; when a field does not fit, the container built so far
// moves into a larger buffer (its fields copied by the library, not read from
// Python again) and the field goes in there, so no field is ever dropped and
// every Python value is read once.
// ---------------------------------------------------------------------------
constexpr size_t kMapArea = 8192;
constexpr size_t kStreamArea = 65536;
// Field lengths are 32-bit in the library: no container can be larger.
constexpr size_t kMaxArea = kMaxAttachmentSize;
// The pool keeps kKeptLevels areas; larger ones than this are released when
// the last call on the thread ends.
constexpr size_t kKeptAreaBytes = size_t(4) << 20;
// Room for a field's own framing and name beyond its value, generously.
constexpr size_t kFieldSlack = 256;

using Area = WriteArea;

// The area of one nested build, taken from the pool (or new) and given back
// when the build ends.
class AreaLease {
public:
    // The pool's address is fixed per thread: the caller looks it up once per
    // level, as a thread_local costs a call each time in a shared object.
    AreaLease(WriteAreas& pool, size_t minSize) : pool_(&pool) {
        if (!pool.free.empty()) {
            area_ = std::move(pool.free.back());
            pool.free.pop_back();
        }
        if (area_.size < minSize) {
            // Uninitialised on purpose; the library needs no zeroed area.
            area_.buf.reset();
            area_.buf.reset(new char[minSize]);
            area_.size = minSize;
        }
    }
    ~AreaLease() {
        if (pool_->free.size() >= kKeptLevels) return;  // released with the lease
        if (area_.size > kKeptAreaBytes) pool_->oversized = true;
        pool_->free.push_back(std::move(area_));
    }
    AreaLease(const AreaLease&) = delete;
    AreaLease& operator=(const AreaLease&) = delete;

    char* buf() const { return area_.buf.get(); }
    size_t size() const { return area_.size; }

    // Takes `buf` as this build's area; nothing may point into the old one.
    void adopt(std::unique_ptr<char[]> buf, size_t n) {
        area_.buf = std::move(buf);
        area_.size = n;
    }

private:
    WriteAreas* pool_;
    Area area_;
};

// Marks a public entry point; the last one to leave trims the pool.
class CallScope {
public:
    CallScope() : CallScope(conversionScratch()) {}
    explicit CallScope(ConversionScratch& scratch) : pool_(scratch.areas) {
        if (++pool_.calls == 1) {
            scratch.stack.learn();
            // Room for every area the pool keeps, so giving one back never allocates.
            pool_.free.reserve(kKeptLevels);
        }
    }
    ~CallScope() {
        if (--pool_.calls == 0 && pool_.oversized) trim();
    }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
    WriteAreas* pool() const { return &pool_; }

private:
    WriteAreas& pool_;

    // Only the pool's own areas: those of live builds belong to them.
    void trim() {
        for (Area& a : pool_.free) {
            if (a.size > kKeptAreaBytes) {
                a.buf.reset();
                a.size = 0;
            }
        }
        pool_.oversized = false;
    }
};

// The container the writers add to: the caller's, whose size is fixed, or a
// nested one built in a working area of ours, which grows when full.
struct Target {
    zorClient_opaqueContainer_pt c;
    AreaLease* area;  // null for the caller's container
    bool isMap;
    WriteAreas* pool;  // this thread's; null where nothing nests
};

// ---------------------------------------------------------------------------
// Python values
// ---------------------------------------------------------------------------

// Names in messages are cut to a readable length; a sequence element has none.
constexpr size_t kShownName = 80;
constexpr const char* kSequenceElement = "a sequence element";

// Where a value sits, for messages: the field, and the top-level field it
// belongs to when that is another one.
std::string placeLabel(const char* key, const char* topKey) {
    std::string where = fieldLabel(key, kSequenceElement, kShownName);
    if (topKey != key) where += " in " + fieldLabel(topKey, kSequenceElement, kShownName);
    return where;
}

[[noreturn]] __attribute__((noinline, cold)) void raiseCannotCreate(const char* topKey) {
    throw std::runtime_error("dict2container: cannot create a nested container for " +
                             fieldLabel(topKey, kSequenceElement, kShownName) + ": " +
                             zorClient_getLastErrorInfo()->errorStr);
}

[[noreturn]] void raiseNoRoom(const char* key) {
    throw std::length_error("dict2container: no room for " + fieldLabel(key, kSequenceElement, kShownName) +
                            " in the container (" + zorClient_getLastErrorInfo()->errorStr + ")");
}

// A field name that is no text, for messages: its repr, cut to a readable
// length (the repr of a lone surrogate is plain ASCII).
std::string nameLabel(PyObject* name) {
    constexpr size_t kShown = 80;
    std::string text = Py_TYPE(name)->tp_name;
    py::object r = py::reinterpret_steal<py::object>(PyObject_Repr(name));
    const char* c = r ? PyUnicode_AsUTF8(r.ptr()) : nullptr;
    if (c != nullptr) {
        text = c;
        if (text.size() > kShown) text = text.substr(0, kShown) + "...";
    }
    PyErr_Clear();
    return "the field name " + text;
}

// pybind11's cast error for a value or name, its type and words kept, with
// the place it was met added in front.
[[noreturn]] __attribute__((noinline, cold)) void raiseCastError(const py::cast_error& e, const std::string& where) {
    throw py::cast_error("dict2container: cannot write " + where + ": " + e.what());
}

// The text of something that is no plain str or bytes, through pybind11's
// conversion; its cast error names where it sits: the value of `key`, or
// with `isName` the field name `obj` itself (`key` is then the enclosing
// top-level field, null at the top).
__attribute__((noinline)) const char* castText(PyObject* obj, std::string& spare, Py_ssize_t* len, bool isName,
                                               const char* key, const char* topKey) {
    try {
        spare = py::cast<std::string>(py::handle(obj));
    } catch (const py::cast_error& e) {
        std::string where = isName ? nameLabel(obj) : "the value of " + placeLabel(key, topKey);
        if (isName && topKey != nullptr) where += " in " + fieldLabel(topKey, kSequenceElement, kShownName);
        raiseCastError(e, where);
    }
    *len = static_cast<Py_ssize_t>(spare.size());
    return spare.c_str();
}

// NUL-terminated text of a str (UTF-8) or bytes object. Anything else, or a
// str that cannot be encoded, raises pybind11's cast error, naming the place
// as castText says; `spare` holds the text in the rare cases pybind11 has to
// convert it.
inline const char* utf8TextOf(PyObject* obj, std::string& spare, Py_ssize_t* len, bool isName, const char* key,
                              const char* topKey) {
    if (PyUnicode_Check(obj)) {
        const char* s = PyUnicode_AsUTF8AndSize(obj, len);
        if (s != nullptr) return s;
        PyErr_Clear();
    } else if (PyBytes_Check(obj)) {
        *len = PyBytes_GET_SIZE(obj);
        return PyBytes_AS_STRING(obj);
    }
    return castText(obj, spare, len, isName, key, topKey);
}

// True when s[0..len) holds a NUL. Names and texts are mostly short, where
// a call to memchr costs more than the scan: words that overlap instead.
inline bool hasZeroByte(uint64_t w) { return ((w - 0x0101010101010101ull) & ~w & 0x8080808080808080ull) != 0; }
inline bool hasZeroByte(uint32_t w) { return ((w - 0x01010101u) & ~w & 0x80808080u) != 0; }
template <class W>
inline W load(const char* p) {
    W w;
    std::memcpy(&w, p, sizeof w);
    return w;
}
inline bool spanHasNul(const char* s, Py_ssize_t len) {
    const size_t n = static_cast<size_t>(len);
    if (n < 4) return n != 0 && (s[0] == 0 || s[n >> 1] == 0 || s[n - 1] == 0);
    if (n < 8) return hasZeroByte(load<uint32_t>(s)) || hasZeroByte(load<uint32_t>(s + n - 4));
    if (n <= 16) return hasZeroByte(load<uint64_t>(s)) || hasZeroByte(load<uint64_t>(s + n - 8));
    if (n > 64) return std::memchr(s, 0, n) != nullptr;
    for (size_t i = 0; i + 8 < n; i += 8) {
        if (hasZeroByte(load<uint64_t>(s + i))) return true;
    }
    return hasZeroByte(load<uint64_t>(s + n - 8));
}

// A field name as the library takes it: text without NUL (a name ends at
// the first one, so "a\0b" would silently become "a").
[[noreturn]] __attribute__((noinline, cold)) void raiseNulInName(const char* key, Py_ssize_t len) {
    throw py::value_error("dict2container: the name of " + fieldLabel(key, static_cast<size_t>(len), kShownName) +
                          " holds a NUL character, which a container field name cannot hold");
}

// `topKey`: the top-level field the map sits in, null for the top level.
inline const char* keyOf(PyObject* rawKey, std::string& spare, const char* topKey) {
    Py_ssize_t len;
    const char* key = utf8TextOf(rawKey, spare, &len, true, nullptr, topKey);
    if (spanHasNul(key, len)) raiseNulInName(key, len);
    return key;
}

inline bool isSequence(PyObject* v) { return !PyUnicode_Check(v) && !PyBytes_Check(v) && PySequence_Check(v); }

inline size_t keyLen(const char* key) { return key ? std::strlen(key) : 0; }

// An add was refused. The library says "no" alike for a full area and for a
// field it will never take (an over-long name, say), so the same add is tried
// once more into an empty container with room for it: refused there too, it
// is an error of its own; otherwise the area was too small.
template <class Add>
void checkTakeable(const char* key, const char* topKey, size_t need, Add&& add) {
    std::unique_ptr<char[]> buf(new char[need]);
    zorClient_opaqueContainer_pt probe = nullptr;
    ScopeExit closer([&probe] { closeNested(probe); });
    zorClient_returnCode_t rc = key ? zorClient_container_createMap(&probe, buf.get(), need)
                                    : zorClient_container_createStream(&probe, buf.get(), need);
    if (rc == ZORCLIENT_OK && add(probe) == ZORCLIENT_OK) return;
    throw std::runtime_error("dict2container: the library refused " + placeLabel(key, topKey) + ": " +
                             zorClient_getLastErrorInfo()->errorStr);
}

[[noreturn]] void raiseCannotMove(const char* what) {
    throw std::runtime_error(std::string("dict2container: cannot move a nested container into a larger area (") + what +
                             "): " + zorClient_getLastErrorInfo()->errorStr);
}

// Adds every field of `from` (built by these writers) to `to`, in order.
void copyFields(zorClient_opaqueContainer_pt from, zorClient_opaqueContainer_pt to) {
    if (zorClient_container_rewind(from) != ZORCLIENT_OK) raiseCannotMove("rewind");
    zorClient_field_t f;
    const char* name = nullptr;
    zorClient_returnCode_t rc;
    while ((rc = zorClient_container_getNextField(from, &f, sizeof f, &name)) == ZORCLIENT_OK) {
        zorClient_returnCode_t added;
        switch (static_cast<int>(f.type)) {
            case ZORCLIENT_BOOL: added = zorClient_container_addBoolean(to, f.value.boolean, name); break;
            case ZORCLIENT_INT64: added = zorClient_container_addInt64(to, f.value.int64, name); break;
            case ZORCLIENT_DOUBLE: added = zorClient_container_addDouble(to, f.value.float64, name); break;
            case ZORCLIENT_STRING: added = zorClient_container_addString(to, f.value.string, name); break;
            case ZORCLIENT_BYTEARRAY:
                added = zorClient_container_addByteArray(to, f.value.bytearray, f.length, name);
                break;
            case ZORCLIENT_MAP:
            case ZORCLIENT_STREAM: {
                // The walk opened a handle for it: closed again once copied.
                zorClient_opaqueContainer_pt sub = f.value.map;
                ScopeExit closer([sub] { closeNested(sub); });
                added = zorClient_container_addContainer(to, sub, name);
                break;
            }
            default:
                throw std::logic_error("dict2container: a nested container holds a field of type " +
                                       std::to_string(static_cast<int>(f.type)) + ", which is never written");
        }
        if (added != ZORCLIENT_OK) raiseCannotMove("add");
    }
    if (rc != ZORCLIENT_EOS) raiseCannotMove("walk");
}

// Moves the nested container of `t` into a new area of n bytes.
void growArea(Target& t, size_t n) {
    std::unique_ptr<char[]> buf(new char[n]);
    zorClient_opaqueContainer_pt fresh = nullptr;
    ScopeExit freshCloser([&fresh] { closeNested(fresh); });
    zorClient_returnCode_t rc = t.isMap ? zorClient_container_createMap(&fresh, buf.get(), n)
                                        : zorClient_container_createStream(&fresh, buf.get(), n);
    if (rc != ZORCLIENT_OK) raiseCannotMove("create");
    copyFields(t.c, fresh);
    // The old container goes before its area does.
    zorClient_container_closeMapStream(&t.c);
    t.c = fresh;
    fresh = nullptr;
    t.area->adopt(std::move(buf), n);
}

[[noreturn]] void raiseTooLarge(const char* topKey) {
    throw std::length_error("dict2container: the value of " + fieldLabel(topKey, kSequenceElement, kShownName) +
                            " is too large for a container");
}

// The add was refused: an error, or a nested container grown until it fits.
template <class Add>
__attribute__((noinline)) void putSlow(Target& t, const char* key, const char* topKey, size_t valueLen, Add& add) {
    const size_t need = keyLen(key) + valueLen + kFieldSlack;
    checkTakeable(key, topKey, need, add);
    if (t.area == nullptr) raiseNoRoom(key);
    for (;;) {
        // All before the refused field fitted into `size`.
        const size_t size = t.area->size();
        const size_t next = std::max(size * 2, size + need);
        if (next > kMaxArea) raiseTooLarge(topKey);
        growArea(t, next);
        if (add(t.c) == ZORCLIENT_OK) return;
    }
}

// Adds one field to t with `add`; valueLen bounds the value's bytes as
// stored. Raises when it cannot go in.
template <class Add>
inline void put(Target& t, const char* key, const char* topKey, size_t valueLen, Add&& add) {
    if (add(t.c) == ZORCLIENT_OK) return;
    putSlow(t, key, topKey, valueLen, add);
}

void writeText(Target& t, const char* key, PyObject* v, const char* topKey) {
    std::string spare;
    Py_ssize_t len = 0;
    const char* text = utf8TextOf(v, spare, &len, false, key, topKey);
    if (spanHasNul(text, len)) {
        // Container text ends at the first NUL: bytes keep all of theirs as a
        // byte array; a str cannot be stored whole, which is an error.
        if (!PyBytes_Check(v)) {
            throw py::value_error("dict2container: the str value of " + placeLabel(key, topKey) +
                                  " holds a NUL character, which container text cannot hold");
        }
        if (static_cast<uint64_t>(len) > kMaxArea) raiseTooLarge(topKey);
        const auto* data = reinterpret_cast<const zorClient_uint8_t*>(text);
        const auto n = static_cast<zorClient_uint32_t>(len);
        put(t, key, topKey, static_cast<size_t>(len),
            [&](zorClient_opaqueContainer_pt c) { return zorClient_container_addByteArray(c, data, n, key); });
        return;
    }
    put(t, key, topKey, static_cast<size_t>(len),
        [&](zorClient_opaqueContainer_pt c) { return zorClient_container_addString(c, text, key); });
}

// Outside the signed 64-bit range: pybind11's own conversion error.
[[noreturn]] __attribute__((noinline, cold)) void raiseIntRange(const char* key, PyObject* v, const char* topKey) {
    try {
        py::cast<int64_t>(py::handle(v));
        throw py::cast_error("Unable to cast Python instance to C++ type 'int64_t'");
    } catch (const py::cast_error& e) {
        raiseCastError(e, "the value of " + placeLabel(key, topKey));
    }
}

void writeInt(Target& t, const char* key, PyObject* v, const char* topKey) {
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow != 0) raiseIntRange(key, v, topKey);
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    const auto value = static_cast<int64_t>(n);
    put(t, key, topKey, 0, [&](zorClient_opaqueContainer_pt c) { return zorClient_container_addInt64(c, value, key); });
}

void writeFloat(Target& t, const char* key, PyObject* v, const char* topKey) {
    const double value = PyFloat_AS_DOUBLE(v);
    put(t, key, topKey, 0,
        [&](zorClient_opaqueContainer_pt c) { return zorClient_container_addDouble(c, value, key); });
}

void writeBool(Target& t, const char* key, PyObject* v, const char* topKey) {
    const zorClient_bool_t value = v == Py_True ? 1 : 0;
    put(t, key, topKey, 0,
        [&](zorClient_opaqueContainer_pt c) { return zorClient_container_addBoolean(c, value, key); });
}

void reportUnsupported(const char* key) {
    std::cout << "Key: " << (key ? key : "") << " value type not support" << std::endl;
}

// The rows of the value table a Python value matches. Built-in types match
// one row each; a subclass or another object can match a scalar row and the
// sequence or dict row too (an int subclass with item access is written as an
// int and as a stream), and is written once per row, in table order.
enum Row : unsigned {
    kText = 1u << 0,
    kBool = 1u << 1,
    kInt = 1u << 2,
    kFloat = 1u << 3,
    kUnsupported = 1u << 4,
    kSequence = 1u << 5,
    kDict = 1u << 6,
    kScalarRows = kText | kBool | kInt | kFloat | kUnsupported,
};

inline unsigned rowsOf(PyObject* v) {
    // Exact built-in types first: one pointer compare each.
    PyTypeObject* type = Py_TYPE(v);
    if (type == &PyUnicode_Type || type == &PyBytes_Type) return kText;
    if (type == &PyLong_Type) return kInt;
    if (type == &PyFloat_Type) return kFloat;
    if (type == &PyBool_Type) return kBool;
    if (type == &PyDict_Type) return kDict;
    if (type == &PyList_Type || type == &PyTuple_Type) return kSequence;
    if (v == Py_None) return kUnsupported;
    unsigned rows = 0;
    if (PyUnicode_Check(v) || PyBytes_Check(v)) {
        rows = kText;
    } else if (PyBool_Check(v)) {
        rows = kBool;
    } else if (PyLong_Check(v)) {
        rows = kInt;
    } else if (PyFloat_Check(v)) {
        rows = kFloat;
    } else if (!PySequence_Check(v) && !PyDict_Check(v)) {
        rows = kUnsupported;
    }
    if (isSequence(v)) rows |= kSequence;
    if (PyDict_Check(v)) rows |= kDict;
    return rows;
}

void writeNested(Target& parent, const char* key, PyObject* v, bool isMap, int depth, const char* topKey);

// The scalar rows among `rows`. Out of line: its frame (text spare, the
// writers' locals) stays off the stack of the nested levels.
__attribute__((noinline)) void writeScalar(Target& t, const char* key, PyObject* v, unsigned rows, const char* topKey) {
    if (rows & kText) writeText(t, key, v, topKey);
    if (rows & kBool) writeBool(t, key, v, topKey);
    if (rows & kInt) writeInt(t, key, v, topKey);
    if (rows & kFloat) writeFloat(t, key, v, topKey);
    if (rows & kUnsupported) reportUnsupported(key);
}

// The one dispatch from a Python value to container fields: a field per row
// of the value table it matches, among `allowed`.
inline void writeValue(Target& t, const char* key, PyObject* v, int depth, const char* topKey, unsigned allowed = ~0u) {
    const unsigned rows = rowsOf(v) & allowed;
    if (rows & kScalarRows) writeScalar(t, key, v, rows, topKey);
    if (rows & kSequence) writeNested(t, key, v, false, depth + 1, topKey);
    if (rows & kDict) writeNested(t, key, v, true, depth + 1, topKey);
}

// Python code runs during a conversion only where a sequence other than a
// list or tuple is iterated (its iterator, and a finalizer the collector runs
// when the iterator is made): the other paths allocate no Python object and
// call none. So the checks below run only after a nested value during which
// such an iteration happened (WriteAreas::iterations moved).
[[noreturn]] __attribute__((noinline, cold)) void raisePending() { throw py::error_already_set(); }

[[noreturn]] __attribute__((noinline, cold)) void raiseChanged(const char* what) {
    PyErr_SetString(PyExc_RuntimeError, what);
    throw py::error_already_set();
}

// A dict read with PyDict_Next from `pos` on must still hold `size` items,
// with the item just read, `key`, where it was: otherwise later items moved
// (the table was rebuilt) and one that was there all along would be skipped
// without a word. Python's own iteration raises the same errors.
inline void checkDictUnchanged(PyObject* dict, Py_ssize_t size, Py_ssize_t pos, PyObject* key) {
    if (PyDict_GET_SIZE(dict) != size) raiseChanged("dictionary changed size during iteration");
    Py_ssize_t at = pos - 1;
    PyObject* found = nullptr;
    if (!PyDict_Next(dict, &at, &found, nullptr) || found != key || at != pos)
        raiseChanged("dictionary keys changed during iteration");
}

void fillStream(Target& t, PyObject* seq, int depth, const char* topKey) {
    if (PyList_CheckExact(seq)) {
        // By index with the size read each time: Python code run by an
        // element may change the list. A list whose length changed meanwhile
        // raises: an element removed before the one read would shift the
        // next one past the index, and it would be lost without a word.
        const Py_ssize_t size = PyList_GET_SIZE(seq);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
            py::object item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(seq, i));
            const size_t iterations = t.pool->iterations;
            writeValue(t, nullptr, item.ptr(), depth, topKey);
            if (t.pool->iterations != iterations && PyList_GET_SIZE(seq) != size)
                raiseChanged("list changed size during iteration");
        }
        return;
    }
    if (PyTuple_CheckExact(seq)) {
        for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(seq); i < n; ++i) {
            writeValue(t, nullptr, PyTuple_GET_ITEM(seq, i), depth, topKey);
        }
        return;
    }
    ++t.pool->iterations;
    py::object it = py::reinterpret_steal<py::object>(PyObject_GetIter(seq));
    if (!it) raisePending();
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        py::object item = py::reinterpret_steal<py::object>(raw);
        writeValue(t, nullptr, item.ptr(), depth, topKey);
    }
    if (PyErr_Occurred()) raisePending();
}

void fillMap(Target& t, PyObject* dict, int depth, const char* topKey) {
    Py_ssize_t pos = 0;
    PyObject* rawKey;
    PyObject* rawValue;
    std::string spare;
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    while (PyDict_Next(dict, &pos, &rawKey, &rawValue)) {
        // Held while Python code run by a nested value could drop them.
        py::object k = py::reinterpret_borrow<py::object>(rawKey);
        py::object v = py::reinterpret_borrow<py::object>(rawValue);
        const size_t iterations = t.pool->iterations;
        writeValue(t, keyOf(rawKey, spare, topKey), rawValue, depth, topKey);
        if (t.pool->iterations != iterations) checkDictUnchanged(dict, size, pos, rawKey);
    }
}

// Builds a nested map or stream at nesting level `depth` from v and adds it to
// `parent` under key.
void writeNested(Target& parent, const char* key, PyObject* v, bool isMap, int depth, const char* topKey) {
    if (depth > kMaxNestingDepth) raiseTooDeep("dict2container: values", "in", topKey, kSequenceElement, kShownName);
    ConversionScratch& scratch = conversionScratch();
    if (scratch.stack.shortOf())
        raiseNoStack("dict2container: values", depth, "in", topKey, kSequenceElement, kShownName);
    AreaLease area(scratch.areas, isMap ? kMapArea : kStreamArea);
    Target sub{nullptr, &area, isMap, &scratch.areas};
    // Closed on every way out, also when an exception leaves the build
    // half-done, so no open handle points into a reused area.
    ScopeExit closer([&sub] { closeNested(sub.c); });
    zorClient_returnCode_t rc = isMap ? zorClient_container_createMap(&sub.c, area.buf(), area.size())
                                      : zorClient_container_createStream(&sub.c, area.buf(), area.size());
    if (rc != ZORCLIENT_OK) raiseCannotCreate(topKey);
    if (isMap) {
        fillMap(sub, v, depth, topKey);
    } else {
        fillStream(sub, v, depth, topKey);
    }
    // The nested content is at most the area's size.
    put(parent, key, topKey, area.size(),
        [&](zorClient_opaqueContainer_pt c) { return zorClient_container_addContainer(c, sub.c, key); });
}

}  // namespace

void dict2container(zorClient_opaqueContainer_pt container_p, py::dict d) {
    CallScope scope;
    Target top{container_p, nullptr, true, scope.pool()};
    Py_ssize_t pos = 0;
    PyObject* rawKey;
    PyObject* rawValue;
    std::string spare;
    const Py_ssize_t size = PyDict_GET_SIZE(d.ptr());
    while (PyDict_Next(d.ptr(), &pos, &rawKey, &rawValue)) {
        py::object k = py::reinterpret_borrow<py::object>(rawKey);
        py::object v = py::reinterpret_borrow<py::object>(rawValue);
        const char* key = keyOf(rawKey, spare, nullptr);
        const size_t iterations = top.pool->iterations;
        writeValue(top, key, rawValue, 0, key);
        if (top.pool->iterations != iterations) checkDictUnchanged(d.ptr(), size, pos, rawKey);
    }
}

void value2container(zorClient_opaqueContainer_pt container_p, const char* key, py::handle value) {
    Target top{container_p, nullptr, true, nullptr};
    writeValue(top, key, value.ptr(), 0, key, kScalarRows);
}

void list2container(zorClient_opaqueContainer_pt container_p, const char* key, py::handle value) {
    if (!isSequence(value.ptr())) return;
    CallScope scope;
    Target top{container_p, nullptr, true, scope.pool()};
    writeNested(top, key, value.ptr(), false, 1, key);
}

void subdict2container(zorClient_opaqueContainer_pt container_p, const char* key, py::handle value) {
    if (!PyDict_Check(value.ptr())) return;
    CallScope scope;
    Target top{container_p, nullptr, true, scope.pool()};
    writeNested(top, key, value.ptr(), true, 1, key);
}

std::tuple<uint64_t, std::string, std::string> getBytesString(py::dict d) {
    std::string spare;
    const BytesItem item = firstBytesItem(d.ptr(), spare);
    if (item.value == nullptr) return {0, std::string(), std::string()};
    std::string keyString(item.key, item.keyLen);
    // Whatever the value, it must be text: pybind11's cast error otherwise.
    std::string value = py::cast<std::string>(py::handle(item.value));
    return {value.size() + kMapFieldSlack, std::move(keyString), std::move(value)};
}
