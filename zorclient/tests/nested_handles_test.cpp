// Closing a nested handle releases the handles inside it and nothing else,
// whatever order a reader closes them in.
#include <algorithm>
#include <string>
#include <vector>

#include "test_support.h"

using namespace zctest;

namespace {

constexpr int kWide = 5;

// A map of kWide maps "a", "b", ..., each holding a stream of one int32 7s.
std::vector<std::uint8_t> wideMap() {
    Bytes stream('S');
    stream.field(ZORCLIENT_INT32, "", std::vector<std::uint8_t>(4, 7)).seal();
    Bytes outer('M');
    for (int i = 0; i < kWide; ++i) {
        Bytes inner('M');
        inner.field(ZORCLIENT_STREAM, "s", stream.b).seal();
        outer.field(ZORCLIENT_MAP, std::string(1, static_cast<char>('a' + i)), inner.b);
    }
    outer.seal();
    return outer.b;
}

TEST(StandInContainer, ClosingANestedHandleReleasesOnlyWhatIsInside) {
    const auto bytes = wideMap();
    for (const std::vector<int>& order : {std::vector<int>{0, 1, 2, 3, 4}, {4, 3, 2, 1, 0}, {2, 0, 4, 1, 3}}) {
        SCOPED_TRACE(::testing::PrintToString(order));
        Msg m;
        ASSERT_EQ(
            zorClient_testing_msg_setMapAttachment(m.h, bytes.data(), static_cast<zorClient_uint32_t>(bytes.size())),
            ZORCLIENT_OK);
        zorClient_opaqueContainer_pt body = nullptr;
        ASSERT_EQ(zorClient_msg_getBinaryAttachmentMap(m.h, &body), ZORCLIENT_OK);
        const unsigned live = zorClient_testing_liveContainers();
        std::vector<zorClient_opaqueContainer_pt> maps, streams;
        for (const auto& f : walk(body)) {
            maps.push_back(f.f.value.map);
            const auto in = walk(f.f.value.map);
            ASSERT_EQ(in.size(), 1u);
            streams.push_back(in[0].f.value.stream);
        }
        ASSERT_EQ(maps.size(), static_cast<size_t>(kWide));
        std::vector<bool> open(kWide, true);
        for (int k : order) {
            auto h = maps[k];
            ASSERT_EQ(zorClient_container_closeMapStream(&h), ZORCLIENT_OK);
            open[k] = false;
            EXPECT_EQ(zorClient_container_rewind(maps[k]), ZORCLIENT_FAIL);
            EXPECT_EQ(zorClient_container_rewind(streams[k]), ZORCLIENT_FAIL);
            const auto stillOpen = static_cast<unsigned>(std::count(open.begin(), open.end(), true));
            EXPECT_EQ(zorClient_testing_liveContainers(), live + 2 * stillOpen);
            // The others keep their handles and read as before.
            for (int i = 0; i < kWide; ++i) {
                if (!open[i]) continue;
                const auto in = walk(maps[i]);
                ASSERT_EQ(in.size(), 1u);
                EXPECT_EQ(in[0].f.value.stream, streams[i]);
                const auto elems = walk(streams[i]);
                ASSERT_EQ(elems.size(), 1u);
                EXPECT_EQ(elems[0].f.value.int32, 0x07070707);
            }
        }
        // A new walk hands out new handles; the closed ones stay invalid.
        const auto again = walk(body);
        ASSERT_EQ(again.size(), static_cast<size_t>(kWide));
        for (int i = 0; i < kWide; ++i) EXPECT_NE(again[i].f.value.map, maps[i]);
        for (auto h : maps) EXPECT_EQ(zorClient_container_rewind(h), ZORCLIENT_FAIL);
    }

    // Handles closed under a message body are followed by ones under a map
    // built in the caller's buffer: these read that buffer.
    char outer[128], inner[64];
    zorClient_opaqueContainer_pt map = nullptr, sub = nullptr;
    ASSERT_EQ(zorClient_container_createMap(&map, outer, sizeof outer), ZORCLIENT_OK);
    ASSERT_EQ(zorClient_container_createMap(&sub, inner, sizeof inner), ZORCLIENT_OK);
    zorClient_container_addInt32(sub, 42, "x");
    ASSERT_EQ(zorClient_container_addContainer(map, sub, "m"), ZORCLIENT_OK);
    zorClient_container_closeMapStream(&sub);
    const auto top = walk(map);
    ASSERT_EQ(top.size(), 1u);
    const auto in = walk(top[0].f.value.map);
    ASSERT_EQ(in.size(), 1u);
    EXPECT_EQ(in[0].name, "x");
    EXPECT_EQ(in[0].f.value.int32, 42);
    zorClient_container_closeMapStream(&map);
}

}  // namespace
