// Import entry of the extension module zormsg and the registration of every
// type it shows to Python.
//
// The entry is written out rather than taken from PYBIND11_MODULE so that a
// failed registration reaches Python as an ImportError carrying the failure's
// own text, and a module that cannot be created fails the import instead of
// throwing out of a C function.
#include <pybind11/pybind11.h>

#include <cstring>
#include <exception>
#include <string>

#include "core/zormsg.h"
#include "pyzormsg.h"

namespace py = pybind11;

namespace {

// Registration, one function per concept, called in this order: the
// enumerations first (Destination's constructor converts its default
// DestinationType when it is registered), then Destination, then ZorMsg.

// pybind11 makes an enumeration value of any int it is given, but a number
// that is none of the library's destination types cannot be held in the
// library's enumeration without undefined behaviour (and the library would
// drop a destination carrying it). Construction and unpickling refuse it.
using DestinationTypeEnum = py::enum_<zorClient_destinationType>;

zorClient_destinationType checkedDestinationType(DestinationTypeEnum::Scalar value) {
    if (!isDestinationType(value))
        throw py::value_error(std::to_string(value) + " is not a valid DestinationType (-1 to 3)");
    return static_cast<zorClient_destinationType>(value);
}

DestinationTypeEnum& refuseUnknownValues(DestinationTypeEnum& cls) {
    using Scalar = DestinationTypeEnum::Scalar;
    py::delattr(cls, "__init__");  // pybind11's own, which takes any int
    cls.def(py::init([](Scalar value) { return checkedDestinationType(value); }), py::arg("value"));
    cls.attr("__setstate__") = py::cpp_function(
        [](py::detail::value_and_holder& v_h, Scalar state) {
            py::detail::initimpl::setstate<py::class_<zorClient_destinationType>>(v_h, checkedDestinationType(state),
                                                                                  Py_TYPE(v_h.inst) != v_h.type->type);
        },
        py::detail::is_new_style_constructor(), py::name("__setstate__"), py::is_method(cls), py::arg("state"));
    return cls;
}

void registerEnums(py::module_& m) {
    DestinationTypeEnum destinationType(m, "DestinationType", py::arithmetic(), "Zorvane Msg DestinationType");
    refuseUnknownValues(destinationType)
        .value("Null", ZORCLIENT_NULL_DESTINATION, "Null")
        .value("Topic", ZORCLIENT_TOPIC_DESTINATION, "Topic")
        .value("Queue", ZORCLIENT_QUEUE_DESTINATION, "Queue")
        .value("TopicTemp", ZORCLIENT_TOPIC_TEMP_DESTINATION, "TopicTemp")
        .value("QueueTemp", ZORCLIENT_QUEUE_TEMP_DESTINATION, "QueueTemp")
        .export_values();

    py::enum_<DeliveryMode>(m, "DeliveryMode", py::arithmetic(), "Zorvane Msg DeliveryMode")
        .value("Direct", Direct, "Direct")
        .value("Persistent", Persistent, "Persistent")
        .value("NonPersistent", NonPersistent, "NonPersistent")
        .export_values();
}

void registerDestination(py::module_& m) {
    py::class_<Destination>(m, "Destination")
        .def(py::init<const std::string&, const zorClient_destinationType&>(), py::arg("dest"),
             py::arg_v("dest_type", ZORCLIENT_TOPIC_DESTINATION))
        .def_readwrite("dest_type", &Destination::destType)
        .def_readwrite("dest", &Destination::dest);
}

void registerZorMsg(py::module_& m) {
    py::class_<PyZorMsg>(m, "ZorMsg")
        .def(py::init<>())
        .def("__repr__", &PyZorMsg::repr)
        .def_property("dest", &PyZorMsg::getDestination, &PyZorMsg::setDestination)
        .def_property("reply2", &PyZorMsg::getReplyToDestination, &PyZorMsg::setReplyToDestination)
        .def_property("is_reply", &PyZorMsg::isReply, &PyZorMsg::setAsReply)
        .def_property_readonly("is_request", &PyZorMsg::isRequest)
        .def_property_readonly("is_p2p", &PyZorMsg::isP2P)
        .def_property("delivery_mode", &PyZorMsg::getDeliveryMode, &PyZorMsg::setDeliveryMode)
        .def_property("content_type", &PyZorMsg::getContentType, &PyZorMsg::setContentType)
        .def_property("elide", &PyZorMsg::isElidingEligible, &PyZorMsg::setElidingEligible)
        .def_property("json", &PyZorMsg::getJsonBody, &PyZorMsg::setJsonBody)
        .def_property("msgpack", &PyZorMsg::getMsgpackBody, &PyZorMsg::setMsgpackBody)
        .def_property("body", &PyZorMsg::getBinaryAttachment, &PyZorMsg::setBinaryAttachment);
}

void registerZormsg(py::module_& m) {
    m.attr("__doc__") = "\n\n  ";
    registerEnums(m);
    registerDestination(m);
    registerZorMsg(m);
}

// The major.minor version this module was compiled for.
#define ZORMSG_STR2(x) #x
#define ZORMSG_STR(x) ZORMSG_STR2(x)
constexpr const char* kCompiledFor = ZORMSG_STR(PY_MAJOR_VERSION) "." ZORMSG_STR(PY_MINOR_VERSION);

// Runs one step of the import. On failure the module is released and an
// ImportError is pending: the step's own Python error when `keepPythonError`
// (a missing package says which), else one carrying the failure's text.
template <class Step>
bool importStep(PyObject* module, Step step, bool keepPythonError, const char* prefix) {
    try {
        step();
        return true;
    } catch (py::error_already_set& e) {
        if (keepPythonError) {
            e.restore();
        } else {
            PyErr_SetString(PyExc_ImportError, e.what());
        }
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_ImportError, "%s%s", prefix, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_ImportError, "zormsg: the import failed with an unknown error");
    }
    Py_DECREF(module);
    return false;
}

