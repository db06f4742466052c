// What a failed import of zormsg leaves behind, taken away so the next import can start afresh.
#include "internal/import_guard.h"

#include <typeindex>

#include "core/zormsg.h"
#include "pyzormsg.h"

namespace py = pybind11;

namespace {

template <class T>
bool registered() {
    return py::detail::get_global_type_info(typeid(T)) != nullptr;
}

// Empties the dict of T's type object if a failed import left T registered.
// An enumeration's members live in that dict and hold their type from
// objects the collector does not track, so the type would never be
// collected otherwise.
template <class T>
void emptyLeftover() {
    const py::detail::type_info* info = py::detail::get_global_type_info(typeid(T));
    if (info == nullptr) return;
    PyObject* type = reinterpret_cast<PyObject*>(info->type);
    Py_INCREF(type);
    PyDict_Clear(info->type->tp_dict);
    PyType_Modified(info->type);
    Py_DECREF(type);
}

// Takes T out of pybind11's registry if its type object outlived the
// collection: pybind11 leaks a function object (and the defaults it holds,
// such as a DestinationType member) when it cannot allocate the method that
// wraps it. The old type is kept for good, so its stray instances still find
// their type information through it, and it never unregisters the new one.
template <class T>
void detachLeftover() {
    py::detail::internals& internals = py::detail::get_internals();
    auto found = internals.registered_types_cpp.find(std::type_index(typeid(T)));
    if (found == internals.registered_types_cpp.end()) return;
    Py_INCREF(reinterpret_cast<PyObject*>(found->second->type));
    internals.registered_types_cpp.erase(found);
}

}  // namespace

bool anyTypeRegistered() {
    return registered<zorClient_destinationType>() || registered<DeliveryMode>() || registered<Destination>() ||
           registered<PyZorMsg>();
}

// A failed registration leaves half-built types in pybind11's registry,
// which would refuse them at the next import ("already registered"). Once
// the module is released and their dicts are empty they are garbage, and a
// pybind11 type that is collected takes itself out of the registry: so
// collect them now, even when automatic collection is off, keeping the
// pending error.
void releaseLeftoverTypes() {
    py::error_scope pending;
    emptyLeftover<zorClient_destinationType>();
    emptyLeftover<DeliveryMode>();
    emptyLeftover<Destination>();
    emptyLeftover<PyZorMsg>();
    PyObject* gc = PyImport_ImportModule("gc");
    PyObject* done = gc != nullptr ? PyObject_CallMethod(gc, "collect", nullptr) : nullptr;
    if (done == nullptr) {
        PyErr_Clear();
        PyGC_Collect();
    }
    Py_XDECREF(done);
    Py_XDECREF(gc);
    detachLeftover<zorClient_destinationType>();
    detachLeftover<DeliveryMode>();
    detachLeftover<Destination>();
    detachLeftover<PyZorMsg>();
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
