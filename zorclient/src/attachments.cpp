// Message body (raw or map) and the user property map.
#include <algorithm>
#include <memory>
#include <new>

#include "container.h"
#include "errors.h"
#include "message.h"
#include "zorclient.h"

namespace zc {

void replaceBody(Message& m, std::vector<std::uint8_t>&& bytes, bool isMap) {
    if (Container* c = findContainer(toOpaque(m.bodyMap))) releaseContainer(c);
    m.bodyMap = 0;
    m.body.swap(bytes);
    m.bodyIsMap = isMap && !m.body.empty();
}

void assignBody(Message& m, const std::uint8_t* p, std::uint32_t n, bool isMap) {
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    const auto own = reinterpret_cast<std::uintptr_t>(m.body.data());
    const bool fromBody = n != 0 && !m.body.empty() && at < own + m.body.size() && own < at + n;
    // A message refilled with bodies of about the same size keeps its storage
    // (no allocation, and no fresh pages to fault in for large bodies); much
    // more room than needed is given back.
    const std::size_t cap = m.body.capacity();
    if (!fromBody && n <= cap && cap <= 2 * std::size_t{n} + kKeptBodySlack) {
        if (Container* c = findContainer(toOpaque(m.bodyMap))) releaseContainer(c);
        m.bodyMap = 0;
        m.body.assign(p, p + n);  // fits: one copy, no allocation
        m.bodyIsMap = isMap && n != 0;
        return;
    }
    // Copy before replacing: p may point into the current body. One pass over
    // the bytes (no zero fill first).
    std::vector<std::uint8_t> bytes(p, p + n);
    replaceBody(m, std::move(bytes), isMap);
}

}  // namespace zc

using namespace zc;

namespace {
constexpr const char* kBadMsg = "invalid message handle (null, freed or unknown)";
// Most user property maps hold a content type and a few short texts; a larger
// first size is only a hint, so do not let it reserve much memory up front.
constexpr std::uint32_t kMaxInitialUserProps = 64 * 1024;
}  // namespace

extern "C" {

zorClient_returnCode_t zorClient_msg_setBinaryAttachment(zorClient_opaqueMsg_pt msg_p, const void* buf_p,
                                                         zorClient_uint32_t size) {
    Message* m = findMessage(msg_p);
    if (!m) return report(ZORCLIENT_FAIL, kBadMsg);
    if (!buf_p && size > 0) return fail("null attachment with size %u", size);
    if (takeRefusal(gFailBodyCopies)) return fail("out of memory for an attachment of %u bytes (test control)", size);
    try {
        assignBody(*m, static_cast<const std::uint8_t*>(buf_p), size, false);
    } catch (const std::bad_alloc&) {
        return fail("out of memory for an attachment of %u bytes", size);
    }
    return ZORCLIENT_OK;
}

zorClient_returnCode_t zorClient_msg_getBinaryAttachmentPtr(zorClient_opaqueMsg_pt msg_p, void** buf_p,
                                                            zorClient_uint32_t* size_p) {
    Message* m = findMessage(msg_p);
    if (!m) return report(ZORCLIENT_FAIL, kBadMsg);
    if (!buf_p || !size_p) return fail("null address for the attachment pointer or size");
    if (m->body.empty()) return report(ZORCLIENT_NOT_FOUND, "message has no binary attachment");
    *buf_p = m->body.data();
    *size_p = static_cast<zorClient_uint32_t>(m->body.size());
    return ZORCLIENT_OK;
}

zorClient_returnCode_t zorClient_msg_setBinaryAttachmentContainer(zorClient_opaqueMsg_pt msg_p,
                                                                  zorClient_opaqueContainer_pt container_p) {
    Message* m = findMessage(msg_p);
    if (!m) return report(ZORCLIENT_FAIL, kBadMsg);
    Container* c = findContainer(container_p);
    if (!c) return fail("invalid container handle (null, closed or unknown)");
    if (!c->isMap()) return fail("only a map can be the binary attachment");
    View v;
    if (const char* err = c->view(v)) return fail("unreadable container: %s", err);
    if (takeRefusal(gFailBodyCopies)) return fail("out of memory for a map attachment of %u bytes (test control)", v.n);
    try {
        assignBody(*m, v.p, v.n, true);
    } catch (const std::bad_alloc&) {
        return fail("out of memory for a map attachment of %u bytes", v.n);
    }
    return ZORCLIENT_OK;
}

zorClient_returnCode_t zorClient_msg_getBinaryAttachmentMap(zorClient_opaqueMsg_pt msg_p,
                                                            zorClient_opaqueContainer_pt* map_p) {
    Message* m = findMessage(msg_p);
    if (!m) return report(ZORCLIENT_FAIL, kBadMsg);
    if (!map_p) return fail("null address for the map handle");
    if (!m->bodyIsMap) {
        return report(ZORCLIENT_FAIL,
                      m->body.empty() ? "message has no binary attachment" : "binary attachment is not a map");
    }
    if (findContainer(toOpaque(m->bodyMap)) == nullptr) {
        // Content is checked when read, as for a body received from the network.
        std::unique_ptr<Container> c(new (std::nothrow) Container(Role::Body, kMapKind));
        if (!c) return fail("out of memory for a container handle");
        c->owner = m;
        const Handle h = registerContainer(std::move(c));
        if (h == 0) return ZORCLIENT_FAIL;
        m->bodyMap = h;
    }
    *map_p = toOpaque(m->bodyMap);
    return ZORCLIENT_OK;
}

zorClient_returnCode_t zorClient_msg_createUserPropertyMap(zorClient_opaqueMsg_pt msg_p,
                                                           zorClient_opaqueContainer_pt* map_p,
                                                           zorClient_uint32_t size) {
    Message* m = findMessage(msg_p);
    if (!m) return report(ZORCLIENT_FAIL, kBadMsg);
    if (!map_p) return fail("null address for the map handle");
    if (findContainer(toOpaque(m->userProps)) == nullptr) {
        try {
            auto c = std::make_unique<Container>(Role::UserProps, kMapKind);
            c->own.reserve(std::min(std::max(size, kContainerHeader), kMaxInitialUserProps));
            c->own.resize(kContainerHeader);
            writeHeader(c->own.data(), kMapKind, kContainerHeader);
            c->used = kContainerHeader;
            c->owner = m;
            const Handle h = registerContainer(std::move(c));
            if (h == 0) return ZORCLIENT_FAIL;
            m->userProps = h;
        } catch (const std::bad_alloc&) {
            return fail("out of memory for the user property map");
        }
    }
    *map_p = toOpaque(m->userProps);
    return ZORCLIENT_OK;
}

zorClient_returnCode_t zorClient_msg_getUserPropertyMap(zorClient_opaqueMsg_pt msg_p,
                                                        zorClient_opaqueContainer_pt* map_p) {
    Message* m = findMessage(msg_p);
    if (!m) return report(ZORCLIENT_FAIL, kBadMsg);
    if (!map_p) return fail("null address for the map handle");
    if (findContainer(toOpaque(m->userProps)) == nullptr)
        return report(ZORCLIENT_NOT_FOUND, "message has no user property map");
    *map_p = toOpaque(m->userProps);
    return ZORCLIENT_OK;
}

}  // extern "C"
