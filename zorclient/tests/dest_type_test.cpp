// Destination types outside the enum, as C callers or the network may give
// them: refused, never loaded as the enum (UBSan checks that).
#include <cstring>
#include <vector>

#include "test_support.h"

using namespace zctest;

namespace {

zorClient_destination_t withRawType(std::int32_t raw, const char* name) {
    zorClient_destination_t d = {ZORCLIENT_TOPIC_DESTINATION, name};
    std::memcpy(&d.destType, &raw, sizeof raw);
    return d;
}

}  // namespace

TEST(ZorDestType, ContainerRefusesTypesOutsideTheEnum) {
    std::vector<char> area(1024);
    zorClient_opaqueContainer_pt m = nullptr;
    ASSERT_EQ(zorClient_container_createMap(&m, area.data(), area.size()), ZORCLIENT_OK);
    for (std::int32_t raw : {4, -2, 1000, INT32_MIN}) {
        const zorClient_destination_t d = withRawType(raw, "t");
        clearError();
        EXPECT_EQ(zorClient_container_addDestination(m, &d, "d"), ZORCLIENT_FAIL) << raw;
        EXPECT_FALSE(lastError().empty()) << raw;
    }
    const zorClient_destination_t ok = withRawType(ZORCLIENT_NULL_DESTINATION, "t");
    EXPECT_EQ(zorClient_container_addDestination(m, &ok, "d"), ZORCLIENT_OK);
    zorClient_returnCode_t rc;
    auto fields = walk(m, &rc);
    EXPECT_EQ(rc, ZORCLIENT_EOS);
    ASSERT_EQ(fields.size(), 1u);
    EXPECT_EQ(fields[0].f.value.dest.destType, ZORCLIENT_NULL_DESTINATION);
    zorClient_container_closeMapStream(&m);
}

TEST(StandInDestType, ReceivedTypeOutsideTheEnumFailsTheWalk) {
    Bytes b('M');
    b.field(ZORCLIENT_DESTINATION, "d", {4, 0, 0, 0, 'q', 0}).seal();
    Msg msg;
    ASSERT_EQ(zorClient_testing_msg_setMapAttachment(msg.h, b.b.data(), static_cast<zorClient_uint32_t>(b.b.size())),
              ZORCLIENT_OK);
    zorClient_opaqueContainer_pt body = nullptr;
    if (zorClient_msg_getBinaryAttachmentMap(msg.h, &body) != ZORCLIENT_OK) return;  // refused up front: fine
    zorClient_returnCode_t rc;
    auto fields = walk(body, &rc);
    EXPECT_NE(rc, ZORCLIENT_EOS);
    EXPECT_TRUE(fields.empty());
}
