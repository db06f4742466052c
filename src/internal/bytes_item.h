// The search both directions make for the embedded JSON text of a
// "bytes/json" body: the first dict item whose key begins with "bytes".
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "core/vocabulary.h"

struct BytesItem {
    const char* key = nullptr;  // into the key object, or into the spare
    size_t keyLen = 0;
    PyObject* value = nullptr;  // borrowed; null when no key begins with "bytes"
};

// Keys are read as str (UTF-8) or bytes; any other key, or a str that cannot
// be encoded, raises pybind11's cast error, as a written key would. `spare`
// holds a key pybind11 had to convert.
inline BytesItem firstBytesItem(PyObject* dict, std::string& spare) {
    Py_ssize_t pos = 0;
    PyObject* rawKey;
    PyObject* rawValue;
    while (PyDict_Next(dict, &pos, &rawKey, &rawValue)) {
        Py_ssize_t keyLen = 0;
        const char* key = nullptr;
        if (PyUnicode_Check(rawKey)) {
            key = PyUnicode_AsUTF8AndSize(rawKey, &keyLen);
        } else if (PyBytes_Check(rawKey)) {
            key = PyBytes_AS_STRING(rawKey);
            keyLen = PyBytes_GET_SIZE(rawKey);
        }
        if (key == nullptr) {
            PyErr_Clear();
            spare = pybind11::cast<std::string>(pybind11::handle(rawKey));
            key = spare.c_str();
            keyLen = static_cast<Py_ssize_t>(spare.size());
        }
        if (isBytesKey(key, static_cast<size_t>(keyLen))) return {key, static_cast<size_t>(keyLen), rawValue};
    }
    return {};
}
