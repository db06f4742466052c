// Entry of the test-support module zormsg_testing.
#include "testing.h"

#include <utility>

#include "core/vocabulary.h"
#include "internal/fast_property.h"
#include "zorclient.h"

namespace py = pybind11;

namespace {
// The cheapest bound call there is: the floor for property benchmarks.
class Noop {
public:
    bool get() const { return false; }
    void set(bool) {}
    void call() {}
};
}  // namespace

PYBIND11_MODULE(zormsg_testing, m) {
    m.doc() = "Native operations of zormsg reachable from tests and benchmarks.";
    py::class_<Noop>(m, "Noop").def(py::init<>()).def("call", &Noop::call).def_property("flag", &Noop::get, &Noop::set);
    // False when the client library has no test controls: then the functions
    // that need them are not here (live counts, refused allocations, received
    // raw bodies, the HTTP content type setter).
    m.attr("has_test_controls") = bool(ZORMSG_TEST_CONTROLS);
    // The library's field type codes and the limits zormsg applies, from
    // their headers, so tests use these instead of copies.
    py::dict types;
    const std::pair<const char*, zorClient_fieldType_t> codes[] = {
        {"BOOL", ZORCLIENT_BOOL},     {"UINT8", ZORCLIENT_UINT8},     {"INT8", ZORCLIENT_INT8},
        {"UINT16", ZORCLIENT_UINT16}, {"INT16", ZORCLIENT_INT16},     {"UINT32", ZORCLIENT_UINT32},
        {"INT32", ZORCLIENT_INT32},   {"UINT64", ZORCLIENT_UINT64},   {"INT64", ZORCLIENT_INT64},
        {"WCHAR", ZORCLIENT_WCHAR},   {"STRING", ZORCLIENT_STRING},   {"BYTEARRAY", ZORCLIENT_BYTEARRAY},
        {"FLOAT", ZORCLIENT_FLOAT},   {"DOUBLE", ZORCLIENT_DOUBLE},   {"MAP", ZORCLIENT_MAP},
        {"STREAM", ZORCLIENT_STREAM}, {"NULL", ZORCLIENT_NULL},       {"DESTINATION", ZORCLIENT_DESTINATION},
        {"SMF", ZORCLIENT_SMF},       {"UNKNOWN", ZORCLIENT_UNKNOWN},
    };
    for (const auto& code : codes) types[code.first] = static_cast<int>(code.second);
    m.attr("FIELD_TYPES") = types;
    m.attr("MAX_NESTING_DEPTH") = kMaxNestingDepth;
    m.attr("MAX_ATTACHMENT_SIZE") = kMaxAttachmentSize;
    m.attr("MAP_FIELD_SLACK") = kMapFieldSlack;
    // Whether assert() is on in this build, and so in pybind11's headers,
    // which then abort on failures they would otherwise raise.
#ifdef NDEBUG
    m.attr("ASSERTIONS_ON") = false;
#else
    m.attr("ASSERTIONS_ON") = true;
#endif
    // Whether this build runs under AddressSanitizer, which cannot follow
    // a greenlet's stack switches (it reports the stack memory it finds).
#if defined(__SANITIZE_ADDRESS__)
    m.attr("ADDRESS_SANITIZER") = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    m.attr("ADDRESS_SANITIZER") = true;
#else
    m.attr("ADDRESS_SANITIZER") = false;
#endif
#else
    m.attr("ADDRESS_SANITIZER") = false;
#endif
    // The pybind11 function a fast accessor (a property's fget or fset) hands
    // what it does not take itself: the reference the accessors are checked
    // against. None for anything else.
    m.def("binding_function", [](py::handle fn) -> py::object {
        if (!PyCFunction_Check(fn.ptr())) return py::none();
        PyObject* self = PyCFunction_GET_SELF(fn.ptr());
        if (self == nullptr || !fastprop::isSlot(self)) return py::none();
        return fastprop::slotOf(self).fallback;
    });
    registerContainerTesting(m);
    registerMessageTesting(m);
}
