// Import entry of the extension module zormsg: checks, then one registration per concept.
//
// The entry is written out rather than taken from PYBIND11_MODULE so that a
// failed registration reaches Python as an ImportError carrying the failure's
// own text, and a module that cannot be created fails the import instead of
// throwing out of a C function.
#include <pybind11/pybind11.h>

#include <cstring>
#include <exception>

#include "body_bridge.h"
#include "core/zormsg.h"
#include "internal/client_library_copy.h"
#include "internal/import_guard.h"
#include "internal/main_interpreter.h"
#include "pyzormsg.h"
#include "registrations.h"

namespace py = pybind11;

namespace {

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

// Every type the registrations make, in pybind11's registry.
bool anyZormsgType() { return anyTypeRegistered<zorClient_destinationType, DeliveryMode, Destination, PyZorMsg>(); }

void releaseZormsgTypes() { releaseLeftoverTypes<zorClient_destinationType, DeliveryMode, Destination, PyZorMsg>(); }

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
        PyErr_SetString(PyExc_ImportError, kMainInterpreterOnly);
        return nullptr;
    }
    if (g_module != nullptr) {
        Py_INCREF(g_module);
        return g_module;
    }
    if (!loadInternals()) return nullptr;
    // Left by an earlier failed import that could not collect them then.
    if (anyZormsgType()) releaseZormsgTypes();

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
        releaseZormsgTypes();
        return nullptr;
    }
    publishClientLibrary();
    Py_INCREF(module);
    g_module = module;
    return module;
}
