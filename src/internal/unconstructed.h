// Instances whose __init__ never ran: refused with a TypeError instead of used.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>
#include <typeinfo>

// `Cls.__new__(Cls)` makes an instance without its C++ object. The first
// function that takes such an instance has pybind11 allocate raw memory for
// the object and run the members on it unconstructed: a garbage string, a
// garbage library handle. That allocation, and nothing else, goes through the
// type's operator_new hook; pointing the hook here turns the use into an error.
template <class T>
void* refuseUnconstructed(std::size_t) {
    const pybind11::detail::type_info* info = pybind11::detail::get_type_info(typeid(T));
    throw pybind11::type_error(std::string(info != nullptr ? info->type->tp_name : typeid(T).name()) +
                               ": the object is not initialised (its __init__ was not called)");
}

// For a type just registered.
template <class T>
void refuseUnconstructedUse() {
    pybind11::detail::get_type_info(typeid(T), true)->operator_new = &refuseUnconstructed<T>;
}
