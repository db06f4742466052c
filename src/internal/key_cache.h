// Python str objects of short field names, kept for the next map: the dict
// keys of received maps repeat from message to message, and a str made once
// costs no decoding and no hashing (a str caches its hash) when it comes
// again. It pays on the bench rows "to_dict (map body)" (bench/run.py), where
// every field name is a key.
//
// A direct-mapped table touched only with the GIL held; an entry is replaced
// when another name lands on its slot. The references it holds are never
// released, on purpose: nothing may touch Python objects after the
// interpreter has gone. One table per module that links the converters.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

class KeyCache {
public:
    // New reference to the str of a field name, or null with no error set
    // when the name is not valid UTF-8.
    PyObject* strOf(const char* name) {
        const size_t len = std::strlen(name);
        if (len > kMaxLen) {
            PyObject* key = PyUnicode_DecodeUTF8(name, static_cast<Py_ssize_t>(len), nullptr);
            if (key == nullptr) PyErr_Clear();
            return key;
        }
        uint32_t h = 2166136261u;  // FNV-1a
        for (size_t i = 0; i < len; ++i) h = (h ^ static_cast<unsigned char>(name[i])) * 16777619u;
        Slot& slot = slots_[h & (kSlots - 1)];
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
        if (!hooked_) {
            hooked_ = true;
            Py_AtExit(forget);
        }
        PyObject* old = slot.str;
        Py_INCREF(key);
        slot.str = key;
        slot.len = static_cast<uint8_t>(len);
        std::memcpy(slot.name, name, len);
        Py_XDECREF(old);
        return key;
    }

private:
    static constexpr size_t kSlots = 1024;
    static constexpr size_t kMaxLen = 31;
    struct Slot {
        PyObject* str = nullptr;
        uint8_t len = 0;
        char name[kMaxLen];
    };
    Slot slots_[kSlots];
    bool hooked_ = false;

    // After the interpreter is gone the entries point at nothing: forget
    // them (without releasing) in case an embedding application starts a
    // new one.
    static void forget();
};

// The table of this module.
inline KeyCache& keyCache() {
    static KeyCache cache;
    return cache;
}

inline void KeyCache::forget() {
    for (Slot& slot : keyCache().slots_) slot.str = nullptr;
}
