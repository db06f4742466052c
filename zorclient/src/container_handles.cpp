#include "container.h"

#include <new>

#include "errors.h"
#include "message.h"

namespace zc {

namespace {

// The user property map is part of its message, not an open handle.
bool counted(const Container& c) { return c.role != Role::UserProps; }

// Unregisters and deletes one record, nothing more.
void drop(Container* c) {
    containerRegistry().remove(c->handle);
    if (counted(*c)) gLiveContainers.fetch_sub(1, std::memory_order_relaxed);
    delete c;
}

}  // namespace

const char* Container::view(View& v) const {
    if (haveChecked) {
        v = checked;
        return nullptr;
    }
    const std::uint8_t* base = nullptr;
    std::uint64_t avail = 0;
    switch (role) {
        case Role::Created:
            base = ext;
            avail = cap;
            break;
        case Role::UserProps:
            base = own.data();
            avail = own.size();
            break;
        case Role::Body:
            base = owner->body.data();
            avail = owner->body.size();
            break;
        case Role::Nested: {
            View rv;
            if (const char* err = root->view(rv)) return err;
            if (std::uint64_t{offset} + len > rv.n) return "nested container lies outside its parent";
            base = rv.p + offset;
            avail = len;
            break;
        }
    }
    std::uint32_t total = 0;
    char k = 0;
    if (const char* err = checkHeader(base, avail, total, k)) return err;
    if (k != kind) return kind == kMapKind ? "content is not a map" : "content is not a stream";
    v.p = base;
    v.n = total;
    if (role == Role::Body || (role == Role::Nested && root->role == Role::Body)) {
        checked = v;
        haveChecked = true;
    }
    return nullptr;
}

Handle registerContainer(std::unique_ptr<Container> c) {
    const Handle h = containerRegistry().add(c.get());
    if (h == 0) {
        fail("no container handle available");
        return 0;
    }
    c->handle = h;
    if (counted(*c)) gLiveContainers.fetch_add(1, std::memory_order_relaxed);
    c.release();
    return h;
}

void releaseNested(Container& root) {
    if (root.nested.empty()) return;  // the usual case; clear() would still sweep the buckets
    for (auto& entry : root.nested) {
        if (Container* n = findContainer(toOpaque(entry.second))) drop(n);
    }
    root.nested.clear();
}

void releaseContainer(Container* c) {
    if (c->role == Role::Nested) {
        // Drop this handle and any handed out for containers inside its range.
        Container* root = c->root;
        const std::uint64_t begin = c->offset, end = begin + c->len;
        for (auto it = root->nested.begin(); it != root->nested.end();) {
            if (it->first >= begin && it->first < end) {
                Container* n = findContainer(toOpaque(it->second));
                it = root->nested.erase(it);
                if (n != nullptr && n != c) drop(n);
            } else {
                ++it;
            }
        }
    } else {
        releaseNested(*c);
        if (c->role == Role::Body && c->owner) c->owner->bodyMap = 0;
        if (c->role == Role::UserProps && c->owner) c->owner->userProps = 0;
    }
    drop(c);
}

Container* nestedHandle(Container& from, std::uint32_t relOffset, std::uint32_t len, char kind) {
    Container& root = from.role == Role::Nested ? *from.root : from;
    const std::uint32_t abs = (from.role == Role::Nested ? from.offset : 0) + relOffset;
    auto it = root.nested.find(abs);
    if (it != root.nested.end()) {
        Container* cached = findContainer(toOpaque(it->second));
        if (cached != nullptr && cached->len == len && cached->kind == kind) return cached;
        // The bytes at that offset changed under the cached handle: start over.
        if (cached != nullptr) drop(cached);
        root.nested.erase(it);
    }
    try {
        // Make the cache entry first so nothing can throw once the handle exists.
        auto slot = root.nested.emplace(abs, 0).first;
        auto rec = std::make_unique<Container>(Role::Nested, kind);
        rec->root = &root;
        rec->offset = abs;
        rec->len = len;
        Container* raw = rec.get();
        const Handle h = registerContainer(std::move(rec));
        if (h == 0) {
            root.nested.erase(slot);
            return nullptr;
        }
        slot->second = h;
        return raw;
    } catch (const std::bad_alloc&) {
        root.nested.erase(abs);
        fail("out of memory for a nested container handle");
        return nullptr;
    }
}

}  // namespace zc
