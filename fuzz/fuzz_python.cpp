// Shared set-up of the fuzz targets: the one embedded interpreter of the process.
#include "fuzz_python.h"

#include <pybind11/embed.h>

#include <cstdio>
#include <cstdlib>

namespace py = pybind11;

void startPython() {
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    PyStatus status = PyConfig_SetBytesString(&config, &config.program_name, ZORMSG_FUZZ_PYTHON);
    if (PyStatus_Exception(status)) {
        std::fprintf(stderr, "fuzz: cannot configure the interpreter\n");
        std::abort();
    }
    // Never torn down: libFuzzer leaves through exit(), and finalising an
    // interpreter there would only add noise.
    new py::scoped_interpreter(&config);
}
