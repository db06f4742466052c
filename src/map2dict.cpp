// map2dict: the library's containers and fields read into Python dicts and lists.
#include "map2dict.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/scope_exit.h"
#include "internal/field_label.h"
#include "internal/key_cache.h"
#include "internal/scratch.h"
#include "utils.h"

namespace py = pybind11;

namespace {

// What the messages call an element of a stream, which has no name.
constexpr const char* kStreamElement = "a stream element";

// A read level keeps about 230 bytes of stack, and what runs after the last
// check (a field, a diagnostic line, an exception) needs less than this: a
// thread of 128 KiB still reads the whole nesting limit.
constexpr size_t kReadStackReserve = size_t(8) << 10;

// One more read level: the depth count, raised. Out of line, so the checks
// add nothing to the frames every level keeps.
__attribute__((noinline)) int& enterLevel(const char* name) {
    ConversionScratch& scratch = conversionScratch();
    int& depth = scratch.readDepth;
    if (depth >= kMaxNestingDepth) raiseTooDeep("map2dict: containers", "at", name, kStreamElement);
    scratch.stack.learn();
    if (scratch.stack.left() < kReadStackReserve)
        raiseNoStack("map2dict: containers", depth + 1, "at", name, kStreamElement);
    ++depth;
    return depth;
}

inline PyObject* checked(PyObject* obj) {
    if (obj == nullptr) throw py::error_already_set();
    return obj;
}

// New reference to the str of a text field; a null text is None.
inline PyObject* newStrOrNone(const char* text) {
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

// A field name that does not decode: the UnicodeDecodeError of strict UTF-8,
// its reason naming the field (the name's bytes are its `object`).
[[noreturn]] __attribute__((noinline, cold)) void raiseUndecodableName(const char* name) {
    const Py_ssize_t len = static_cast<Py_ssize_t>(std::strlen(name));
    PyObject* probe = PyUnicode_DecodeUTF8(name, len, nullptr);
    if (probe != nullptr || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        // No memory (or it decodes after all): the error as it always was.
        Py_XDECREF(probe);
        PyErr_Clear();
        throw std::runtime_error("Could not allocate string object!");
    }
    py::error_already_set original;
    Py_ssize_t start = 0, end = 0;
    PyObject* value = original.value().ptr();
    py::object reason = py::reinterpret_steal<py::object>(PyUnicodeDecodeError_GetReason(value));
    if (!reason || PyUnicodeDecodeError_GetStart(value, &start) < 0 || PyUnicodeDecodeError_GetEnd(value, &end) < 0) {
        PyErr_Clear();
        original.restore();
        throw py::error_already_set();
    }
    const char* why = PyUnicode_AsUTF8(reason.ptr());
    const std::string text =
        std::string(why ? why : "invalid data") + " in the name of " + fieldLabel(name, kStreamElement);
    PyErr_Clear();
    PyObject* err = PyUnicodeDecodeError_Create("utf-8", name, len, start, end, text.c_str());
    if (err == nullptr) throw py::error_already_set();
    PyErr_SetObject(PyExc_UnicodeDecodeError, err);
    Py_DECREF(err);
    throw py::error_already_set();
}

// dict[name] = value; steals value.
void setItem(PyObject* dict, const char* name, PyObject* value) {
    py::object owned = py::reinterpret_steal<py::object>(value);
    PyObject* key = keyCache().strOf(name);
    if (key == nullptr) raiseUndecodableName(name);
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
void field2listImpl(PyObject* list, const zorClient_field_t& field, bool owned);
PyObject* nestedValue(const zorClient_field_t& field, const char* name);

// A nested container a field names cannot be read: closed, or never valid.
// Reading it as empty would pass for its content.
[[noreturn]] void raiseUnreadable(const char* what, const char* name) {
    throw std::runtime_error(std::string("map2dict: cannot read the nested ") + what + " of " +
                             fieldLabel(name, kStreamElement) + ": " + zorClient_getLastErrorInfo()->errorStr);
}

// New reference to the bytes of a byte-array field.
PyObject* bytesOf(const zorClient_field_t& field, const char* name) {
    const char* data = reinterpret_cast<const char*>(field.value.bytearray);
    if (data == nullptr) {
        if (field.length != 0) {
            throw std::runtime_error("map2dict: the byte array of " + fieldLabel(name, kStreamElement) +
                                     " has a length but no data");
        }
        data = "";
    }
    PyObject* b = PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(field.length));
    if (b == nullptr) throw py::error_already_set();
    return b;
}

// `nested`: container_p came from a field (unreadable is an error) rather
// than from the caller as the container to read (unreadable reads as empty).
// `who`: the function its errors name.
void walkStream(PyObject* list, zorClient_opaqueContainer_pt container_p, bool nested, const char* name,
                const char* who) {
    if (zorClient_container_rewind(container_p) != ZORCLIENT_OK) {
        if (nested) raiseUnreadable("stream", name);
        return;
    }
    zorClient_field_t field;
    zorClient_returnCode_t rc;
    while ((rc = zorClient_container_getNextField(container_p, &field, sizeof(field), nullptr)) == ZORCLIENT_OK) {
        field2listImpl(list, field, true);
    }
    if (rc != ZORCLIENT_EOS) {
        throw std::runtime_error(std::string(who) +
                                 ": cannot read the stream container: " + zorClient_getLastErrorInfo()->errorStr);
    }
}

// Read lists for nested maps, one per nesting level (up to kKeptLevels),
// reused so a nested map costs no allocation once they have grown; capped at
// kKeptFields like the body's list.

// Byte-wise name order, as strcmp's. Names mostly differ in their first
// byte, which is compared here without a call.
inline int compareNames(const char* a, const char* b) {
    const unsigned char x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
    if (x != y) return x < y ? -1 : 1;
    return x == 0 ? 0 : std::strcmp(a + 1, b + 1);
}

// Maps up to this wide (most) are put in name order by insertion.
constexpr size_t kInsertionSortMax = 16;

// Closes the nested handles still open among fields[from..].
void closeOpenFields(const std::vector<MapField>& fields, size_t from) {
    for (size_t i = from; i < fields.size(); ++i) {
        if (isContainerField(fields[i].field)) closeNested(fields[i].field.value.map);
    }
}

// The map's fields in table order: byte-wise name order, of equal names the
// later one read only (as zor2map leaves them). The nested handles of the
// fields kept stay open, the others are closed. Pure library work. `who`:
// the function its errors name.
void readFields(zorClient_opaqueContainer_pt map_p, std::vector<MapField>& fields, bool nested, const char* name,
                const char* who) {
    fields.clear();
    if (zorClient_container_rewind(map_p) != ZORCLIENT_OK) {
        if (nested) raiseUnreadable("map", name);
        return;
    }
    // Closes what is open on a way out by exception (a damaged map, no memory).
    bool done = false;
    ScopeExit onError([&] {
        if (!done) closeOpenFields(fields, 0);
    });
    MapField f;
    zorClient_returnCode_t rc;
    bool sorted = true;
    while ((rc = zorClient_container_getNextField(map_p, &f.field, sizeof(f.field), &f.name)) == ZORCLIENT_OK) {
        if (f.name == nullptr) f.name = "";
        if (!fields.empty() && compareNames(fields.back().name, f.name) >= 0) sorted = false;
        try {
            fields.push_back(f);
        } catch (...) {
            if (isContainerField(f.field)) closeNested(f.field.value.map);
            throw;
        }
    }
    if (rc != ZORCLIENT_EOS) {
        throw std::runtime_error(std::string(who) +
                                 ": cannot read the map container: " + zorClient_getLastErrorInfo()->errorStr);
    }
    if (!sorted) {
        auto less = [](const MapField& a, const MapField& b) { return compareNames(a.name, b.name) < 0; };
        if (fields.size() <= kInsertionSortMax) {
            // Stable too, and without the temporary buffer stable_sort allocates.
            for (size_t i = 1; i < fields.size(); ++i) {
                const MapField f = fields[i];
                size_t j = i;
                for (; j > 0 && less(f, fields[j - 1]); --j) fields[j] = fields[j - 1];
                fields[j] = f;
            }
        } else {
            std::stable_sort(fields.begin(), fields.end(), less);
        }
        // Of equal names only the last one read counts; the others' handles
        // are closed here.
        size_t out = 0;
        for (size_t i = 0; i < fields.size(); ++i) {
            if (i + 1 < fields.size() && compareNames(fields[i].name, fields[i + 1].name) == 0) {
                if (isContainerField(fields[i].field)) closeNested(fields[i].field.value.map);
                continue;
            }
            fields[out++] = fields[i];
        }
        fields.resize(out);
    }
    done = true;
}

// Adds the fields to dict in order, closing each nested handle once its
// contents are converted, and the ones not reached on a way out by exception.
void fillDict(PyObject* dict, const std::vector<MapField>& fields) {
    size_t next = 0;
    ScopeExit rest([&] {
        if (next < fields.size()) closeOpenFields(fields, next);
    });
    while (next < fields.size()) {
        const MapField& f = fields[next++];
        const zorClient_opaqueContainer_pt nested = isContainerField(f.field) ? f.field.value.map : nullptr;
        ScopeExit closer([nested] { closeNested(nested); });
        field2dictImpl(dict, f.name, f.field);
    }
}

// New reference to a dict holding the nested map's fields.
PyObject* mapToDict(zorClient_opaqueContainer_pt map_p, int depth, const char* name) {
    const size_t level = static_cast<size_t>(depth);
    std::vector<MapField> fields;
    auto& scratch = conversionScratch().mapLevels;
    if (level < kKeptLevels) {
        if (scratch.size() <= level) scratch.resize(level + 1);
        fields.swap(scratch[level]);
    }
    // Handed back on every way out unless it grew too large; the swap keeps
    // it valid if the table of levels grows meanwhile.
    ScopeExit giveBack([&] {
        if (level < scratch.size() && fields.capacity() <= kKeptFields) scratch[level].swap(fields);
    });

    readFields(map_p, fields, true, name, "map2dict");
    py::object d = py::reinterpret_steal<py::object>(newDict());
    fillDict(d.ptr(), fields);
    return d.release().ptr();
}

// New reference to the value of a nested map (a dict) or stream (a list).
PyObject* nestedValue(const zorClient_field_t& field, const char* name) {
    int& depth = enterLevel(name);  // one look-up of the scratch per level
    ScopeExit leave([&depth] { --depth; });
    if (rawType(field) == ZORCLIENT_MAP) return mapToDict(field.value.map, depth, name);
    py::object list = py::reinterpret_steal<py::object>(newList());
    walkStream(list.ptr(), field.value.stream, true, name, "map2dict");
    return list.release().ptr();
}

// The one conversion of a field record into a Python value, for the dict and
// the list alike: a new reference, or null for a type without conversion
// (the caller prints its diagnostic line). `name` is null in a stream.
PyObject* valueOf(const zorClient_field_t& field, const char* name) {
    switch (rawType(field)) {
        case ZORCLIENT_BOOL: return checked(PyLong_FromLong(field.value.boolean));
        case ZORCLIENT_UINT8: return checked(PyLong_FromLong(field.value.uint8));
        case ZORCLIENT_INT8: return checked(PyLong_FromLong(field.value.int8));
        case ZORCLIENT_UINT16: return checked(PyLong_FromLong(field.value.uint16));
        case ZORCLIENT_INT16: return checked(PyLong_FromLong(field.value.int16));
        case ZORCLIENT_UINT32: return checked(PyLong_FromUnsignedLong(field.value.uint32));
        case ZORCLIENT_INT32: return checked(PyLong_FromLong(field.value.int32));
        case ZORCLIENT_UINT64: return checked(PyLong_FromUnsignedLongLong(field.value.uint64));
        case ZORCLIENT_INT64: return checked(PyLong_FromLongLong(field.value.int64));
        case ZORCLIENT_WCHAR: return checked(PyLong_FromUnsignedLong(field.value.wchar));
        case ZORCLIENT_FLOAT: return checked(PyFloat_FromDouble(static_cast<double>(field.value.float32)));
        case ZORCLIENT_DOUBLE: return checked(PyFloat_FromDouble(field.value.float64));
        case ZORCLIENT_STRING: {
            const char* text = field.value.string;
            // Byte strings travel as string fields under a "bytes..." name.
            if (startsWithBytes(name) && text != nullptr) {
                PyObject* b = PyBytes_FromString(text);
                if (b == nullptr) {
                    PyErr_Clear();
                    throw std::runtime_error("Could not allocate bytes object!");
                }
                return b;
            }
            return newStrOrNone(text);
        }
        case ZORCLIENT_BYTEARRAY: return bytesOf(field, name);
        case ZORCLIENT_MAP:
        case ZORCLIENT_STREAM: return nestedValue(field, name);
        default: return nullptr;
    }
}

void field2dictImpl(PyObject* dict, const char* name, const zorClient_field_t& field) {
    if (PyObject* value = valueOf(field, name)) {
        setItem(dict, name, value);
    } else {
        printf("pyzorvane/map2dict(%d): field: %s, field_type: %d\n", 69, name, static_cast<int>(rawType(field)));
    }
}

// `owned`: the field comes from a walk of ours, which opened its nested
// handle; closed once converted.
void field2listImpl(PyObject* list, const zorClient_field_t& field, bool owned) {
    const bool container = isContainerField(field);
    const zorClient_opaqueContainer_pt nested = owned && container ? field.value.map : nullptr;
    ScopeExit closer([nested] { closeNested(nested); });
    if (container && rawType(field) == ZORCLIENT_STREAM) {
        // A stream inside a stream adds its elements to the same list.
        int& depth = enterLevel(nullptr);
        ScopeExit leave([&depth] { --depth; });
        walkStream(list, field.value.stream, true, nullptr, "map2dict");
        return;
    }
    if (PyObject* value = valueOf(field, nullptr)) {
        append(list, value);
    } else {
        printf("pyzorvane/map2dict(%d): field: None, field_type: %d\n", 131, static_cast<int>(rawType(field)));
    }
}

}  // namespace

void map2dict(py::dict& dict, const char* /*name*/, std::map<std::string, zorClient_field_t>& vals) {
    for (auto& entry : vals) field2dictImpl(dict.ptr(), entry.first.c_str(), entry.second);
}

void readMapFields(std::vector<MapField>& fields, zorClient_opaqueContainer_pt map_p) {
    readFields(map_p, fields, false, nullptr, "readMapFields");
}

void mapFields2dict(py::dict& dict, const std::vector<MapField>& fields) { fillDict(dict.ptr(), fields); }

void field2dict(py::dict& dict, const char* field_name, zorClient_field_t& field) {
    field2dictImpl(dict.ptr(), field_name ? field_name : "", field);
}

void stream2dict(py::dict& dict, const char* name, zorClient_opaqueContainer_pt container_p) {
    py::object list = py::reinterpret_steal<py::object>(newList());
    walkStream(list.ptr(), container_p, false, name, "stream2dict");
    setItem(dict.ptr(), name ? name : "", list.release().ptr());
}

void field2list(py::list& pylist, zorClient_field_t& field) { field2listImpl(pylist.ptr(), field, false); }

void stream2list(py::list& pylist, zorClient_opaqueContainer_pt container_p) {
    walkStream(pylist.ptr(), container_p, false, nullptr, "stream2list");
}
