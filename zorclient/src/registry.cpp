// The stand-in's handle registry: opaque handles to live objects.
#include "registry.h"

#include <pthread.h>

#include <new>

namespace zc {

namespace {
constexpr std::uint64_t kMaxSerial = (std::uint64_t{1} << 40) - 1;
std::atomic<std::uint64_t> gSerial{0};

// Always in this order; nothing else holds both locks.
void lockForFork() {
    messageRegistry().lockForFork();
    containerRegistry().lockForFork();
}

void unlockAfterFork() {
    containerRegistry().unlockAfterFork();
    messageRegistry().unlockAfterFork();
}

// Set up when the library is loaded, before any thread can be inside it.
const int gForkHandlers = pthread_atfork(lockForFork, unlockAfterFork, unlockAfterFork);
}  // namespace

Handle Registry::add(void* obj) {
    const std::uint64_t serial = gSerial.fetch_add(1, std::memory_order_relaxed) + 1;
    if (serial > kMaxSerial) return 0;

    std::lock_guard<std::mutex> lock(mu_);
    std::uint32_t idx;
    if (!free_.empty()) {
        idx = free_.back();
        free_.pop_back();
    } else {
        if (nextIdx_ > kIndexMask) return 0;
        idx = nextIdx_;
        std::atomic<Slot*>& chunkRef = chunks_[idx >> kChunkBits];
        if (chunkRef.load(std::memory_order_relaxed) == nullptr) {
            Slot* chunk = new (std::nothrow) Slot[kChunkMask + 1];
            if (chunk == nullptr) return 0;
            chunkRef.store(chunk, std::memory_order_release);
        }
        // Reserve room now so that remove() never allocates.
        try {
            free_.reserve(static_cast<std::size_t>(idx) + 1);
        } catch (const std::bad_alloc&) {
            return 0;
        }
        ++nextIdx_;
    }
    Slot& s = chunks_[idx >> kChunkBits].load(std::memory_order_relaxed)[idx & kChunkMask];
    s.obj.store(obj, std::memory_order_release);
    s.serial.store(serial, std::memory_order_release);
    return static_cast<Handle>((serial << kIndexBits) | idx);
}

void* Registry::remove(Handle h) {
    const std::uint64_t serial = h >> kIndexBits;
    const std::uint32_t idx = static_cast<std::uint32_t>(h & kIndexMask);
    if (serial == 0) return nullptr;
    std::lock_guard<std::mutex> lock(mu_);
    Slot* chunk = chunks_[idx >> kChunkBits].load(std::memory_order_relaxed);
    if (chunk == nullptr) return nullptr;
    Slot& s = chunk[idx & kChunkMask];
    if (s.serial.load(std::memory_order_relaxed) != serial) return nullptr;
    void* obj = s.obj.load(std::memory_order_relaxed);
    s.serial.store(0, std::memory_order_release);
    s.obj.store(nullptr, std::memory_order_release);
    free_.push_back(idx);
    return obj;
}

Handle Registry::rearm(Handle retired, void* obj) noexcept {
    const std::uint64_t serial = gSerial.fetch_add(1, std::memory_order_relaxed) + 1;
    if (serial > kMaxSerial) return 0;
    const std::uint64_t idx = retired & kIndexMask;
    Slot& s = chunks_[idx >> kChunkBits].load(std::memory_order_relaxed)[idx & kChunkMask];
    s.obj.store(obj, std::memory_order_release);
    s.serial.store(serial, std::memory_order_release);
    return static_cast<Handle>((serial << kIndexBits) | idx);
}

void Registry::release(Handle retired) {
    std::lock_guard<std::mutex> lock(mu_);
    free_.push_back(static_cast<std::uint32_t>(retired & kIndexMask));  // room reserved in add()
}

}  // namespace zc
