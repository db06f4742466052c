#include "map2dict.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "utils.h"

namespace py = pybind11;

namespace {

// The type code as stored. Records can come from anywhere (received content,
// native callers) and may hold codes the enumeration does not name; reading
// them through the enum type would be undefined.
inline uint32_t rawType(const zorClient_field_t& field) {
    uint32_t code;
    std::memcpy(&code, &field.type, sizeof code);
    return code;
}


using FieldTable = std::map<std::string, zorClient_field_t>;

// Nesting depth of the conversion running on this thread. Received content
// decides the depth, so it is bounded (kMaxNestingDepth) to keep the native
// recursion off the end of the stack.
thread_local int t_readDepth = 0;

[[noreturn]] void raiseTooDeep(const char* name) {
    std::string msg = "map2dict: containers nested deeper than " + std::to_string(kMaxNestingDepth) +
                      " levels at " + (name ? "field '" + std::string(name) + "'" : std::string("a stream element"));
    PyErr_SetString(PyExc_RecursionError, msg.c_str());
    throw py::error_already_set();
}

class DepthGuard {
public:
    explicit DepthGuard(const char* name) : depth_(t_readDepth) {
        if (depth_ >= kMaxNestingDepth) raiseTooDeep(name);
        ++depth_;
    }
    ~DepthGuard() { --depth_; }
    int level() const { return depth_; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;

private:
    int& depth_;  // one thread_local look-up per level
};

// New reference to the Python number of a numeric field (codes 0-9, 12, 13),
// or null with a Python error set.
inline PyObject* numberOf(const zorClient_field_t& field) {
    switch (rawType(field)) {
        case ZORCLIENT_BOOL: return PyLong_FromLong(field.value.boolean);
        case ZORCLIENT_UINT8: return PyLong_FromLong(field.value.uint8);
        case ZORCLIENT_INT8: return PyLong_FromLong(field.value.int8);
        case ZORCLIENT_UINT16: return PyLong_FromLong(field.value.uint16);
        case ZORCLIENT_INT16: return PyLong_FromLong(field.value.int16);
        case ZORCLIENT_UINT32: return PyLong_FromUnsignedLong(field.value.uint32);
        case ZORCLIENT_INT32: return PyLong_FromLong(field.value.int32);
        case ZORCLIENT_UINT64: return PyLong_FromUnsignedLongLong(field.value.uint64);
        case ZORCLIENT_INT64: return PyLong_FromLongLong(field.value.int64);
        case ZORCLIENT_WCHAR: return PyLong_FromUnsignedLong(field.value.wchar);
        case ZORCLIENT_FLOAT: return PyFloat_FromDouble(static_cast<double>(field.value.float32));
        default: return PyFloat_FromDouble(field.value.float64);
    }
}

inline PyObject* checked(PyObject* obj) {
    if (obj == nullptr) throw py::error_already_set();
    return obj;
}

// New reference to the str of a text field; a null text is None.
inline PyObject* textOf(const char* text) {
    if (text == nullptr) {
        Py_INCREF(Py_None);
        return Py_None;
    }
    return checked(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), nullptr));
}

PyObject* newDict() {
    PyObject* d = PyDict_New();
    if (d == nullptr) {
        PyErr_Clear();
        throw std::runtime_error("Could not allocate dict object!");
    }
    return d;
}

PyObject* newList() {
    PyObject* l = PyList_New(0);
    if (l == nullptr) {
        PyErr_Clear();
        throw std::runtime_error("Could not allocate list object!");
    }
    return l;
}

// Dict keys of received maps repeat from message to message, so the str of a
// short name is kept and reused: no decoding and no hashing (a str caches its
// hash) for a name seen before. A direct-mapped table touched only with the
// GIL held; an entry is replaced when another name lands on its slot. The
// references it holds are never released, on purpose: nothing may touch
// Python objects after the interpreter has gone.
constexpr size_t kKeyCacheSlots = 1024;
constexpr size_t kKeyCacheMaxLen = 31;

struct CachedKey {
    PyObject* str = nullptr;
    uint8_t len = 0;
    char name[kKeyCacheMaxLen];
};

CachedKey g_keyCache[kKeyCacheSlots];

// After the interpreter is gone the entries point at nothing: forget them
// (without releasing) in case an embedding application starts a new one.
void forgetKeyCache() {
    for (CachedKey& slot : g_keyCache) slot.str = nullptr;
}
bool g_keyCacheHooked = false;

