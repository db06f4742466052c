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
    registerContainerTesting(m);
    registerMessageTesting(m);
}
