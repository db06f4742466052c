// Storage the library reuses in place: the user property map when a property
// is set again, and the body when a new one fits the old storage.
#include <string>
#include <vector>

#include "test_support.h"

using namespace zctest;

namespace {

std::vector<std::string> names(zorClient_opaqueContainer_pt c) {
    std::vector<std::string> out;
    for (const auto& f : walk(c)) out.push_back(f.name + "=" + (f.f.value.string ? f.f.value.string : "(null)"));
    return out;
}

TEST(StandInReuse, PropertySetAgainReplacesInPlaceAndKeepsAWalkGoing) {
    Msg m;
    zorClient_opaqueContainer_pt up = nullptr;
    ASSERT_EQ(zorClient_msg_createUserPropertyMap(m.h, &up, 64), ZORCLIENT_OK);
    for (const char* ct : {"json", "msgpack", "json", "bytes/json"})  // the last field, again and again
        ASSERT_EQ(zorClient_container_addString(up, ct, "ct"), ZORCLIENT_OK);
    EXPECT_EQ(names(up), (std::vector<std::string>{"ct=bytes/json"}));

    ASSERT_EQ(zorClient_container_addString(up, "1", "a"), ZORCLIENT_OK);
    ASSERT_EQ(zorClient_container_addString(up, "2", "b"), ZORCLIENT_OK);
    // A walk stopped after "a" goes on with "b" once "ct" (behind it) moves to the end.
    ASSERT_EQ(zorClient_container_rewind(up), ZORCLIENT_OK);
    zorClient_field_t f;
    const char* name = nullptr;
    ASSERT_EQ(zorClient_container_getNextField(up, &f, sizeof f, &name), ZORCLIENT_OK);
    ASSERT_EQ(zorClient_container_getNextField(up, &f, sizeof f, &name), ZORCLIENT_OK);
    ASSERT_STREQ(name, "a");
    ASSERT_EQ(zorClient_container_addString(up, "sdt", "ct"), ZORCLIENT_OK);
    ASSERT_EQ(zorClient_container_getNextField(up, &f, sizeof f, &name), ZORCLIENT_OK);
    EXPECT_STREQ(name, "b");
    ASSERT_EQ(zorClient_container_getNextField(up, &f, sizeof f, &name), ZORCLIENT_OK);
    EXPECT_STREQ(name, "ct");
    EXPECT_STREQ(f.value.string, "sdt");
    EXPECT_EQ(zorClient_container_getNextField(up, &f, sizeof f, &name), ZORCLIENT_EOS);
    // Replacing a field in the middle closes the gap.
    ASSERT_EQ(zorClient_container_addString(up, "22", "b"), ZORCLIENT_OK);
    EXPECT_EQ(names(up), (std::vector<std::string>{"a=1", "ct=sdt", "b=22"}));
}

TEST(StandInReuse, BodyOfTheSameSizeInvalidatesOldMapHandles) {
    Msg m;
    Bytes inner('S');
    inner.field(ZORCLIENT_STRING, "", text("in")).seal();
    Bytes outer('M');
    outer.field(ZORCLIENT_STREAM, "s", inner.b).seal();
    const auto n = static_cast<zorClient_uint32_t>(outer.b.size());
    ASSERT_EQ(zorClient_testing_msg_setMapAttachment(m.h, outer.b.data(), n), ZORCLIENT_OK);
    const unsigned live = zorClient_testing_liveContainers();
    zorClient_opaqueContainer_pt body = nullptr;
    ASSERT_EQ(zorClient_msg_getBinaryAttachmentMap(m.h, &body), ZORCLIENT_OK);
    const auto fields = walk(body);
    ASSERT_EQ(fields.size(), 1u);
    const auto nested = fields[0].f.value.stream;

    // Raw bytes of the same size go into the same storage.
    const std::vector<char> raw(n, 'r');
    ASSERT_EQ(zorClient_msg_setBinaryAttachment(m.h, raw.data(), n), ZORCLIENT_OK);
    EXPECT_EQ(zorClient_testing_liveContainers(), live);
    zorClient_field_t f;
    EXPECT_EQ(zorClient_container_getNextField(body, &f, sizeof f, nullptr), ZORCLIENT_FAIL);
    EXPECT_EQ(zorClient_container_getNextField(nested, &f, sizeof f, nullptr), ZORCLIENT_FAIL);
    zorClient_opaqueContainer_pt again = nullptr;
    EXPECT_EQ(zorClient_msg_getBinaryAttachmentMap(m.h, &again), ZORCLIENT_FAIL);  // not a map now

    // A smaller map into the same storage: a fresh handle reads the new content.
    std::vector<char> mapBuf(n + 64);
    zorClient_opaqueContainer_pt built = nullptr;
    ASSERT_EQ(zorClient_container_createMap(&built, mapBuf.data(), mapBuf.size()), ZORCLIENT_OK);
    ASSERT_EQ(zorClient_container_addString(built, "xy", "t"), ZORCLIENT_OK);
    ASSERT_EQ(zorClient_msg_setBinaryAttachmentContainer(m.h, built), ZORCLIENT_OK);
    zorClient_container_closeMapStream(&built);
    ASSERT_EQ(zorClient_msg_getBinaryAttachmentMap(m.h, &again), ZORCLIENT_OK);
    const auto now = walk(again);
    ASSERT_EQ(now.size(), 1u);
    EXPECT_EQ(now[0].name, "t");
    EXPECT_STREQ(now[0].f.value.string, "xy");
}

TEST(ZorReuse, BodyFromItsOwnBytesAndShrinking) {
    Msg m;
    const std::string big(10000, 'b');
    ASSERT_EQ(zorClient_msg_setBinaryAttachment(m.h, big.data(), static_cast<zorClient_uint32_t>(big.size())),
              ZORCLIENT_OK);
    void* p = nullptr;
    zorClient_uint32_t n = 0;
    ASSERT_EQ(zorClient_msg_getBinaryAttachmentPtr(m.h, &p, &n), ZORCLIENT_OK);
    static_cast<char*>(p)[9000] = 'x';
    // A tail of the body itself, short enough to fit the old storage.
    ASSERT_EQ(zorClient_msg_setBinaryAttachment(m.h, static_cast<char*>(p) + 8999, 1001), ZORCLIENT_OK);
    ASSERT_EQ(zorClient_msg_getBinaryAttachmentPtr(m.h, &p, &n), ZORCLIENT_OK);
    ASSERT_EQ(n, 1001u);
    EXPECT_EQ(std::string(static_cast<char*>(p), 3), "bxb");
    // Much smaller bodies and the empty body still read back exactly.
    ASSERT_EQ(zorClient_msg_setBinaryAttachment(m.h, "ab", 2), ZORCLIENT_OK);
    ASSERT_EQ(zorClient_msg_getBinaryAttachmentPtr(m.h, &p, &n), ZORCLIENT_OK);
    EXPECT_EQ(std::string(static_cast<char*>(p), n), "ab");
    ASSERT_EQ(zorClient_msg_setBinaryAttachment(m.h, "cd", 0), ZORCLIENT_OK);
    EXPECT_EQ(zorClient_msg_getBinaryAttachmentPtr(m.h, &p, &n), ZORCLIENT_NOT_FOUND);
}

}  // namespace
