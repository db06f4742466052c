// Message lifetime, addressing and header flags.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "container.h"
#include "errors.h"
#include "message.h"
#include "zorclient.h"

using namespace zc;

namespace {

constexpr const char* kBadMsg = "invalid message handle (null, freed or unknown)";

bool consumeAllocFailure() {
    unsigned n = gFailAllocs.load(std::memory_order_relaxed);
    while (n > 0) {
        if (gFailAllocs.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) return true;
    }
    return false;
}

zorClient_returnCode_t setDest(zorClient_opaqueMsg_pt msg_p, const zorClient_destination_t* dest_p, size_t destSize,
                               DestinationField Message::*which) {
    Message* m = findMessage(msg_p);
    if (!m) return report(ZORCLIENT_FAIL, kBadMsg);
    if (!dest_p) return fail("null destination record");
    if (destSize < sizeof(zorClient_destination_t))
        return fail("destination record size %zu smaller than %zu", destSize, sizeof(zorClient_destination_t));
    // Read as a plain int: C callers may put any value in the enum's slot,
    // and loading an out-of-range value as the enum type is undefined in C++.
    std::int32_t type;
    std::memcpy(&type, &dest_p->destType, sizeof type);
    if (type < ZORCLIENT_TOPIC_DESTINATION || type > ZORCLIENT_QUEUE_TEMP_DESTINATION)
        return fail("invalid destination type %d", type);
    if (!dest_p->dest) return fail("null destination name");
    const size_t len = strnlen(dest_p->dest, ZORCLIENT_MAX_DEST_NAME_LEN + 1);
    if (len == 0) return fail("empty destination name");
    if (len > ZORCLIENT_MAX_DEST_NAME_LEN)
        return fail("destination name longer than %d bytes", ZORCLIENT_MAX_DEST_NAME_LEN);
    if (takeRefusal(gFailDestinationCopies)) return fail("out of memory for the destination name (test control)");
    try {
        // Into the old name's storage: setting a long name again allocates
        // nothing, and a failed allocation leaves the old name.
        DestinationField& d = m->*which;
        d.name.assign(dest_p->dest, len);
        d.type = type;
        d.set = true;
    } catch (const std::bad_alloc&) {
        return fail("out of memory for the destination name");
    }
    return ZORCLIENT_OK;
}

zorClient_returnCode_t getDest(zorClient_opaqueMsg_pt msg_p, zorClient_destination_t* dest_p, size_t destSize,
                               DestinationField Message::*which, const char* absent) {
    Message* m = findMessage(msg_p);
    if (!m) return report(ZORCLIENT_FAIL, kBadMsg);
    if (!dest_p) return fail("null destination record");
    if (destSize < sizeof(zorClient_destination_t))
        return fail("destination record size %zu smaller than %zu", destSize, sizeof(zorClient_destination_t));
    const DestinationField& d = m->*which;
    if (!d.set) return report(ZORCLIENT_NOT_FOUND, absent);
    dest_p->destType = static_cast<zorClient_destinationType_t>(d.type);
    dest_p->dest = d.name.c_str();
    return ZORCLIENT_OK;
}

zorClient_returnCode_t setFlag(zorClient_opaqueMsg_pt msg_p, bool Message::*flag, zorClient_bool_t value) {
    Message* m = findMessage(msg_p);
    if (!m) return report(ZORCLIENT_FAIL, kBadMsg);
    m->*flag = value != 0;
    return ZORCLIENT_OK;
}

zorClient_bool_t getFlag(zorClient_opaqueMsg_pt msg_p, bool Message::*flag) {
    Message* m = findMessage(msg_p);
    if (!m) {
        report(ZORCLIENT_FAIL, kBadMsg);
        return 0;
    }
    return m->*flag ? 1 : 0;
}

zorClient_returnCode_t setText(zorClient_opaqueMsg_pt msg_p, const char* text, bool Message::*has,
                               std::string Message::*value, const char* what) {
    Message* m = findMessage(msg_p);
    if (!m) return report(ZORCLIENT_FAIL, kBadMsg);
    if (!text) return fail("null %s", what);
    try {
        (m->*value).assign(text);
    } catch (const std::bad_alloc&) {
        return fail("out of memory for the %s", what);
    }
    m->*has = true;
    return ZORCLIENT_OK;
}

zorClient_returnCode_t getText(zorClient_opaqueMsg_pt msg_p, const char** text_p, bool Message::*has,
                               std::string Message::*value, const char* absent) {
    Message* m = findMessage(msg_p);
    if (!m) return report(ZORCLIENT_FAIL, kBadMsg);
    if (!text_p) return fail("null address for the text");
    if (!(m->*has)) return report(ZORCLIENT_NOT_FOUND, absent);
    *text_p = (m->*value).c_str();
    return ZORCLIENT_OK;
}

}  // namespace

