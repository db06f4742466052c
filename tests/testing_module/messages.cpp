#include "testing.h"

void registerMessageTesting(pybind11::module_&) {}