PyModuleDef zormsg_def;  // lives for the life of the process

}  // namespace

extern "C" PYBIND11_EXPORT PyObject* PyInit_zormsg() {
    // 1. The interpreter must be the one the module was compiled for: the
    //    same major.minor, and not a longer minor number that merely starts
    //    the same (3.7 must not accept 3.70).
    const char* version = Py_GetVersion();
    const size_t n = std::strlen(kCompiledFor);
    if (std::strncmp(version, kCompiledFor, n) != 0 || (version[n] >= '0' && version[n] <= '9')) {
        PyErr_Format(PyExc_ImportError,
                     "Python version mismatch: module was compiled for Python %s, but the interpreter "
                     "version is incompatible: %s.",
                     kCompiledFor, version);
        return nullptr;
    }
    try {
        py::detail::get_internals();
    } catch (py::error_already_set& e) {
        e.restore();
        return nullptr;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
        return nullptr;
    }

    // 2. The module object: global state, so no per-module state (-1).
    zormsg_def = PyModuleDef{PyModuleDef_HEAD_INIT, "zormsg", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};
    PyObject* module = PyModule_Create2(&zormsg_def, 1013);
    if (module == nullptr) {
        PyErr_SetString(PyExc_ImportError, "Internal error in module::module()");
        return nullptr;
    }

    // 3. The body bridge, then the registrations. A missing orjson or msgpack
    //    is an ImportError naming it; any failure releases the module.
    if (!importStep(module, bindBodyBridge, true, "zormsg could not bind orjson and msgpack: ")) return nullptr;
    if (!importStep(
            module,
            [module] {
                py::module_ m = py::reinterpret_borrow<py::module_>(module);
                registerZormsg(m);
            },
            false, "")) {
        return nullptr;
    }
    return module;
}
