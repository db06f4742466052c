// Owning references for the few places that call the C API directly (the
// measured hot paths): a new reference goes straight into a py::object.
#pragma once

#include <pybind11/pybind11.h>

// Takes a new reference; null means a Python error is pending and is thrown.
inline pybind11::object stealOrThrow(PyObject* obj) {
    if (obj == nullptr) throw pybind11::error_already_set();
    return pybind11::reinterpret_steal<pybind11::object>(obj);
}

// fn(arg) by the fastest call the interpreter offers; a new reference or null.
inline PyObject* callOne(pybind11::handle fn, PyObject* arg) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_CallOneArg(fn.ptr(), arg);
#else
    return PyObject_CallFunctionObjArgs(fn.ptr(), arg, nullptr);
#endif
}
