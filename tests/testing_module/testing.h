// Test-support module zormsg_testing: reaches native-only operations from
// pytest and the benchmarks. Built with the tests, never installed.
#pragma once

#include <pybind11/pybind11.h>
#include <zorclient.h>

#include <stdexcept>
#include <string>

// A library call that must succeed: RuntimeError "<what> failed: <library's text>" otherwise.
inline void check(zorClient_returnCode_t rc, const char* what) {
    if (rc != ZORCLIENT_OK)
        throw std::runtime_error(std::string(what) + " failed: " + zorClient_getLastErrorInfo()->errorStr);
}

// Library containers and the converters between them and Python values.
void registerContainerTesting(pybind11::module_& m);
// Messages as native code sees them: adoption, received-style messages and
// the dictionary form.
void registerMessageTesting(pybind11::module_& m);
