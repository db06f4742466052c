// The library's container handles and their lifetimes.
//
// Every handle names a Container record. Roots own or borrow the bytes:
//  - Created:   built in the caller's buffer; writable until closed.
//  - Body:      read-only view of a message's map body; dies with the body.
//  - UserProps: the message's user property map, in bytes the record owns;
//               writable, grows, and belongs to the message.
// Nested handles are read-only views of a range inside their root, handed out
// by walks. They form a tree like the containers they name: each handle keeps
// the nested handles its walks handed out, by offset, so repeated walks reuse
// them, and closing a handle releases the ones under it (a root's: all).
#ifndef ZORCLIENT_SRC_CONTAINER_H
#define ZORCLIENT_SRC_CONTAINER_H

#include <cstdint>
#include <memory>
#include <vector>

#include "encoding.h"
#include "registry.h"

namespace zc {

class Message;

enum class Role : std::uint8_t { Created, Body, UserProps, Nested };

// A container's bytes, header included.
struct View {
    const std::uint8_t* p = nullptr;
    std::uint32_t n = 0;
};

class Container {
public:
    Container(Role r, char k) : role(r), kind(k) {}

    Role role;
    char kind;  // kMapKind or kStreamKind
    Handle handle = 0;
    std::uint32_t cursor = kContainerHeader;  // offset of the next field a walk reads

    // Created: the caller's buffer and how much of it is used.
    std::uint8_t* ext = nullptr;
    std::uint32_t cap = 0;
    std::uint32_t used = 0;
    // UserProps: the encoded map (size == used length).
    std::vector<std::uint8_t> own;
    // Body and UserProps: the message they belong to.
    Message* owner = nullptr;
    // Nested: the range within the root's bytes.
    Container* root = nullptr;
    std::uint32_t offset = 0;
    std::uint32_t len = 0;
    // Nested: the handle whose walk handed this one out.
    Container* parent = nullptr;
    // The nested handles this one's walks handed out, in offset order (a
    // container has one handle at a time, so they do not overlap), and the
    // one a walk found last: walks go forward, so a search starts there.
    Container* firstChild = nullptr;
    Container* lastFound = nullptr;
    // Nested: neighbours among the parent's children.
    Container* prev = nullptr;
    Container* next = nullptr;
    // The checked view of a container whose bytes cannot change while the
    // handle lives (a map body and the containers inside it: a new body
    // releases their handles first), so walks check its header only once.
    mutable View checked;
    mutable bool haveChecked = false;

    bool writable() const { return role == Role::Created || role == Role::UserProps; }
    bool isMap() const { return kind == kMapKind; }

    // The checked bytes of this container; null with the reason when its
    // header is unusable.
    const char* view(View& v) const;
};

inline Container* findContainer(const void* h) noexcept {
    return static_cast<Container*>(containerRegistry().find(reinterpret_cast<Handle>(h)));
}

inline void* toOpaque(Handle h) { return reinterpret_cast<void*>(h); }

// Registers a root's record; returns its handle, or 0 with the error text set.
Handle registerContainer(std::unique_ptr<Container> c);

// Invalidates the handle and every nested handle handed out under it, and
// detaches it from its parent or its message. `c` is gone afterwards. Costs
// the number of handles released, however many others are open.
void releaseContainer(Container* c);

// Releases the nested handles handed out under a root (its content moved).
void releaseNested(Container& root);

// The read-only handle for the nested container at `relOffset` of `from`
// (`len` bytes at `bytes`, `kind`, its header checked by the walk); the same
// one as before while it is open. Null with the error text set on failure.
Container* nestedHandle(Container& from, const std::uint8_t* bytes, std::uint32_t relOffset, std::uint32_t len,
                        char kind);

// Live counts reported by the test controls.
extern std::atomic<unsigned> gLiveMessages;
extern std::atomic<unsigned> gLiveContainers;

}  // namespace zc

#endif
