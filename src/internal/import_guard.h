// What a failed import of zormsg leaves behind, taken away so the next import can start afresh.
#pragma once

#include <pybind11/pybind11.h>

// Whether any of zormsg's types is in pybind11's registry.
bool anyTypeRegistered();

// Empties and collects the types a failed import left registered, and takes
// out of the registry those that outlive the collection. Keeps the pending
// Python error.
void releaseLeftoverTypes();

// Creates pybind11's registry if need be. On failure an error is pending and
// a half-built registry is forgotten, so the next import builds a whole one.
bool loadInternals();
