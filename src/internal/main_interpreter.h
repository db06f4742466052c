// Whether the running interpreter is the main one: zormsg serves no other.
#pragma once

#include <Python.h>

// The module's state lives in the process, not in an interpreter: the
// pybind11 registry, the body bridge's callables, the type objects. Any other
// interpreter would use the main one's objects, or build its own registry
// over them, and hang or corrupt memory.
inline bool inMainInterpreter() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_Get() == PyInterpreterState_Main();
#else
    return PyThreadState_Get()->interp == PyInterpreterState_Main();
#endif
}

// The ImportError's text, for an import of zormsg in a subinterpreter and for
// a message handed to Python there.
constexpr const char* kMainInterpreterOnly =
    "zormsg can only be imported in the main interpreter, not in a subinterpreter";
