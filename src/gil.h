// Releasing the GIL around pure library work.
#pragma once

#include <pybind11/pybind11.h>

#include <chrono>
#include <thread>

inline bool interpreterFinalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Releases the GIL until reacquire() or the end of the scope. Once the
// interpreter is shutting down, taking the GIL back makes CPython end the
// thread by unwinding its stack; met in a noexcept destructor (as in
// pybind11's guard) that unwinding calls std::terminate and the process dies
// with SIGABRT instead of the main thread's status. So a thread that finds the
// interpreter going away parks for good instead: the process exits around it.
class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    ~GilRelease() noexcept(false) { reacquire(); }
    void reacquire() {
        if (state_ == nullptr) return;
        PyThreadState* state = state_;
        state_ = nullptr;
        if (interpreterFinalizing()) {
            for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
        }
        PyEval_RestoreThread(state);
    }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};
