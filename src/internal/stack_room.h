// How much of this thread's stack is left. The converters recurse once per
// nesting level of the data, and the data (from Python, native callers or
// the wire) decides the depth: a worker thread started with a small stack
// (threading.stack_size) must get an exception before the stack runs out, not
// a signal. Each check is one subtraction and one compare.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <pthread.h>
#endif

// Room the converters keep below their last check, for what runs after it
// without another one: adding a field (and growing its area), building and
// throwing an exception, a diagnostic line, a finalizer the collector runs.
constexpr size_t kStackReserve = size_t(16) << 10;

class StackRoom {
public:
    // Bounds unknown until learn(): every check passes. Constant-initialised,
    // so the thread_local holding it costs no initialisation check per use.
    constexpr StackRoom() = default;

    // Reads the calling thread's stack bounds, once; unknown bounds (another
    // platform, or the call failed) leave every check passing.
    void learn() {
        if (learned_) return;
        learned_ = true;
#if defined(__linux__)
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
        void* addr = nullptr;
        size_t size = 0;
        if (pthread_attr_getstack(&attr, &addr, &size) == 0) low_ = reinterpret_cast<uintptr_t>(addr);
        pthread_attr_destroy(&attr);
#endif
    }

    // Bytes between the caller's frame and the end of the stack. A frame
    // outside the thread's stack (a coroutine running on a stack of its own)
    // or unknown bounds give a value larger than any stack, so a check passes.
    __attribute__((always_inline)) size_t left() const {
        // The address of a local rather than __builtin_frame_address, which
        // would make every caller keep a frame pointer.
        volatile char here = 0;
        return static_cast<size_t>(reinterpret_cast<uintptr_t>(&here) - low_);
    }

    // True when fewer than `need` bytes (plus the reserve) are left.
    __attribute__((always_inline)) bool shortOf(size_t need = 0) const { return left() < need + kStackReserve; }

private:
    uintptr_t low_ = 0;
    bool learned_ = false;
};
