// The mark a message carries while a conversion (PyZorMsg::to_dict,
// from_dict) reads or writes its body.
//
// A mark belongs to the process whose thread set it. The child of a fork has
// only the forking thread: the conversions of the others ended with them, so
// their marks read as free there and those messages are usable as they were.
// The forking thread goes on in the child, so a fork handler stamps the marks
// it holds with the child's id, and they still hold.
#pragma once

#include <sys/types.h>

// The id of this process: set at load and in the child of every fork.
extern pid_t g_markProcess;

class ConversionMark {
public:
    ConversionMark() = default;
    ConversionMark(const ConversionMark&) = delete;
    ConversionMark& operator=(const ConversionMark&) = delete;

    bool held() const noexcept { return process_ != 0 && process_ == g_markProcess; }
    explicit operator bool() const noexcept { return held(); }

private:
    friend class ConversionScope;
    pid_t process_ = 0;
    // Neighbours among the marks the holding thread holds. The list runs
    // through the marks, not the scopes: a scope may sit on a stack that is
    // switched out (a coroutine library) when the fork handler walks it.
    ConversionMark* prev_ = nullptr;
    ConversionMark* next_ = nullptr;
};

// Holds a mark, which must be free, for its lifetime, on this thread. Scopes
// of one thread may end in any order.
class ConversionScope {
public:
    explicit ConversionScope(ConversionMark& mark) noexcept;
    ~ConversionScope();
    ConversionScope(const ConversionScope&) = delete;
    ConversionScope& operator=(const ConversionScope&) = delete;

private:
    static void afterForkInChild() noexcept;
    static const int forkHandler_;  // set up at load

    ConversionMark& mark_;
    ConversionMark** held_;  // this thread's list, looked up once
};
