// fork() while other threads are inside the library: the child, which has
// only the forking thread, must find every lock of the library free.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

// The sanitizer runtime's allocator does not take its own locks around
// fork(): a busy thread holding one leaves the child stuck in malloc, which
// says nothing about this library's locks.
#if defined(__SANITIZE_ADDRESS__)
#define ZCTEST_FORK_UNSAFE_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZCTEST_FORK_UNSAFE_ALLOCATOR 1
#endif
#endif

using namespace zctest;

namespace {

// One message and one created map: a lock of each registry, taken and given
// back twice.
bool useBothRegistries() {
    zorClient_opaqueMsg_pt msg = nullptr;
    if (zorClient_msg_alloc(&msg) != ZORCLIENT_OK) return false;
    char buf[256] = {};
    zorClient_opaqueContainer_pt map = nullptr;
    const bool ok = zorClient_container_createMap(&map, buf, sizeof buf) == ZORCLIENT_OK &&
                    zorClient_container_closeMapStream(&map) == ZORCLIENT_OK;
    return zorClient_msg_free(&msg) == ZORCLIENT_OK && ok;
}

// The child's exit status, or "hung" after it was killed for taking too long.
std::string reap(pid_t pid) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int status = 0;
    while (std::chrono::steady_clock::now() < end) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? std::to_string(WEXITSTATUS(status)) : "signal";
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return "hung";
}

TEST(StandInFork, ChildForkedAmidLibraryCallsFindsTheLocksFree) {
#ifdef ZCTEST_FORK_UNSAFE_ALLOCATOR
    GTEST_SKIP() << "the sanitizer's allocator is not fork-safe with other threads allocating";
#endif
    std::atomic<bool> stop{false};
    std::vector<std::thread> busy;
    for (int i = 0; i < 2; ++i)
        busy.emplace_back([&stop] {
            while (!stop.load(std::memory_order_relaxed)) useBothRegistries();
        });
    std::vector<std::string> bad;
    for (int round = 0; round < 200 && bad.empty(); ++round) {
        const pid_t pid = fork();
        ASSERT_NE(pid, -1);
        if (pid == 0) _exit(useBothRegistries() ? 0 : 1);
        const std::string status = reap(pid);
        if (status != "0") bad.push_back("round " + std::to_string(round) + ": " + status);
        EXPECT_TRUE(useBothRegistries());  // and the parent's locks too
    }
    stop.store(true);
    for (std::thread& t : busy) t.join();
    EXPECT_EQ(bad, std::vector<std::string>{});
}

}  // namespace
