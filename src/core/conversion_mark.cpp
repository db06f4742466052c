// The conversion mark: which thread of which process holds a message's body while converting it.
#include "core/conversion_mark.h"

#include <pthread.h>
#include <unistd.h>

pid_t g_markProcess = getpid();

namespace {
// The marks this thread holds, the newest first.
thread_local ConversionMark* t_held = nullptr;
}  // namespace

const int ConversionScope::forkHandler_ = pthread_atfork(nullptr, nullptr, ConversionScope::afterForkInChild);

ConversionScope::ConversionScope(ConversionMark& mark) noexcept : mark_(mark), held_(&t_held) {
    ConversionMark*& head = *held_;
    mark.process_ = g_markProcess;
    mark.prev_ = nullptr;
    mark.next_ = head;
    if (head != nullptr) head->prev_ = &mark;
    head = &mark;
}

ConversionScope::~ConversionScope() {
    ConversionMark& mark = mark_;
    if (mark.prev_ != nullptr)
        mark.prev_->next_ = mark.next_;
    else
        *held_ = mark.next_;
    if (mark.next_ != nullptr) mark.next_->prev_ = mark.prev_;
    mark.process_ = 0;
    mark.prev_ = nullptr;
    mark.next_ = nullptr;
}

// Runs in the forking thread, the only one the child has. The marks other
// threads held keep the parent's id: free here.
void ConversionScope::afterForkInChild() noexcept {
    g_markProcess = getpid();
    for (ConversionMark* m = t_held; m != nullptr; m = m->next_) m->process_ = g_markProcess;
}
