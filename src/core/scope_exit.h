// Runs an action when the scope it guards ends, by any way out: for undoing
// what a scope did (a handle to close, a count to lower, a buffer to give
// back) without a class per case. The action must not throw.
#pragma once

#include <utility>

template <class Action>
class ScopeExit {
public:
    explicit ScopeExit(Action action) noexcept : action_(std::move(action)) {}
    ~ScopeExit() { action_(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

private:
    Action action_;
};
