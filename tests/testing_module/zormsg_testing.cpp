#include "testing.h"

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
    py::class_<Noop>(m, "Noop")
        .def(py::init<>())
        .def("call", &Noop::call)
        .def_property("flag", &Noop::get, &Noop::set);
    // False when the client library has no test controls: then the functions
    // that need them are not here (live counts, refused allocations, received
    // raw bodies, the HTTP content type setter).
    m.attr("has_test_controls") = bool(ZORMSG_TEST_CONTROLS);
    registerContainerTesting(m);
    registerMessageTesting(m);
}
