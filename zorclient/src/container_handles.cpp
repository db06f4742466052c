// Container handles of the stand-in library: opening, nesting and closing them.
#include "container.h"

#include <new>

#include "errors.h"
#include "message.h"

namespace zc {

namespace {

// The user property map is part of its message, not an open handle.
bool counted(const Container& c) { return c.role != Role::UserProps; }

// Records of closed nested handles, each still holding its registry slot,
// kept per thread for the next nested handle the thread opens: walks open
// and close nested handles at a high rate, and this spares an allocation and
// the registry's lock on both paths. Bounded, so a thread keeps little
// (some 40 KiB at most).
constexpr unsigned kPooled = 256;

struct Pool {
    Container* items[kPooled];
    unsigned n;
    bool armed;   // the thread's reaper is set up
    bool closed;  // the thread is ending: records are freed at once
};
thread_local Pool t_pool;  // trivially destructible: reached without a guard

// The thread's pool, looked up once per call: GCC would otherwise look the
// thread-local up again at each use, a call each time in a shared library.
__attribute__((noinline)) Pool& threadPool() { return t_pool; }

// A pooled record's slot goes back to the registry with it.
void freePooled(Container* c) {
    containerRegistry().release(c->handle);
    delete c;
}

// Frees the thread's pooled records when the thread ends.
struct PoolReaper {
    bool on = false;
    ~PoolReaper() {
        Pool& p = t_pool;
        p.closed = true;
        while (p.n != 0) freePooled(p.items[--p.n]);
    }
};
thread_local PoolReaper t_reaper;

// Unregisters one record (a nested one may be pooled), nothing more.
void drop(Container* c) {
    if (counted(*c)) gLiveContainers.fetch_sub(1, std::memory_order_relaxed);
    if (c->role == Role::Nested) {
        Pool& p = threadPool();
        if (!p.closed && p.n < kPooled && containerRegistry().retire(c->handle)) {
            if (!p.armed) {
                t_reaper.on = true;  // first use registers its destructor
                p.armed = true;
            }
            p.items[p.n++] = c;
            return;
        }
    }
    containerRegistry().remove(c->handle);
    delete c;
}

// Drops every handle under `top`, which is left without children. Each
// dropped handle is its parent's first child at that moment, so the walk
// needs no stack and touches only the handles it drops.
void dropDescendants(Container& top) {
    Container* n = &top;
    for (;;) {
        if (n->firstChild != nullptr) {
            n = n->firstChild;
            continue;
        }
        if (n == &top) break;
        Container* parent = n->parent;
        parent->firstChild = n->next;
        drop(n);
        n = parent;
    }
    top.lastFound = nullptr;
}

// Takes a nested handle out of its parent's children.
void unlink(Container& c) {
    Container& p = *c.parent;
    if (p.lastFound == &c) p.lastFound = c.prev;
    if (c.prev != nullptr)
        c.prev->next = c.next;
    else
        p.firstChild = c.next;
    if (c.next != nullptr) c.next->prev = c.prev;
}

// A registered record for a new nested handle, pooled if the thread has one;
// null with the error text set on failure.
Container* newNested(char kind) {
    Pool& p = threadPool();
    if (p.n != 0) {
        Container* c = p.items[p.n - 1];
        const Handle h = containerRegistry().rearm(c->handle, c);
        if (h == 0) {
            fail("no container handle available");
            return nullptr;
        }
        --p.n;
        c->handle = h;
        c->kind = kind;
        c->cursor = kContainerHeader;
        c->firstChild = c->lastFound = nullptr;
        c->haveChecked = false;
        return c;
    }
    Container* c = new (std::nothrow) Container(Role::Nested, kind);
    if (c == nullptr) {
        fail("out of memory for a nested container handle");
        return nullptr;
    }
    c->handle = containerRegistry().add(c);
    if (c->handle == 0) {
        delete c;
        fail("no container handle available");
        return nullptr;
    }
    return c;
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
    static_cast<void>(c.release());  // the registry owns it now
    return h;
}

void releaseNested(Container& root) { dropDescendants(root); }

void releaseContainer(Container* c) {
    if (c->role == Role::Nested) {
        unlink(*c);
    } else {
        if (c->role == Role::Body && c->owner) c->owner->bodyMap = 0;
        if (c->role == Role::UserProps && c->owner) c->owner->userProps = 0;
    }
    dropDescendants(*c);
    drop(c);
}

Container* nestedHandle(Container& from, const std::uint8_t* bytes, std::uint32_t relOffset, std::uint32_t len,
                        char kind) {
    Container& root = from.role == Role::Nested ? *from.root : from;
    const std::uint32_t abs = (from.role == Role::Nested ? from.offset : 0) + relOffset;
    // Where the child at abs is or belongs: after prev, at or before at.
    Container* prev = nullptr;
    Container* at = from.lastFound;
    if (at != nullptr && at->offset <= abs)
        prev = at->prev;
    else
        at = from.firstChild;
    while (at != nullptr && at->offset < abs) {
        prev = at;
        at = at->next;
    }
    if (at != nullptr && at->offset == abs) {
        if (at->len == len && at->kind == kind) {
            from.lastFound = at;
            return at;
        }
        // The bytes at that offset changed under the open handle: start over.
        Container* stale = at;
        at = at->next;
        releaseContainer(stale);
    }
    Container* c = newNested(kind);
    if (c == nullptr) return nullptr;
    gLiveContainers.fetch_add(1, std::memory_order_relaxed);
    c->root = &root;
    c->offset = abs;
    c->len = len;
    if (root.role == Role::Body) {
        // Bytes that cannot change, and the walk checked the header as view()
        // would: no need to check it again on the first read.
        c->checked = View{bytes, len};
        c->haveChecked = true;
    }
    c->parent = &from;
    c->prev = prev;
    c->next = at;
    if (prev != nullptr)
        prev->next = c;
    else
        from.firstChild = c;
    if (at != nullptr) at->prev = c;
    from.lastFound = c;
    return c;
}

}  // namespace zc
