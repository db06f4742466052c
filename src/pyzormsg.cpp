// PyZorMsg: the members behind zormsg.ZorMsg's properties, forwarding to the message core.
#include "pyzormsg.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <utility>

#include "body_bridge.h"
#include "body_view.h"
#include "internal/main_interpreter.h"
#include "internal/pyref.h"
#include "internal/refusal.h"
#include "internal/write_checks.h"

namespace py = pybind11;

namespace {

ZorMsg&& idle(ZorMsg& msg) {
    if (msg.converting) throw std::runtime_error("ZorMsg: a message cannot move while it is being converted");
    if (msg.body_views != 0) {
        PyErr_SetString(PyExc_BufferError, "ZorMsg: a message cannot move while a view of its body is exported");
        throw py::error_already_set();
    }
    return std::move(msg);
}

}  // namespace

void requireZormsgTypes() {
    // Refused without a pybind11::error_already_set (and before the import,
    // whose failure would be one): pybind11 destroys that by taking the GIL
    // with the main interpreter's thread state, which hangs a thread running
    // a subinterpreter (aborts it from 3.13 on). An import_error is set as
    // the Python error directly.
    if (!inMainInterpreter()) throw py::import_error(kMainInterpreterOnly);
    static bool ready = false;  // once registered, zormsg's types stay for the process
    if (ready) return;
    if (py::detail::get_global_type_info(typeid(PyZorMsg)) == nullptr) {
        py::module_::import("zormsg");
        if (py::detail::get_global_type_info(typeid(PyZorMsg)) == nullptr)
            throw py::type_error(
                "zormsg was imported but its ZorMsg type is not shared with this module (built with another "
                "pybind11?)");
    }
    checkSameClientLibrary();
    ready = true;
}

PyZorMsg::PyZorMsg() : msg() {}

PyZorMsg::PyZorMsg(zorClient_opaqueMsg_pt msg_p) : msg(msg_p) {}

PyZorMsg::PyZorMsg(ZorMsg& msg) : msg(idle(msg)) {}

PyZorMsg::PyZorMsg(std::string topic, const json& j, std::string format) : msg(topic, j, format, false, Direct) {}

PyZorMsg::~PyZorMsg() = default;

zorClient_opaqueMsg_pt PyZorMsg::ptr() { return msg.ptr(); }

std::string PyZorMsg::dump() { return msg.dump(); }

py::str PyZorMsg::repr() {
    const std::string text = msg.dump();
    return py::reinterpret_steal<py::str>(
        stealOrThrow(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace"))
            .release());
}

void PyZorMsg::setDestination(Destination d) {
    checkNoNul(d.dest, "dest");
    raiseIfOutOfMemory(msg.setDestination(d), "ZorMsg: the message did not take dest");
}

Destination PyZorMsg::getDestination() { return msg.getDestination(); }

void PyZorMsg::setReplyToDestination(Destination dest) {
    checkNoNul(dest.dest, "reply2");
    raiseIfOutOfMemory(msg.setReplyToDestination(dest), "ZorMsg: the message did not take reply2");
}

Destination PyZorMsg::getReplyToDestination() { return msg.getReplyToDestination(); }

bool PyZorMsg::isReply() { return msg.isReply(); }

void PyZorMsg::setAsReply(bool reply) { msg.setAsReply(reply); }

bool PyZorMsg::isRequest() { return msg.isRequest(); }

bool PyZorMsg::isP2P() { return msg.isP2P(); }

void PyZorMsg::setDeliveryMode(DeliveryMode mode) { msg.setDeliveryMode(mode); }

DeliveryMode PyZorMsg::getDeliveryMode() { return msg.getDeliveryMode(); }

void PyZorMsg::setElidingEligible(bool elide) { msg.setElidingEligible(elide); }

bool PyZorMsg::isElidingEligible() { return msg.isElidingEligible(); }

void PyZorMsg::setContentType(std::string str) {
    checkBodyFree(msg);
    checkNoNul(str, "content_type");
    raiseIfOutOfMemory(msg.setContentType(str), "ZorMsg: the message did not take content_type");
}

std::string PyZorMsg::getContentType() { return msg.getContentType(); }

void PyZorMsg::setBinaryAttachment(py::bytes buf) {
    checkBodyWritable(msg);
    PyObject* b = buf.ptr();
    const Py_ssize_t size = PyBytes_GET_SIZE(b);
    // The library stores a 32-bit length: refuse rather than store a body cut
    // to the low 32 bits of its length.
    if (static_cast<uint64_t>(size) > kMaxAttachmentSize)
        throw std::overflow_error("body of " + std::to_string(size) + " bytes exceeds the message's limit of " +
                                  std::to_string(kMaxAttachmentSize) + " bytes");
    if (msg.setBinaryAttachment(PyBytes_AS_STRING(b), static_cast<size_t>(size)) != ZORCLIENT_OK)
        raiseRefusal("ZorMsg: the message did not take the body");
}

py::bytes PyZorMsg::getBinaryAttachment() {
    Bytes view = msg.getBinaryAttachment();
    return py::reinterpret_steal<py::bytes>(
        stealOrThrow(PyBytes_FromStringAndSize(static_cast<const char*>(view.bytes_p), view.size)).release());
}

void PyZorMsg::setCorrlationId(std::string corrid) {
    checkNoNul(corrid, "correlation id");
    msg.setCorrlationId(corrid);
}

std::string PyZorMsg::getCorrlationId() { return msg.getCorrlationId(); }

void PyZorMsg::setDeliveryToOne(bool to_one) { msg.setDeliveryToOne(to_one); }

void PyZorMsg::setJsonBody(py::dict d) {
    checkBodyWritable(msg);
    bodyBridge().storeJson(msg, d);
}

py::dict PyZorMsg::getJsonBody() {
    BodyBridge& bridge = bodyBridge();
    return bridge.decodeJson(bodySource(*this));
}

void PyZorMsg::setMsgpackBody(py::dict d) {
    checkBodyWritable(msg);
    bodyBridge().storeMsgpack(msg, d);
}

py::dict PyZorMsg::getMsgpackBody() {
    BodyBridge& bridge = bodyBridge();
    return bridge.decodeMsgpack(bodySource(*this));
}

py::memoryview PyZorMsg::getBodyView() { return bodyView(*this); }
