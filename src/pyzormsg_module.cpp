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
#include <typeindex>

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

// Runs one step of the import. On failure an ImportError is pending: the
// step's own Python error when `keepPythonError` (a missing package says
// which), else one carrying the failure's text.
template <class Step>
bool importStep(Step step, bool keepPythonError, const char* prefix) {
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
    return false;
}

// The module's state lives in this process, not in an interpreter: the
// pybind11 registry, the body bridge's callables, the type objects. Any other
// interpreter would use the main one's objects, or build its own registry
// over them, and hang or corrupt memory.
bool inMainInterpreter() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_Get() == PyInterpreterState_Main();
#else
    return PyThreadState_Get()->interp == PyInterpreterState_Main();
#endif
}

// No per-module state (0) rather than "cannot be re-initialised" (-1): with
// -1 the interpreter gives another interpreter's import a copy of the main
// one's module dict without calling PyInit_zormsg, so nothing could refuse
// it; with 0 every import calls PyInit_zormsg. Lives for the process.
PyModuleDef zormsg_def = {PyModuleDef_HEAD_INIT, "zormsg", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};

// The module of the import that succeeded, kept for the process: a later
// import in the main interpreter (after sys.modules lost it, or when the
// import system failed after PyInit_zormsg returned) gets it again, as its
// types can be registered only once.
PyObject* g_module = nullptr;

template <class T>
bool registered() {
    return py::detail::get_global_type_info(typeid(T)) != nullptr;
}

bool anyTypeRegistered() {
    return registered<zorClient_destinationType>() || registered<DeliveryMode>() || registered<Destination>() ||
           registered<PyZorMsg>();
}

// Empties the dict of T's type object if a failed import left T registered.
// An enumeration's members live in that dict and hold their type from
// objects the collector does not track, so the type would never be
// collected otherwise.
template <class T>
void emptyLeftover() {
    const py::detail::type_info* info = py::detail::get_global_type_info(typeid(T));
    if (info == nullptr) return;
    PyObject* type = reinterpret_cast<PyObject*>(info->type);
    Py_INCREF(type);
    PyDict_Clear(info->type->tp_dict);
    PyType_Modified(info->type);
    Py_DECREF(type);
}

// Takes T out of pybind11's registry if its type object outlived the
// collection: pybind11 leaks a function object (and the defaults it holds,
// such as a DestinationType member) when it cannot allocate the method that
// wraps it. The old type is kept for good, so its stray instances still find
// their type information through it, and it never unregisters the new one.
template <class T>
void detachLeftover() {
    py::detail::internals& internals = py::detail::get_internals();
    auto found = internals.registered_types_cpp.find(std::type_index(typeid(T)));
    if (found == internals.registered_types_cpp.end()) return;
    Py_INCREF(reinterpret_cast<PyObject*>(found->second->type));
    internals.registered_types_cpp.erase(found);
}

// A failed registration leaves half-built types in pybind11's registry,
// which would refuse them at the next import ("already registered"). Once
// the module is released and their dicts are empty they are garbage, and a
// pybind11 type that is collected takes itself out of the registry: so
// collect them now, even when automatic collection is off, keeping the
// pending error.
void releaseLeftoverTypes() {
    py::error_scope pending;
    emptyLeftover<zorClient_destinationType>();
    emptyLeftover<DeliveryMode>();
    emptyLeftover<Destination>();
    emptyLeftover<PyZorMsg>();
    PyObject* gc = PyImport_ImportModule("gc");
    PyObject* done = gc != nullptr ? PyObject_CallMethod(gc, "collect", nullptr) : nullptr;
    if (done == nullptr) {
        PyErr_Clear();
        PyGC_Collect();
    }
    Py_XDECREF(done);
    Py_XDECREF(gc);
    detachLeftover<zorClient_destinationType>();
    detachLeftover<DeliveryMode>();
    detachLeftover<Destination>();
    detachLeftover<PyZorMsg>();
}

// pybind11's registry, created by the first pybind11 module that needs it.
// When that creation fails part-way it leaves the half-built registry in
// place, and every later import would use it and crash: forget it, so the
// next import builds a whole one.
bool loadInternals() {
    try {
        py::detail::get_internals();
        return true;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    py::detail::internals**& internals = py::detail::get_internals_pp();
    if (internals != nullptr) *internals = nullptr;
    return false;
}

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
    // 2. The main interpreter only, before anything of pybind11's or the
    //    module's is touched.
    if (!inMainInterpreter()) {
        PyErr_SetString(PyExc_ImportError,
                        "zormsg can only be imported in the main interpreter, not in a subinterpreter");
        return nullptr;
    }
    if (g_module != nullptr) {
        Py_INCREF(g_module);
        return g_module;
    }
    if (!loadInternals()) return nullptr;
    // Left by an earlier failed import that could not collect them then.
    if (anyTypeRegistered()) releaseLeftoverTypes();

    // 3. The module object.
    PyObject* module = PyModule_Create2(&zormsg_def, 1013);
    if (module == nullptr) {
        PyErr_SetString(PyExc_ImportError, "Internal error in module::module()");
        return nullptr;
    }

    // 4. The body bridge, then the registrations. A missing orjson or msgpack
    //    is an ImportError naming it. A failure releases the module and
    //    whatever was registered, so the next import can start afresh.
    const bool done = importStep(bindBodyBridge, true, "zormsg could not bind orjson and msgpack: ") &&
                      importStep(
                          [module] {
                              py::module_ m = py::reinterpret_borrow<py::module_>(module);
                              registerZormsg(m);
                          },
                          false, "");
    if (!done) {
        Py_DECREF(module);
        releaseLeftoverTypes();
        return nullptr;
    }
    Py_INCREF(module);
    g_module = module;
    return module;
}
