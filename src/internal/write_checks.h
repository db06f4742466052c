// Checks a Python-level write makes before it touches the message.
#pragma once

#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>

#include "core/zormsg.h"

// For setters that replace the body or the content type: a conversion holds
// pointers into the body while Python code runs.
inline void checkBodyFree(const ZorMsg& msg) {
    if (msg.converting)
        throw std::runtime_error(
            "ZorMsg: the body cannot change while the message is being converted (to_dict/from_dict)");
}

// For writes that replace the body: a view exported to Python points into it.
inline void checkBodyUnviewed(const ZorMsg& msg) {
    if (msg.body_views != 0) {
        PyErr_SetString(PyExc_BufferError,
                        "ZorMsg: the body cannot change while a view of it (body_view) is exported; release the "
                        "view first");
        throw pybind11::error_already_set();
    }
}

// For the setters that replace the body: both of the above.
inline void checkBodyWritable(const ZorMsg& msg) {
    checkBodyFree(msg);
    checkBodyUnviewed(msg);
}

// The checks above again, for a body write during which Python code ran (an
// encoder, a GIL release): it may have taken a view or started a conversion
// since. Called right before the write, with no Python code in between. A
// caller that holds the message's conversion mark itself (from_dict) passes
// `ownConversion`. A refusal first puts back what `undo` holds.
inline void checkBodyStillWritable(const ZorMsg& msg, const ContentTypeUndo* undo, bool ownConversion = false) {
    if (msg.body_views == 0 && (ownConversion || !msg.converting)) return;
    if (undo != nullptr) undo->restore();
    if (!ownConversion) checkBodyFree(msg);
    checkBodyUnviewed(msg);
}

inline void checkNoNul(const std::string& text, const char* what) {
    if (hasNul(text)) throw pybind11::value_error(std::string("embedded null character in ") + what);
}
