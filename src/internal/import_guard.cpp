// What a failed import of zormsg leaves behind, taken away so the next import can start afresh.
#include "internal/import_guard.h"

#include <exception>

namespace py = pybind11;

void importguard::collectGarbage() {
    PyObject* gc = PyImport_ImportModule("gc");
    PyObject* done = gc != nullptr ? PyObject_CallMethod(gc, "collect", nullptr) : nullptr;
    if (done == nullptr) {
        PyErr_Clear();
        PyGC_Collect();
    }
    Py_XDECREF(done);
    Py_XDECREF(gc);
}

// pybind11's registry, created by the first pybind11 module that needs it.
// When that creation fails part-way it leaves the half-built registry in
// place, and every later import would use it and crash: forget it, so the
// next import builds a whole one.
bool loadInternals() {
    try {
        py::detail::get_internals();
        return true;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    py::detail::internals**& internals = py::detail::get_internals_pp();
    if (internals != nullptr) *internals = nullptr;
    return false;
}
