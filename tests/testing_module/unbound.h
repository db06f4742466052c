// Test-module functions called without pybind11's dispatcher, for tests that switch greenlets inside them.
//
// While a pybind11 function runs, the binding keeps a frame on a per-thread
// stack; greenlets switching inside two such calls pop each other's frames and
// the process ends. These functions run zormsg's own code directly, as the
// module's fast accessors do, so the tests see what zormsg does, not that.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "internal/fast_property.h"

namespace unbound {

namespace py = pybind11;

using Impl = py::object (*)(PyObject* const* args, Py_ssize_t nargs);

template <Impl F>
PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return fastprop::guarded([&] { return F(args, nargs).release().ptr(); });
}

// Registers F as module function `name`.
template <Impl F>
void def(py::module_& m, const char* name, const char* doc) {
    static PyMethodDef method{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call<F>)),
                              METH_FASTCALL, doc};
    PyObject* fn = PyCFunction_NewEx(&method, nullptr, m.attr("__name__").ptr());
    if (fn == nullptr) throw py::error_already_set();
    m.attr(name) = py::reinterpret_steal<py::object>(fn);
}

// The arguments, counted: TypeError unless there are `n` of them.
inline void expect(const char* name, Py_ssize_t nargs, Py_ssize_t n) {
    if (nargs != n) throw py::type_error(std::string(name) + "() takes " + std::to_string(n) + " arguments");
}

}  // namespace unbound