extern "C" {

zorClient_returnCode_t zorClient_msg_alloc(zorClient_opaqueMsg_pt* msg_p) {
    if (!msg_p) return fail("null address for the message handle");
    if (consumeAllocFailure()) return fail("message allocation refused (test control)");
    std::unique_ptr<Message> m(new (std::nothrow) Message());
    if (!m) return fail("out of memory for a message");
    const Handle h = messageRegistry().add(m.get());
    if (h == 0) return fail("no message handle available");
    m->handle = h;
    static_cast<void>(m.release());  // the registry owns it now
    gLiveMessages.fetch_add(1, std::memory_order_relaxed);
    *msg_p = toOpaque(h);
    return ZORCLIENT_OK;
}

zorClient_returnCode_t zorClient_msg_free(zorClient_opaqueMsg_pt* msg_p) {
    if (!msg_p) return fail("null address for the message handle");
    Message* m = findMessage(*msg_p);
    if (!m) return report(ZORCLIENT_FAIL, kBadMsg);
    if (Container* c = findContainer(toOpaque(m->bodyMap))) releaseContainer(c);
    if (Container* c = findContainer(toOpaque(m->userProps))) releaseContainer(c);
    std::unique_ptr<Message> owned(static_cast<Message*>(messageRegistry().remove(m->handle)));
    gLiveMessages.fetch_sub(1, std::memory_order_relaxed);
    *msg_p = nullptr;
    return ZORCLIENT_OK;
}

zorClient_returnCode_t zorClient_msg_setDestination(zorClient_opaqueMsg_pt msg_p, zorClient_destination_t* dest_p,
                                                    size_t destSize) {
    return setDest(msg_p, dest_p, destSize, &Message::dest);
}

zorClient_returnCode_t zorClient_msg_getDestination(zorClient_opaqueMsg_pt msg_p, zorClient_destination_t* dest_p,
                                                    size_t destSize) {
    return getDest(msg_p, dest_p, destSize, &Message::dest, "no destination set");
}

zorClient_returnCode_t zorClient_msg_setReplyTo(zorClient_opaqueMsg_pt msg_p, zorClient_destination_t* dest_p,
                                                size_t destSize) {
    return setDest(msg_p, dest_p, destSize, &Message::replyTo);
}

zorClient_returnCode_t zorClient_msg_getReplyTo(zorClient_opaqueMsg_pt msg_p, zorClient_destination_t* dest_p,
                                                size_t destSize) {
    return getDest(msg_p, dest_p, destSize, &Message::replyTo, "no reply-to destination set");
}

zorClient_returnCode_t zorClient_msg_setAsReplyMsg(zorClient_opaqueMsg_pt msg_p, zorClient_bool_t isReply) {
    return setFlag(msg_p, &Message::reply, isReply);
}

zorClient_bool_t zorClient_msg_isReplyMsg(zorClient_opaqueMsg_pt msg_p) { return getFlag(msg_p, &Message::reply); }

zorClient_returnCode_t zorClient_msg_setElidingEligible(zorClient_opaqueMsg_pt msg_p, zorClient_bool_t elide) {
    return setFlag(msg_p, &Message::eliding, elide);
}

zorClient_bool_t zorClient_msg_isElidingEligible(zorClient_opaqueMsg_pt msg_p) {
    return getFlag(msg_p, &Message::eliding);
}

zorClient_returnCode_t zorClient_msg_setDeliverToOne(zorClient_opaqueMsg_pt msg_p, zorClient_bool_t toOne) {
    return setFlag(msg_p, &Message::toOne, toOne);
}

zorClient_bool_t zorClient_msg_isDeliverToOne(zorClient_opaqueMsg_pt msg_p) { return getFlag(msg_p, &Message::toOne); }

zorClient_returnCode_t zorClient_msg_setDeliveryMode(zorClient_opaqueMsg_pt msg_p, zorClient_uint32_t mode) {
    Message* m = findMessage(msg_p);
    if (!m) return report(ZORCLIENT_FAIL, kBadMsg);
    m->deliveryMode = mode;
    return ZORCLIENT_OK;
}

zorClient_returnCode_t zorClient_msg_getDeliveryMode(zorClient_opaqueMsg_pt msg_p, zorClient_uint32_t* mode_p) {
    Message* m = findMessage(msg_p);
    if (!m) return report(ZORCLIENT_FAIL, kBadMsg);
    if (!mode_p) return fail("null address for the delivery mode");
    *mode_p = m->deliveryMode;
    return ZORCLIENT_OK;
}

zorClient_returnCode_t zorClient_msg_setCorrelationId(zorClient_opaqueMsg_pt msg_p, const char* corrId) {
    return setText(msg_p, corrId, &Message::hasCorrId, &Message::corrId, "correlation id");
}

zorClient_returnCode_t zorClient_msg_getCorrelationId(zorClient_opaqueMsg_pt msg_p, const char** corrId_p) {
    return getText(msg_p, corrId_p, &Message::hasCorrId, &Message::corrId, "no correlation id set");
}

zorClient_returnCode_t zorClient_msg_getHttpContentType(zorClient_opaqueMsg_pt msg_p, const char** type_p) {
    return getText(msg_p, type_p, &Message::hasHttpContentType, &Message::httpContentType, "no HTTP content type set");
}

#ifndef ZORCLIENT_NO_TEST_CONTROLS
// Only the network side sets this on a real message: a test control here.
zorClient_returnCode_t zorClient_msg_setHttpContentType(zorClient_opaqueMsg_pt msg_p, const char* type) {
    return setText(msg_p, type, &Message::hasHttpContentType, &Message::httpContentType, "HTTP content type");
}
#endif

}  // extern "C"
