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

// Never returns: the thread sleeps until the process exits around it.
[[noreturn]] inline void parkForever() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

// Releases the GIL until reacquire() or the end of the scope.
//
// Once the interpreter is shutting down, a thread that takes the GIL back is
// ended by CPython with pthread_exit, which unwinds the thread's stack:
// through a noexcept destructor (pybind11's guard) that is std::terminate,
// and through our frames it would drop Python references without the GIL
// while the interpreter is being torn down. So a thread that finds the
// interpreter going away parks for good instead (the process exits around
// it), and one that was already waiting for the GIL when shutdown began stops
// the unwinding where it starts and parks there: the runtime requires a
// forced unwind that is caught to be rethrown, unless the handler never ends.
class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    ~GilRelease() { reacquire(); }
    void reacquire() noexcept {
        if (state_ == nullptr) return;
        PyThreadState* state = state_;
        state_ = nullptr;
        if (interpreterFinalizing()) parkForever();
        try {
            PyEval_RestoreThread(state);
        } catch (...) {  // the forced unwind (it has no object to bind to); nothing else is thrown here
            parkForever();
        }
    }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};
