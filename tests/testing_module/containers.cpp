#include "testing.h"

void registerContainerTesting(pybind11::module_&) {}
