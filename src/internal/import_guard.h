// What a failed import of zormsg leaves behind, taken away so the next import can start afresh.
#pragma once

#include <pybind11/pybind11.h>

#include <typeindex>
#include <typeinfo>

namespace importguard {

template <class T>
bool registered() {
    return pybind11::detail::get_global_type_info(typeid(T)) != nullptr;
}

// Empties the dict of T's type object if a failed import left T registered.
// An enumeration's members live in that dict and hold their type from
// objects the collector does not track, so the type would never be
// collected otherwise.
template <class T>
void emptyLeftover() {
    const pybind11::detail::type_info* info = pybind11::detail::get_global_type_info(typeid(T));
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
    pybind11::detail::internals& internals = pybind11::detail::get_internals();
    auto found = internals.registered_types_cpp.find(std::type_index(typeid(T)));
    if (found == internals.registered_types_cpp.end()) return;
    Py_INCREF(reinterpret_cast<PyObject*>(found->second->type));
    internals.registered_types_cpp.erase(found);
}

// Runs the cyclic collector, even when automatic collection is off.
void collectGarbage();

}  // namespace importguard

// Whether any of Types is in pybind11's registry.
template <class... Types>
bool anyTypeRegistered() {
    return (importguard::registered<Types>() || ...);
}

// A failed registration leaves half-built types in pybind11's registry,
// which would refuse them at the next import ("already registered"). Once
// the module is released and their dicts are empty they are garbage, and a
// pybind11 type that is collected takes itself out of the registry: so
// collect them now, even when automatic collection is off, keeping the
// pending error.
template <class... Types>
void releaseLeftoverTypes() {
    pybind11::error_scope pending;
    (importguard::emptyLeftover<Types>(), ...);
    importguard::collectGarbage();
    (importguard::detachLeftover<Types>(), ...);
}

// Creates pybind11's registry if need be. On failure an error is pending and
// a half-built registry is forgotten, so the next import builds a whole one.
bool loadInternals();
