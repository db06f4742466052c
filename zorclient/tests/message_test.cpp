// Messages: header fields, bodies, user properties, handle checks, dump.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "test_support.h"

using namespace zctest;

namespace {

TEST(ZorMessage, DestinationValidationKeepsPreviousValue) {
    Msg m;
    zorClient_destination_t good = {ZORCLIENT_QUEUE_DESTINATION, "orders"};
    ASSERT_EQ(zorClient_msg_setDestination(m.h, &good, sizeof good), ZORCLIENT_OK);
    const std::string longest(ZORCLIENT_MAX_DEST_NAME_LEN, 'n'), tooLong(ZORCLIENT_MAX_DEST_NAME_LEN + 1, 'n');
    struct Bad {
        const char* label;
        zorClient_destination_t d;
        size_t size;
    };
    const Bad bad[] = {
        {"null name", {ZORCLIENT_TOPIC_DESTINATION, nullptr}, sizeof(zorClient_destination_t)},
        {"empty name", {ZORCLIENT_TOPIC_DESTINATION, ""}, sizeof(zorClient_destination_t)},
        {"too long", {ZORCLIENT_TOPIC_DESTINATION, tooLong.c_str()}, sizeof(zorClient_destination_t)},
        {"small record", {ZORCLIENT_TOPIC_DESTINATION, "t"}, sizeof(zorClient_destination_t) - 1},
        {"null type", {ZORCLIENT_NULL_DESTINATION, "t"}, sizeof(zorClient_destination_t)},
        {"type 4", {ZORCLIENT_QUEUE_TEMP_DESTINATION, "t"}, sizeof(zorClient_destination_t)},
    };
    for (const auto& b : bad) {
        // An out-of-range type as it would arrive from C code.
        const bool four = std::string(b.label) == "type 4";
        for (auto setter : {zorClient_msg_setDestination, zorClient_msg_setReplyTo}) {
            clearError();
            zorClient_destination_t d = b.d;
            if (four) {
                const int raw = 4;
                std::memcpy(&d.destType, &raw, sizeof raw);
            }
            EXPECT_EQ(setter(m.h, &d, b.size), ZORCLIENT_FAIL) << b.label;
            EXPECT_FALSE(lastError().empty()) << b.label;
        }
    }
    zorClient_destination_t out = {ZORCLIENT_TOPIC_DESTINATION, nullptr};
    ASSERT_EQ(zorClient_msg_getDestination(m.h, &out, sizeof out), ZORCLIENT_OK);
    EXPECT_EQ(out.destType, ZORCLIENT_QUEUE_DESTINATION);
    EXPECT_STREQ(out.dest, "orders");
    // Reply-to was never set successfully.
    zorClient_destination_t untouched = {ZORCLIENT_TOPIC_TEMP_DESTINATION, "keep"};
    EXPECT_EQ(zorClient_msg_getReplyTo(m.h, &untouched, sizeof untouched), ZORCLIENT_NOT_FOUND);
    EXPECT_STREQ(untouched.dest, "keep");

    // The name is copied, and the longest allowed name is accepted.
    std::string name = longest;
    zorClient_destination_t reply = {ZORCLIENT_TOPIC_TEMP_DESTINATION, name.c_str()};
    ASSERT_EQ(zorClient_msg_setReplyTo(m.h, &reply, sizeof reply), ZORCLIENT_OK);
    name.assign(name.size(), 'z');
    ASSERT_EQ(zorClient_msg_getReplyTo(m.h, &out, sizeof out), ZORCLIENT_OK);
    EXPECT_EQ(out.dest, longest);
    EXPECT_EQ(out.destType, ZORCLIENT_TOPIC_TEMP_DESTINATION);
}

TEST(ZorMessage, FlagsModeAndTexts) {
    Msg m;
    EXPECT_EQ(zorClient_msg_isReplyMsg(m.h), 0);
    zorClient_msg_setAsReplyMsg(m.h, 0x80);  // any non-zero byte is true
    zorClient_msg_setElidingEligible(m.h, 1);
    zorClient_msg_setDeliverToOne(m.h, 2);
    EXPECT_EQ(zorClient_msg_isReplyMsg(m.h), 1);
    EXPECT_EQ(zorClient_msg_isElidingEligible(m.h), 1);
    EXPECT_EQ(zorClient_msg_isDeliverToOne(m.h), 1);
    zorClient_msg_setAsReplyMsg(m.h, 0);
    EXPECT_EQ(zorClient_msg_isReplyMsg(m.h), 0);

    zorClient_uint32_t mode = 99;
    ASSERT_EQ(zorClient_msg_getDeliveryMode(m.h, &mode), ZORCLIENT_OK);
    EXPECT_EQ(mode, ZORCLIENT_DELIVERY_MODE_DIRECT);
    zorClient_msg_setDeliveryMode(m.h, 0x1234);
    zorClient_msg_getDeliveryMode(m.h, &mode);
    EXPECT_EQ(mode, 0x1234u);

    const char* out = "untouched";
    EXPECT_EQ(zorClient_msg_getHttpContentType(m.h, &out), ZORCLIENT_NOT_FOUND);
    EXPECT_STREQ(out, "untouched");
    EXPECT_EQ(zorClient_msg_getCorrelationId(m.h, &out), ZORCLIENT_NOT_FOUND);
    EXPECT_STREQ(out, "untouched");
    std::string text = "abc-123";
    ASSERT_EQ(zorClient_msg_setCorrelationId(m.h, text.c_str()), ZORCLIENT_OK);
    text[0] = 'X';
    ASSERT_EQ(zorClient_msg_getCorrelationId(m.h, &out), ZORCLIENT_OK);
    EXPECT_STREQ(out, "abc-123");
    EXPECT_EQ(zorClient_msg_setCorrelationId(m.h, nullptr), ZORCLIENT_FAIL);
}

TEST(StandInMessage, HttpContentTypeSetterCopies) {
    Msg m;
    std::string text = "abc-123";
    ASSERT_EQ(zorClient_msg_setHttpContentType(m.h, text.c_str()), ZORCLIENT_OK);
    text[0] = 'X';
    const char* out = nullptr;
    ASSERT_EQ(zorClient_msg_getHttpContentType(m.h, &out), ZORCLIENT_OK);
    EXPECT_STREQ(out, "abc-123");
    EXPECT_EQ(zorClient_msg_setHttpContentType(m.h, nullptr), ZORCLIENT_FAIL);
}

TEST(ZorMessage, BinaryAttachmentIsCopiedAndRemovable) {
    Msg m;
    void* p = nullptr;
    zorClient_uint32_t n = 7;
    EXPECT_EQ(zorClient_msg_getBinaryAttachmentPtr(m.h, &p, &n), ZORCLIENT_NOT_FOUND);
    EXPECT_EQ(n, 7u);
    char data[] = {'a', 0, 'b', 0};
    ASSERT_EQ(zorClient_msg_setBinaryAttachment(m.h, data, sizeof data), ZORCLIENT_OK);
    data[0] = 'z';
    ASSERT_EQ(zorClient_msg_getBinaryAttachmentPtr(m.h, &p, &n), ZORCLIENT_OK);
    ASSERT_EQ(n, 4u);
    EXPECT_EQ(std::memcmp(p, "a\0b\0", 4), 0);
    // Setting the body from its own bytes works.
    ASSERT_EQ(zorClient_msg_setBinaryAttachment(m.h, static_cast<char*>(p) + 2, 2), ZORCLIENT_OK);
    ASSERT_EQ(zorClient_msg_getBinaryAttachmentPtr(m.h, &p, &n), ZORCLIENT_OK);
    EXPECT_EQ(std::string(static_cast<char*>(p), n), std::string("b\0", 2));
    EXPECT_EQ(zorClient_msg_setBinaryAttachment(m.h, nullptr, 3), ZORCLIENT_FAIL);
    EXPECT_EQ(zorClient_msg_setBinaryAttachment(m.h, nullptr, 0), ZORCLIENT_OK);
    EXPECT_EQ(zorClient_msg_getBinaryAttachmentPtr(m.h, &p, &n), ZORCLIENT_NOT_FOUND);
}

// Gives the message a map body with one string field, "bytes/json" =
// {"a":1}, built in a buffer that is overwritten afterwards: the body is a copy.
void setOneFieldMapBody(zorClient_opaqueMsg_pt msg) {
    std::vector<char> buf(256);
    zorClient_opaqueContainer_pt built = nullptr;
    ASSERT_EQ(zorClient_container_createMap(&built, buf.data(), buf.size()), ZORCLIENT_OK);
    zorClient_container_addString(built, "{\"a\":1}", "bytes/json");
    ASSERT_EQ(zorClient_msg_setBinaryAttachmentContainer(msg, built), ZORCLIENT_OK);
    zorClient_container_closeMapStream(&built);
    buf.assign(buf.size(), '\x7f');
}

TEST(ZorMessage, MapBodyHandleLifecycle) {
    Msg m;
    zorClient_opaqueContainer_pt body = nullptr;
    EXPECT_EQ(zorClient_msg_getBinaryAttachmentMap(m.h, &body), ZORCLIENT_FAIL);  // no body
    zorClient_msg_setBinaryAttachment(m.h, "raw", 3);
    EXPECT_EQ(zorClient_msg_getBinaryAttachmentMap(m.h, &body), ZORCLIENT_FAIL);  // raw bytes
    EXPECT_EQ(body, nullptr);

    setOneFieldMapBody(m.h);

    ASSERT_EQ(zorClient_msg_getBinaryAttachmentMap(m.h, &body), ZORCLIENT_OK);
    zorClient_opaqueContainer_pt again = nullptr;
    ASSERT_EQ(zorClient_msg_getBinaryAttachmentMap(m.h, &again), ZORCLIENT_OK);
    EXPECT_EQ(again, body);
    EXPECT_EQ(zorClient_container_addInt64(body, 1, "x"), ZORCLIENT_FAIL);  // read-only
    const char* v = nullptr;
    ASSERT_EQ(zorClient_container_getStringPtr(body, &v, "bytes/json"), ZORCLIENT_OK);
    EXPECT_STREQ(v, "{\"a\":1}");

    // A map body has a raw view too.
    void* p = nullptr;
    zorClient_uint32_t n = 0;
    ASSERT_EQ(zorClient_msg_getBinaryAttachmentPtr(m.h, &p, &n), ZORCLIENT_OK);
    EXPECT_GT(n, 0u);

    // Closing is allowed; the next call makes a fresh handle.
    ASSERT_EQ(zorClient_container_closeMapStream(&again), ZORCLIENT_OK);
    EXPECT_EQ(zorClient_container_rewind(body), ZORCLIENT_FAIL);
    ASSERT_EQ(zorClient_msg_getBinaryAttachmentMap(m.h, &body), ZORCLIENT_OK);
    EXPECT_NE(body, again);

    // Replacing the body invalidates the handle and its nested handles.
    zorClient_msg_setBinaryAttachment(m.h, "new", 3);
    clearError();
    EXPECT_EQ(zorClient_container_getStringPtr(body, &v, "bytes/json"), ZORCLIENT_FAIL);
    EXPECT_FALSE(lastError().empty());
}

// The stand-in's map body: its encoding as the raw view, one counted handle
// while the body lasts.
TEST(StandInMessage, MapBodyEncodingAndHandleCount) {
    Msg m;
    setOneFieldMapBody(m.h);

    void* p = nullptr;
    zorClient_uint32_t n = 0;
    ASSERT_EQ(zorClient_msg_getBinaryAttachmentPtr(m.h, &p, &n), ZORCLIENT_OK);
    EXPECT_EQ(static_cast<char*>(p)[0], 'M');
    EXPECT_EQ(n, 8u + 8u + 11u + 8u);

    const unsigned live = zorClient_testing_liveContainers();
    zorClient_opaqueContainer_pt body = nullptr, again = nullptr;
    ASSERT_EQ(zorClient_msg_getBinaryAttachmentMap(m.h, &body), ZORCLIENT_OK);
    ASSERT_EQ(zorClient_msg_getBinaryAttachmentMap(m.h, &again), ZORCLIENT_OK);
    EXPECT_EQ(zorClient_testing_liveContainers(), live + 1);
    zorClient_msg_setBinaryAttachment(m.h, "new", 3);
    EXPECT_EQ(zorClient_testing_liveContainers(), live);
}

TEST(ZorMessage, FreeInvalidatesBodyAndNestedHandles) {
    zorClient_opaqueMsg_pt m = nullptr;
    ASSERT_EQ(zorClient_msg_alloc(&m), ZORCLIENT_OK);
    char outer[256], inner[64];
    zorClient_opaqueContainer_pt map = nullptr, stream = nullptr;
    ASSERT_EQ(zorClient_container_createMap(&map, outer, sizeof outer), ZORCLIENT_OK);
    ASSERT_EQ(zorClient_container_createStream(&stream, inner, sizeof inner), ZORCLIENT_OK);
    zorClient_container_addInt64(stream, 1, nullptr);
    ASSERT_EQ(zorClient_container_addContainer(map, stream, "s"), ZORCLIENT_OK);
    ASSERT_EQ(zorClient_msg_setBinaryAttachmentContainer(m, map), ZORCLIENT_OK);
    zorClient_container_closeMapStream(&stream);
    zorClient_container_closeMapStream(&map);

    zorClient_opaqueContainer_pt body = nullptr;
    ASSERT_EQ(zorClient_msg_getBinaryAttachmentMap(m, &body), ZORCLIENT_OK);
    const auto fields = walk(body);
    ASSERT_EQ(fields.size(), 1u);
    ASSERT_EQ(fields[0].f.type, ZORCLIENT_STREAM);
    const auto nested = fields[0].f.value.stream;
    EXPECT_EQ(walk(nested).size(), 1u);

    ASSERT_EQ(zorClient_msg_free(&m), ZORCLIENT_OK);
    EXPECT_EQ(m, nullptr);
    zorClient_field_t f;
    EXPECT_EQ(zorClient_container_getNextField(body, &f, sizeof f, nullptr), ZORCLIENT_FAIL);
    EXPECT_EQ(zorClient_container_getNextField(nested, &f, sizeof f, nullptr), ZORCLIENT_FAIL);
    EXPECT_EQ(zorClient_container_closeMapStream(&body), ZORCLIENT_FAIL);
}

TEST(StandInMessage, FreeOfAReceivedMapBodyReleasesEveryHandle) {
    const unsigned liveC = zorClient_testing_liveContainers(), liveM = zorClient_testing_liveMsgs();
    zorClient_opaqueMsg_pt m = nullptr;
    ASSERT_EQ(zorClient_msg_alloc(&m), ZORCLIENT_OK);
    EXPECT_EQ(zorClient_testing_liveMsgs(), liveM + 1);
    Bytes inner('S');
    inner.field(ZORCLIENT_INT64, "", std::vector<std::uint8_t>(8, 1)).seal();
    Bytes outer('M');
    outer.field(ZORCLIENT_STREAM, "s", inner.b).seal();
    ASSERT_EQ(
        zorClient_testing_msg_setMapAttachment(m, outer.b.data(), static_cast<zorClient_uint32_t>(outer.b.size())),
        ZORCLIENT_OK);
    zorClient_opaqueContainer_pt body = nullptr;
    ASSERT_EQ(zorClient_msg_getBinaryAttachmentMap(m, &body), ZORCLIENT_OK);
    const auto fields = walk(body);
    ASSERT_EQ(fields.size(), 1u);
    const auto nested = fields[0].f.value.stream;
    EXPECT_EQ(walk(nested).size(), 1u);
    EXPECT_EQ(zorClient_testing_liveContainers(), liveC + 2);

    ASSERT_EQ(zorClient_msg_free(&m), ZORCLIENT_OK);
    EXPECT_EQ(m, nullptr);
    EXPECT_EQ(zorClient_testing_liveMsgs(), liveM);
    EXPECT_EQ(zorClient_testing_liveContainers(), liveC);
    zorClient_field_t f;
    EXPECT_EQ(zorClient_container_getNextField(body, &f, sizeof f, nullptr), ZORCLIENT_FAIL);
    EXPECT_EQ(zorClient_container_getNextField(nested, &f, sizeof f, nullptr), ZORCLIENT_FAIL);
    EXPECT_EQ(zorClient_container_closeMapStream(&body), ZORCLIENT_FAIL);
}

TEST(ZorMessage, UserPropertyMapReplacesByNameAndGrows) {
    Msg m;
    zorClient_opaqueContainer_pt up = nullptr, again = nullptr;
    EXPECT_EQ(zorClient_msg_getUserPropertyMap(m.h, &up), ZORCLIENT_NOT_FOUND);
    ASSERT_EQ(zorClient_msg_createUserPropertyMap(m.h, &up, 64), ZORCLIENT_OK);
    ASSERT_EQ(zorClient_msg_createUserPropertyMap(m.h, &again, 64), ZORCLIENT_OK);
    EXPECT_EQ(again, up);

    const std::string longValue(300, 'v');
    ASSERT_EQ(zorClient_container_addString(up, "json", "ct"), ZORCLIENT_OK);
    ASSERT_EQ(zorClient_container_addString(up, longValue.c_str(), "meta"), ZORCLIENT_OK);
    ASSERT_EQ(
        zorClient_container_addString(up, "msgpack-with-a-long-content-type-name-beyond-sixty-four-bytes-total", "ct"),
        ZORCLIENT_OK);
    const char* v = nullptr;
    ASSERT_EQ(zorClient_container_getStringPtr(up, &v, "ct"), ZORCLIENT_OK);
    EXPECT_STREQ(v, "msgpack-with-a-long-content-type-name-beyond-sixty-four-bytes-total");
    // Re-adding a value read from the map itself is safe.
    ASSERT_EQ(zorClient_container_addString(up, v, "ct"), ZORCLIENT_OK);
    const auto fields = walk(up);
    ASSERT_EQ(fields.size(), 2u);
    EXPECT_EQ(fields[0].name, "meta");
    EXPECT_EQ(fields[0].f.value.string, longValue);
    EXPECT_EQ(fields[1].name, "ct");

    // Closing the handle leaves the map with the message.
    ASSERT_EQ(zorClient_container_closeMapStream(&again), ZORCLIENT_OK);
    EXPECT_EQ(again, nullptr);
    ASSERT_EQ(zorClient_msg_getUserPropertyMap(m.h, &again), ZORCLIENT_OK);
    EXPECT_EQ(again, up);
    ASSERT_EQ(zorClient_container_getStringPtr(up, &v, "meta"), ZORCLIENT_OK);
    EXPECT_EQ(std::string(v), longValue);
}

TEST(ZorMessage, NullAndStaleHandlesFailWithText) {
    zorClient_opaqueMsg_pt stale = nullptr;
    ASSERT_EQ(zorClient_msg_alloc(&stale), ZORCLIENT_OK);
    zorClient_opaqueMsg_pt copy = stale;
    zorClient_msg_free(&copy);
    char cbuf[64];
    zorClient_opaqueContainer_pt staleC = nullptr;
    zorClient_container_createMap(&staleC, cbuf, sizeof cbuf);
    zorClient_opaqueContainer_pt ccopy = staleC;
    zorClient_container_closeMapStream(&ccopy);
    // A message handle is not a container handle and vice versa.
    Msg live;
    char pbuf[64];
    zorClient_opaqueContainer_pt parent = nullptr;
    ASSERT_EQ(zorClient_container_createMap(&parent, pbuf, sizeof pbuf), ZORCLIENT_OK);
    int junk = 0;

    for (void* h : {static_cast<void*>(nullptr), stale, staleC, static_cast<void*>(&junk)}) {
        zorClient_destination_t d = {ZORCLIENT_TOPIC_DESTINATION, "t"};
        const char* text = nullptr;
        void* p = nullptr;
        zorClient_uint32_t n = 0, mode = 0;
        zorClient_opaqueContainer_pt c = nullptr;
        char dump[32] = "keep";
        const std::vector<std::function<int()>> calls = {
            [&] { return zorClient_msg_setDestination(h, &d, sizeof d); },
            [&] { return zorClient_msg_getReplyTo(h, &d, sizeof d); },
            [&] { return zorClient_msg_setDeliveryMode(h, 0); },
            [&] { return zorClient_msg_getDeliveryMode(h, &mode); },
            [&] { return zorClient_msg_setCorrelationId(h, "c"); },
            [&] { return zorClient_msg_getHttpContentType(h, &text); },
            [&] { return zorClient_msg_setBinaryAttachment(h, "x", 1); },
            [&] { return zorClient_msg_getBinaryAttachmentPtr(h, &p, &n); },
            [&] { return zorClient_msg_getBinaryAttachmentMap(h, &c); },
            [&] { return zorClient_msg_createUserPropertyMap(h, &c, 64); },
            [&] { return zorClient_msg_dump(h, dump, sizeof dump); },
            [&] { return zorClient_msg_isReplyMsg(h) == 0 ? ZORCLIENT_FAIL : ZORCLIENT_OK; },
            [&] { return zorClient_container_addInt64(h, 1, "x"); },
            [&] { return zorClient_container_rewind(h); },
            [&] { return zorClient_container_getStringPtr(h, &text, "x"); },
            [&] { return zorClient_msg_setBinaryAttachmentContainer(live.h, h); },
            [&] { return zorClient_container_addContainer(parent, h, "x"); },
        };
        for (size_t i = 0; i < calls.size(); ++i) {
            clearError();
            EXPECT_EQ(calls[i](), ZORCLIENT_FAIL) << "call " << i;
            EXPECT_FALSE(lastError().empty()) << "call " << i;
        }
        EXPECT_STREQ(dump, "keep");
        zorClient_opaqueMsg_pt freed = h;
        EXPECT_EQ(zorClient_msg_free(&freed), ZORCLIENT_FAIL);
        EXPECT_EQ(freed, h);
    }
    EXPECT_EQ(walk(parent).size(), 0u);
    zorClient_container_closeMapStream(&parent);
}

TEST(StandInMessage, AllocFailureControlAndLiveCount) {
    const unsigned before = zorClient_testing_liveMsgs();
    zorClient_testing_failAllocs(2);
    zorClient_opaqueMsg_pt m = reinterpret_cast<zorClient_opaqueMsg_pt>(0x1);
    for (int i = 0; i < 2; ++i) {
        clearError();
        EXPECT_EQ(zorClient_msg_alloc(&m), ZORCLIENT_FAIL);
        EXPECT_EQ(m, reinterpret_cast<zorClient_opaqueMsg_pt>(0x1));
        EXPECT_FALSE(lastError().empty());
    }
    EXPECT_EQ(zorClient_testing_liveMsgs(), before);
    ASSERT_EQ(zorClient_msg_alloc(&m), ZORCLIENT_OK);
    EXPECT_EQ(zorClient_testing_liveMsgs(), before + 1);
    zorClient_msg_free(&m);
    EXPECT_EQ(zorClient_testing_liveMsgs(), before);
}

void fillForDump(Msg& m) {
    zorClient_destination_t d = {ZORCLIENT_QUEUE_DESTINATION, "orders/in"};
    zorClient_msg_setDestination(m.h, &d, sizeof d);
    zorClient_msg_setDeliveryMode(m.h, ZORCLIENT_DELIVERY_MODE_PERSISTENT);
    zorClient_msg_setCorrelationId(m.h, "corr-1");
    zorClient_opaqueContainer_pt up = nullptr;
    zorClient_msg_createUserPropertyMap(m.h, &up, 64);
    zorClient_container_addString(up, "json", "ct");
    zorClient_msg_setBinaryAttachment(m.h, "{\"k\": \"v123\"}", 14);
}

TEST(StandInMessage, DumpShowsTheHeader) {
    Msg m;
    fillForDump(m);
    char full[4096];
    ASSERT_EQ(zorClient_msg_dump(m.h, full, sizeof full), ZORCLIENT_OK);
    const std::string text = full;
    for (const char* want : {"Destination: Queue 'orders/in'", "Delivery Mode: PERSISTENT", "Correlation Id: 'corr-1'",
                             "ct: string 'json'", "Binary Attachment: len=14", "Reply To: (none)"})
        EXPECT_NE(text.find(want), std::string::npos) << want << "\n" << text;
}

TEST(ZorMessage, DumpFitsSmallBuffers) {
    Msg m;
    fillForDump(m);
    char full[4096];
    ASSERT_EQ(zorClient_msg_dump(m.h, full, sizeof full), ZORCLIENT_OK);
    const std::string text = full;
    ASSERT_GT(text.size(), 17u);
    for (size_t size : {1u, 2u, 17u}) {
        std::vector<char> small(size + 8, '#');
        ASSERT_EQ(zorClient_msg_dump(m.h, small.data(), size), ZORCLIENT_OK);
        EXPECT_EQ(std::string(small.data()), text.substr(0, size - 1));
        EXPECT_EQ(small[size], '#');  // nothing written past the buffer
    }
    char one[1];
    EXPECT_EQ(zorClient_msg_dump(m.h, one, 0), ZORCLIENT_FAIL);
    EXPECT_EQ(zorClient_msg_dump(m.h, nullptr, 10), ZORCLIENT_FAIL);
}

}  // namespace