// New reference to the str of a field name, or null with no error set when
// the name is not valid UTF-8.
PyObject* keyOf(const char* name) {
    const size_t len = std::strlen(name);
    if (len > kKeyCacheMaxLen) {
        PyObject* key = PyUnicode_DecodeUTF8(name, static_cast<Py_ssize_t>(len), nullptr);
        if (key == nullptr) PyErr_Clear();
        return key;
    }
    uint32_t h = 2166136261u;  // FNV-1a
    for (size_t i = 0; i < len; ++i) h = (h ^ static_cast<unsigned char>(name[i])) * 16777619u;
    CachedKey& slot = g_keyCache[h & (kKeyCacheSlots - 1)];
    if (slot.str != nullptr && slot.len == len && std::memcmp(slot.name, name, len) == 0) {
        Py_INCREF(slot.str);
        return slot.str;
    }
    PyObject* key = PyUnicode_DecodeUTF8(name, static_cast<Py_ssize_t>(len), nullptr);
    if (key == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    if (PyObject_Hash(key) == -1) {  // cannot fail for an exact str; keep it out of the table if it does
        PyErr_Clear();
        return key;
    }
    if (!g_keyCacheHooked) {
        g_keyCacheHooked = true;
        Py_AtExit(forgetKeyCache);
    }
    PyObject* old = slot.str;
    Py_INCREF(key);
    slot.str = key;
    slot.len = static_cast<uint8_t>(len);
    std::memcpy(slot.name, name, len);
    Py_XDECREF(old);
    return key;
}

// dict[name] = value; steals value.
void setItem(PyObject* dict, const char* name, PyObject* value) {
    py::object owned = py::reinterpret_steal<py::object>(value);
    PyObject* key = keyOf(name);
    if (key == nullptr) throw std::runtime_error("Could not allocate string object!");
    int rc = PyDict_CheckExact(dict) ? PyDict_SetItem(dict, key, value) : PyObject_SetItem(dict, key, value);
    Py_DECREF(key);
    if (rc < 0) throw py::error_already_set();
}

// list.append(value); steals value. A failed append is an error, not a
// silently shorter list.
void append(PyObject* list, PyObject* value) {
    int rc = PyList_Append(list, value);
    Py_DECREF(value);
    if (rc < 0) throw py::error_already_set();
}

void field2dictImpl(PyObject* dict, const char* name, const zorClient_field_t& field);
void field2listImpl(PyObject* list, const zorClient_field_t& field);

void walkStream(PyObject* list, zorClient_opaqueContainer_pt container_p) {
    // No readable container: nothing to append.
    if (zorClient_container_rewind(container_p) != ZORCLIENT_OK) return;
    zorClient_field_t field;
    zorClient_returnCode_t rc;
    while ((rc = zorClient_container_getNextField(container_p, &field, sizeof(field), nullptr)) == ZORCLIENT_OK) {
        field2listImpl(list, field);
    }
    if (rc != ZORCLIENT_EOS) {
        throw std::runtime_error(std::string("stream2list: cannot read the stream container: ") +
                                 zorClient_getLastErrorInfo()->errorStr);
    }
}

// Read buffers for nested maps, one per nesting depth, reused so a nested map
// costs no allocation once they have grown.
thread_local std::vector<std::vector<MapField>> t_mapScratch;

// The map's fields in table order: byte-wise name order, of equal names the
// later one read only (as zor2map leaves them). Pure library work.
void readFields(zorClient_opaqueContainer_pt map_p, std::vector<MapField>& fields) {
    fields.clear();
    if (zorClient_container_rewind(map_p) != ZORCLIENT_OK) return;
    MapField f;
    zorClient_returnCode_t rc;
    bool sorted = true;
    while ((rc = zorClient_container_getNextField(map_p, &f.field, sizeof(f.field), &f.name)) == ZORCLIENT_OK) {
        if (f.name == nullptr) f.name = "";
        if (!fields.empty() && std::strcmp(fields.back().name, f.name) >= 0) sorted = false;
        fields.push_back(f);
    }
    if (rc != ZORCLIENT_EOS) {
        throw std::runtime_error(std::string("zor2map: cannot read the map container: ") +
                                 zorClient_getLastErrorInfo()->errorStr);
    }
    if (!sorted) {
        std::stable_sort(fields.begin(), fields.end(), [](const MapField& a, const MapField& b) {
            return std::strcmp(a.name, b.name) < 0;
        });
        // Of equal names only the last one read counts.
        auto last = std::unique(fields.rbegin(), fields.rend(), [](const MapField& a, const MapField& b) {
            return std::strcmp(a.name, b.name) == 0;
        });
        fields.erase(fields.begin(), last.base());
    }
}

void fillDict(PyObject* dict, const std::vector<MapField>& fields) {
    for (const MapField& f : fields) field2dictImpl(dict, f.name, f.field);
}

// New reference to a dict holding the nested map's fields.
PyObject* mapToDict(zorClient_opaqueContainer_pt map_p, int depth) {
    const size_t level = static_cast<size_t>(depth);
    auto& scratch = t_mapScratch;
    if (scratch.size() <= level) scratch.resize(level + 1);
    std::vector<MapField> fields;
    fields.swap(scratch[level]);
    // Handed back on every way out; the swap keeps it valid if the table of
    // levels grows meanwhile.
    struct GiveBack {
        std::vector<std::vector<MapField>>& all;
        std::vector<MapField>& v;
        size_t level;
        ~GiveBack() {
            if (all.size() > level) all[level].swap(v);
        }
    } giveBack{scratch, fields, level};

    readFields(map_p, fields);
    py::object d = py::reinterpret_steal<py::object>(newDict());
    fillDict(d.ptr(), fields);
    return d.release().ptr();
}

void field2dictImpl(PyObject* dict, const char* name, const zorClient_field_t& field) {
    const uint32_t code = rawType(field);
    switch (code) {
        case ZORCLIENT_BOOL: case ZORCLIENT_UINT8: case ZORCLIENT_INT8: case ZORCLIENT_UINT16:
        case ZORCLIENT_INT16: case ZORCLIENT_UINT32: case ZORCLIENT_INT32: case ZORCLIENT_UINT64:
        case ZORCLIENT_INT64: case ZORCLIENT_WCHAR: case ZORCLIENT_FLOAT: case ZORCLIENT_DOUBLE:
            setItem(dict, name, checked(numberOf(field)));
            return;
        case ZORCLIENT_STRING: {
            const char* text = field.value.string;
            // Byte strings travel as string fields under a "bytes..." name.
            if (startsWithBytes(name) && text != nullptr) {
                PyObject* b = PyBytes_FromString(text);
                if (b == nullptr) {
                    PyErr_Clear();
                    throw std::runtime_error("Could not allocate bytes object!");
                }
                setItem(dict, name, b);
            } else {
                setItem(dict, name, textOf(text));
            }
            return;
        }
        case ZORCLIENT_MAP: {
            DepthGuard depth(name);
            setItem(dict, name, mapToDict(field.value.map, depth.level()));
            return;
        }
        case ZORCLIENT_STREAM: {
            DepthGuard depth(name);
            py::object list = py::reinterpret_steal<py::object>(newList());
            walkStream(list.ptr(), field.value.stream);
            setItem(dict, name, list.release().ptr());
            return;
        }
        default:
            printf("pyzorvane/map2dict(%d): field: %s, field_type: %d\n", 69, name,
                   static_cast<int>(rawType(field)));
            return;
    }
}

void field2listImpl(PyObject* list, const zorClient_field_t& field) {
    const uint32_t code = rawType(field);
    switch (code) {
        case ZORCLIENT_BOOL: case ZORCLIENT_UINT8: case ZORCLIENT_INT8: case ZORCLIENT_UINT16:
        case ZORCLIENT_INT16: case ZORCLIENT_UINT32: case ZORCLIENT_INT32: case ZORCLIENT_UINT64:
        case ZORCLIENT_INT64: case ZORCLIENT_WCHAR: case ZORCLIENT_FLOAT: case ZORCLIENT_DOUBLE:
            append(list, checked(numberOf(field)));
            return;
        case ZORCLIENT_STRING:
            append(list, textOf(field.value.string));
            return;
        case ZORCLIENT_MAP: {
            DepthGuard depth(nullptr);
            append(list, mapToDict(field.value.map, depth.level()));
            return;
        }
        case ZORCLIENT_STREAM: {
            // A stream inside a stream adds its elements to the same list.
            DepthGuard depth(nullptr);
            walkStream(list, field.value.stream);
            return;
        }
        default:
            printf("pyzorvane/map2dict(%d): field: None, field_type: %d\n", 131, static_cast<int>(rawType(field)));
            return;
    }
}

}  // namespace

void map2dict(py::dict& dict, const char* /*name*/, std::map<std::string, zorClient_field_t>& vals) {
    for (auto& entry : vals) field2dictImpl(dict.ptr(), entry.first.c_str(), entry.second);
}

void readMapFields(std::vector<MapField>& fields, zorClient_opaqueContainer_pt map_p) { readFields(map_p, fields); }

void mapFields2dict(py::dict& dict, const std::vector<MapField>& fields) { fillDict(dict.ptr(), fields); }

void field2dict(py::dict& dict, const char* field_name, zorClient_field_t& field) {
    field2dictImpl(dict.ptr(), field_name ? field_name : "", field);
}

void stream2dict(py::dict& dict, const char* name, zorClient_opaqueContainer_pt container_p) {
    py::object list = py::reinterpret_steal<py::object>(newList());
    walkStream(list.ptr(), container_p);
    setItem(dict.ptr(), name ? name : "", list.release().ptr());
}

void field2list(py::list& pylist, zorClient_field_t& field) { field2listImpl(pylist.ptr(), field); }

void stream2list(py::list& pylist, zorClient_opaqueContainer_pt container_p) { walkStream(pylist.ptr(), container_p); }
