// Handle registry: maps opaque handles to live objects.
//
// A handle is (serial << 24) | slot index. Serials come from one process-wide
// counter shared by all registries, so a handle value is never handed out
// twice and a message handle never names a container. Slots live in chunks
// that are never moved or freed, which lets lookups run without a lock: a
// lookup reads the slot's serial, then its object, then the serial again, and
// only trusts the object if the serial did not change in between.
//
// fork() takes both registries' locks first and gives them back in parent and
// child (handlers set up when the library is loaded), so a child never starts
// with a lock held by a thread it does not have.
#ifndef ZORCLIENT_SRC_REGISTRY_H
#define ZORCLIENT_SRC_REGISTRY_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace zc {

using Handle = std::uintptr_t;
static_assert(sizeof(Handle) == 8, "handles pack a 40-bit serial and a 24-bit slot index");

class Registry {
public:
    Registry() = default;
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // Returns the new handle, or 0 when slots or serials are exhausted.
    Handle add(void* obj);
    // Returns the object and frees its slot; null when `h` is not live.
    void* remove(Handle h);

    // A slot can also stay with its owner between handles, for objects that
    // come and go at a high rate: no lock and no free list on either path.
    // retire() invalidates a live handle but keeps its slot out of the free
    // list; rearm() gives the retired slot a new handle (a new serial, as
    // always) for `obj`, or returns 0 when serials are exhausted; release()
    // finally hands the retired slot back.
    bool retire(Handle h) noexcept {
        Slot* s = slotOf(h);
        if (s == nullptr) return false;
        s->serial.store(0, std::memory_order_release);
        s->obj.store(nullptr, std::memory_order_release);
        return true;
    }
    Handle rearm(Handle retired, void* obj) noexcept;
    void release(Handle retired);

    // Around fork() only: the lock, taken in the forking thread before and
    // given back in both processes after.
    void lockForFork() { mu_.lock(); }
    void unlockAfterFork() { mu_.unlock(); }

    void* find(Handle h) const noexcept {
        const std::uint64_t serial = h >> kIndexBits;
        const std::uint64_t idx = h & kIndexMask;
        if (serial == 0) return nullptr;
        const Slot* chunk = chunks_[idx >> kChunkBits].load(std::memory_order_acquire);
        if (chunk == nullptr) return nullptr;
        const Slot& s = chunk[idx & kChunkMask];
        if (s.serial.load(std::memory_order_acquire) != serial) return nullptr;
        void* obj = s.obj.load(std::memory_order_acquire);
        if (s.serial.load(std::memory_order_relaxed) != serial) return nullptr;
        return obj;
    }

private:
    static constexpr unsigned kIndexBits = 24;
    static constexpr std::uint64_t kIndexMask = (std::uint64_t{1} << kIndexBits) - 1;
    static constexpr unsigned kChunkBits = 12;
    static constexpr std::uint64_t kChunkMask = (std::uint64_t{1} << kChunkBits) - 1;
    static constexpr std::size_t kChunks = std::size_t{1} << (kIndexBits - kChunkBits);

    struct Slot {
        std::atomic<std::uint64_t> serial{0};
        std::atomic<void*> obj{nullptr};
    };

    // The slot of the live handle `h`, or null.
    Slot* slotOf(Handle h) const noexcept {
        const std::uint64_t serial = h >> kIndexBits;
        const std::uint64_t idx = h & kIndexMask;
        if (serial == 0) return nullptr;
        Slot* chunk = chunks_[idx >> kChunkBits].load(std::memory_order_acquire);
        if (chunk == nullptr) return nullptr;
        Slot& s = chunk[idx & kChunkMask];
        return s.serial.load(std::memory_order_relaxed) == serial ? &s : nullptr;
    }

    std::atomic<Slot*> chunks_[kChunks] = {};
    std::mutex mu_;  // guards the free list and chunk creation
    std::vector<std::uint32_t> free_;
    std::uint32_t nextIdx_ = 0;
};

// The two registries; created on first use and kept until the process ends, so
// handles stay checkable during static destruction. Inline: every call that
// takes a handle looks one up, and the first-use check is then a load and a
// branch instead of a call.
inline Registry& messageRegistry() {
    static Registry* r = new Registry();
    return *r;
}

inline Registry& containerRegistry() {
    static Registry* r = new Registry();
    return *r;
}

}  // namespace zc

#endif
