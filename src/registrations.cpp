// Registration of every type zormsg shows to Python, one function per concept.
#include "registrations.h"

#include <string>

#include "core/zormsg.h"
#include "internal/fast_property.h"
#include "internal/unconstructed.h"
#include "pyzormsg.h"

namespace py = pybind11;

namespace {

// pybind11 makes an enumeration value of any int it is given. A number that
// is none of the library's destination types cannot be held in the library's
// enumeration without undefined behaviour (and the library would drop a
// destination carrying it); a delivery mode the library does not know would
// reach it and be sent. Construction and unpickling refuse both.
zorClient_destinationType checkedDestinationType(py::enum_<zorClient_destinationType>::Scalar value) {
    if (!isDestinationType(value))
        throw py::value_error(std::to_string(value) + " is not a valid DestinationType (-1 to 3)");
    return static_cast<zorClient_destinationType>(value);
}

DeliveryMode checkedDeliveryMode(py::enum_<DeliveryMode>::Scalar value) {
    if (value != Direct && value != Persistent && value != NonPersistent)
        throw py::value_error(std::to_string(value) + " is not a valid DeliveryMode (0, 16 or 32)");
    return static_cast<DeliveryMode>(value);
}

template <class Enum, Enum (*Checked)(typename py::enum_<Enum>::Scalar)>
py::enum_<Enum>& refuseUnknownValues(py::enum_<Enum>& cls) {
    using Scalar = typename py::enum_<Enum>::Scalar;
    py::delattr(cls, "__init__");  // pybind11's own, which takes any int
    cls.def(py::init([](Scalar value) { return Checked(value); }), py::arg("value"));
    cls.attr("__setstate__") = py::cpp_function(
        [](py::detail::value_and_holder& v_h, Scalar state) {
            py::detail::initimpl::setstate<py::class_<Enum>>(v_h, Checked(state), Py_TYPE(v_h.inst) != v_h.type->type);
        },
        py::detail::is_new_style_constructor(), py::name("__setstate__"), py::is_method(cls), py::arg("state"));
    return cls;
}

}  // namespace

void registerEnums(py::module_& m) {
    py::enum_<zorClient_destinationType> destinationType(m, "DestinationType", py::arithmetic(),
                                                         "Zorvane Msg DestinationType");
    refuseUnknownValues<zorClient_destinationType, checkedDestinationType>(destinationType)
        .value("Null", ZORCLIENT_NULL_DESTINATION, "Null")
        .value("Topic", ZORCLIENT_TOPIC_DESTINATION, "Topic")
        .value("Queue", ZORCLIENT_QUEUE_DESTINATION, "Queue")
        .value("TopicTemp", ZORCLIENT_TOPIC_TEMP_DESTINATION, "TopicTemp")
        .value("QueueTemp", ZORCLIENT_QUEUE_TEMP_DESTINATION, "QueueTemp")
        .export_values();

    py::enum_<DeliveryMode> deliveryMode(m, "DeliveryMode", py::arithmetic(), "Zorvane Msg DeliveryMode");
    refuseUnknownValues<DeliveryMode, checkedDeliveryMode>(deliveryMode)
        .value("Direct", Direct, "Direct")
        .value("Persistent", Persistent, "Persistent")
        .value("NonPersistent", NonPersistent, "NonPersistent")
        .export_values();
    refuseUnconstructedUse<zorClient_destinationType>();
    refuseUnconstructedUse<DeliveryMode>();
}

void registerDestination(py::module_& m) {
    py::class_<Destination> cls(m, "Destination");
    cls.def(py::init<const std::string&, const zorClient_destinationType&>(), py::arg("dest"),
            py::arg_v("dest_type", ZORCLIENT_TOPIC_DESTINATION));
    fastprop::field<&Destination::destType>(cls, "dest_type");
    fastprop::field<&Destination::dest>(cls, "dest");
    refuseUnconstructedUse<Destination>();
}

void registerZorMsg(py::module_& m) {
    py::class_<PyZorMsg> cls(m, "ZorMsg");
    cls.def(py::init<>())
        // Through a reference: the binding takes None for a pointer `self` and
        // calls through it; a reference refuses None with its usual TypeError.
        .def("__repr__", [](PyZorMsg& self) { return self.repr(); });
    // Each property registered once, with the binding's texts and conversions
    // and the fast accessors over them.
    using fastprop::property;
    property<&PyZorMsg::getDestination, &PyZorMsg::setDestination>(cls, "dest");
    property<&PyZorMsg::getReplyToDestination, &PyZorMsg::setReplyToDestination>(cls, "reply2");
    property<&PyZorMsg::isReply, &PyZorMsg::setAsReply>(cls, "is_reply");
    property<&PyZorMsg::isRequest>(cls, "is_request");
    property<&PyZorMsg::isP2P>(cls, "is_p2p");
    property<&PyZorMsg::getDeliveryMode, &PyZorMsg::setDeliveryMode>(cls, "delivery_mode");
    property<&PyZorMsg::getContentType, &PyZorMsg::setContentType>(cls, "content_type");
    property<&PyZorMsg::isElidingEligible, &PyZorMsg::setElidingEligible>(cls, "elide");
    property<&PyZorMsg::getJsonBody, &PyZorMsg::setJsonBody>(cls, "json");
    property<&PyZorMsg::getMsgpackBody, &PyZorMsg::setMsgpackBody>(cls, "msgpack");
    property<&PyZorMsg::getBinaryAttachment, &PyZorMsg::setBinaryAttachment>(cls, "body");
    property<&PyZorMsg::getBodyView>(cls, "body_view");
    refuseUnconstructedUse<PyZorMsg>();
}
