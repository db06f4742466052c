// Test-support module zormsg_testing: reaches native-only operations from
// pytest and the benchmarks. Built with the tests, never installed.
#pragma once

#include <pybind11/pybind11.h>

// Library containers and the converters between them and Python values.
void registerContainerTesting(pybind11::module_& m);
// Messages as native code sees them: adoption, received-style messages and
// the dictionary form.
void registerMessageTesting(pybind11::module_& m);
