// Texts the converters' errors share: field names and the nesting errors.
#include "internal/field_label.h"

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstring>

#include "core/vocabulary.h"

namespace py = pybind11;

std::string fieldLabel(const char* name, size_t len, size_t shown) {
    std::string text(name, std::min(len, shown));
    PyObject* probe = text.find('\0') == std::string::npos
                          ? PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr)
                          : nullptr;
    if (probe != nullptr) {
        Py_DECREF(probe);
    } else {
        PyErr_Clear();
        static const char hex[] = "0123456789abcdef";
        std::string escaped;
        for (unsigned char ch : text) {
            if (ch >= 0x80 || ch == 0) {
                escaped += "\\x";
                escaped += hex[ch >> 4];
                escaped += hex[ch & 15];
            } else {
                escaped += static_cast<char>(ch);
            }
        }
        text.swap(escaped);
    }
    return "field '" + text + (len > shown ? "...'" : "'");
}

std::string fieldLabel(const char* name, const char* unnamed, size_t shown) {
    if (name == nullptr) return unnamed;
    return fieldLabel(name, std::strlen(name), shown);
}

void raiseTooDeep(const char* what, const char* at, const char* name, const char* unnamed, size_t shown) {
    const std::string msg = std::string(what) + " nested deeper than " + std::to_string(kMaxNestingDepth) + " levels " +
                            at + " " + fieldLabel(name, unnamed, shown);
    PyErr_SetString(PyExc_RecursionError, msg.c_str());
    throw py::error_already_set();
}

void raiseNoStack(const char* what, int depth, const char* at, const char* name, const char* unnamed, size_t shown) {
    const std::string msg = std::string(what) + " nested " + std::to_string(depth) + " levels deep " + at + " " +
                            fieldLabel(name, unnamed, shown) + " need more stack than this thread has left";
    PyErr_SetString(PyExc_RecursionError, msg.c_str());
    throw py::error_already_set();
}
