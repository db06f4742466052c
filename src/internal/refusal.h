// A write the client library refused, raised in Python: MemoryError when the
// library ran out of memory, otherwise RuntimeError, each with the library's
// error text after `what`. Header writes raise only the first: any other
// refusal of theirs is the library refusing the value, which they drop.
#pragma once

#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>

#include "core/zormsg.h"

// `info` is the library's error record as the refused call left it.
[[noreturn]] inline void raiseRefusal(const std::string& what, const zorClient_errorInfo_t& info) {
    const std::string text = what + ": " + static_cast<const char*>(info.errorStr);
    if (isOutOfMemory(info)) {
        PyErr_SetString(PyExc_MemoryError, text.c_str());
        throw pybind11::error_already_set();
    }
    throw std::runtime_error(text);
}

// Call right after the refused library call (or after ContentTypeUndo::restore,
// which keeps the record): the thread's last error record must be the refusal's.
[[noreturn]] inline void raiseRefusal(const std::string& what) { raiseRefusal(what, *zorClient_getLastErrorInfo()); }

// For header writes (dest, reply2), right after the library call that gave
// `rc`: a value the library refuses is dropped and the old one stays, but a
// write it could not do for want of memory is not reported as done.
inline void raiseIfOutOfMemory(zorClient_returnCode_t rc, const char* what) {  // a text made only when raised
    if (rc != ZORCLIENT_OK && isOutOfMemory(*zorClient_getLastErrorInfo())) raiseRefusal(what);
}

// The text of a refused body write: "<who>: the message did not take the "<format>" body".
inline std::string refusedBody(const char* who, const std::string& format) {
    return std::string(who) + ": the message did not take the \"" + format + "\" body";
}
