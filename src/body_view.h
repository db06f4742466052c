// Views of a message's attachment for Python without a copy: ZorMsg.body_view and the decoders' input.
#pragma once

#include <pybind11/pybind11.h>

class PyZorMsg;

// A read-only memoryview (format "B") over the attachment of `msg`, which the
// library holds. The view keeps the Python object of `msg` alive, and while
// it or any view made from it lives, the Python layer refuses body writes
// (BufferError). Raises TypeError for a message that has no Python object.
pybind11::memoryview bodyView(PyZorMsg& msg);

// What a decoder reads the body of `msg` from: a view as above when the body
// is large and the message has a Python object, a bytes copy otherwise
// (cheaper for small bodies than the view's two objects).
pybind11::object bodySource(PyZorMsg& msg);
