// Building and walking maps and streams.
#include <cfloat>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "test_support.h"

using namespace zctest;

namespace {

struct RoundTrip {
    const char* label;
    std::function<zorClient_returnCode_t(zorClient_opaqueContainer_pt, const char*)> add;
    zorClient_fieldType_t type;
    std::function<void(const zorClient_field_t&)> check;
};

const std::uint8_t kBlob[] = {0, 1, 2, 0xff, 0};
const zorClient_destination_t kDest = {ZORCLIENT_QUEUE_TEMP_DESTINATION, "q/tmp"};

std::vector<RoundTrip> roundTrips() {
    using F = const zorClient_field_t&;
    return {
        {"bool", [](auto c, auto n) { return zorClient_container_addBoolean(c, 1, n); }, ZORCLIENT_BOOL,
         [](F f) { EXPECT_EQ(f.value.boolean, 1); }},
        {"uint8", [](auto c, auto n) { return zorClient_container_addUint8(c, 255, n); }, ZORCLIENT_UINT8,
         [](F f) { EXPECT_EQ(f.value.uint8, 255); }},
        {"int8", [](auto c, auto n) { return zorClient_container_addInt8(c, -128, n); }, ZORCLIENT_INT8,
         [](F f) { EXPECT_EQ(f.value.int8, -128); }},
        {"uint16", [](auto c, auto n) { return zorClient_container_addUint16(c, 65535, n); }, ZORCLIENT_UINT16,
         [](F f) { EXPECT_EQ(f.value.uint16, 65535); }},
        {"int16", [](auto c, auto n) { return zorClient_container_addInt16(c, -32768, n); }, ZORCLIENT_INT16,
         [](F f) { EXPECT_EQ(f.value.int16, -32768); }},
        {"uint32", [](auto c, auto n) { return zorClient_container_addUint32(c, 0xfffffffeu, n); }, ZORCLIENT_UINT32,
         [](F f) { EXPECT_EQ(f.value.uint32, 0xfffffffeu); }},
        {"int32", [](auto c, auto n) { return zorClient_container_addInt32(c, INT32_MIN, n); }, ZORCLIENT_INT32,
         [](F f) { EXPECT_EQ(f.value.int32, INT32_MIN); }},
        {"uint64", [](auto c, auto n) { return zorClient_container_addUint64(c, UINT64_MAX, n); }, ZORCLIENT_UINT64,
         [](F f) { EXPECT_EQ(f.value.uint64, UINT64_MAX); }},
        {"int64", [](auto c, auto n) { return zorClient_container_addInt64(c, INT64_MIN, n); }, ZORCLIENT_INT64,
         [](F f) { EXPECT_EQ(f.value.int64, INT64_MIN); }},
        {"wchar", [](auto c, auto n) { return zorClient_container_addWchar(c, 0x1F600, n); }, ZORCLIENT_WCHAR,
         [](F f) { EXPECT_EQ(f.value.wchar, 0x1F600u); }},
        {"string", [](auto c, auto n) { return zorClient_container_addString(c, "h\xc3\xa9llo", n); }, ZORCLIENT_STRING,
         [](F f) { EXPECT_STREQ(f.value.string, "h\xc3\xa9llo"); }},
        {"null string", [](auto c, auto n) { return zorClient_container_addString(c, nullptr, n); }, ZORCLIENT_STRING,
         [](F f) { EXPECT_EQ(f.value.string, nullptr); }},
        {"bytearray", [](auto c, auto n) { return zorClient_container_addByteArray(c, kBlob, sizeof kBlob, n); },
         ZORCLIENT_BYTEARRAY,
         [](F f) {
             ASSERT_EQ(f.length, sizeof kBlob);
             EXPECT_EQ(std::memcmp(f.value.bytearray, kBlob, sizeof kBlob), 0);
         }},
        {"smf", [](auto c, auto n) { return zorClient_container_addSmf(c, kBlob, 3, n); }, ZORCLIENT_SMF,
         [](F f) {
             ASSERT_EQ(f.length, 3u);
             EXPECT_EQ(std::memcmp(f.value.smf, kBlob, 3), 0);
         }},
        {"float", [](auto c, auto n) { return zorClient_container_addFloat(c, 0.1f, n); }, ZORCLIENT_FLOAT,
         [](F f) { EXPECT_EQ(f.value.float32, 0.1f); }},
        {"double", [](auto c, auto n) { return zorClient_container_addDouble(c, -DBL_MAX, n); }, ZORCLIENT_DOUBLE,
         [](F f) { EXPECT_EQ(f.value.float64, -DBL_MAX); }},
        {"null", [](auto c, auto n) { return zorClient_container_addNull(c, n); }, ZORCLIENT_NULL, [](F) {}},
        {"destination", [](auto c, auto n) { return zorClient_container_addDestination(c, &kDest, n); },
         ZORCLIENT_DESTINATION,
         [](F f) {
             EXPECT_EQ(f.value.dest.destType, ZORCLIENT_QUEUE_TEMP_DESTINATION);
             EXPECT_STREQ(f.value.dest.dest, "q/tmp");
         }},
    };
}

TEST(ZorContainer, EveryFieldTypeRoundTripsInMapsAndStreams) {
    for (bool stream : {false, true}) {
        char buf[1024];
        zorClient_opaqueContainer_pt c = nullptr;
        ASSERT_EQ(stream ? zorClient_container_createStream(&c, buf, sizeof buf)
                         : zorClient_container_createMap(&c, buf, sizeof buf),
                  ZORCLIENT_OK);
        const auto cases = roundTrips();
        for (const auto& rt : cases) ASSERT_EQ(rt.add(c, stream ? nullptr : rt.label), ZORCLIENT_OK) << rt.label;
        zorClient_returnCode_t rc;
        const auto fields = walk(c, &rc);
        EXPECT_EQ(rc, ZORCLIENT_EOS);
        ASSERT_EQ(fields.size(), cases.size());
        for (size_t i = 0; i < cases.size(); ++i) {
            SCOPED_TRACE(std::string(cases[i].label) + (stream ? " in stream" : " in map"));
            EXPECT_EQ(fields[i].f.type, cases[i].type);
            EXPECT_EQ(fields[i].name, stream ? "" : cases[i].label);
            cases[i].check(fields[i].f);
        }
        ASSERT_EQ(zorClient_container_closeMapStream(&c), ZORCLIENT_OK);
        EXPECT_EQ(c, nullptr);
    }
}

TEST(ZorContainer, StreamWalkGivesNullNames) {
    char buf[64];
    zorClient_opaqueContainer_pt s = nullptr;
    ASSERT_EQ(zorClient_container_createStream(&s, buf, sizeof buf), ZORCLIENT_OK);
    ASSERT_EQ(zorClient_container_addInt64(s, 7, "ignored"), ZORCLIENT_OK);
    zorClient_field_t f;
    const char* name = "untouched";
    zorClient_container_rewind(s);
    ASSERT_EQ(zorClient_container_getNextField(s, &f, sizeof f, &name), ZORCLIENT_OK);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(zorClient_container_getNextField(s, &f, sizeof f, nullptr), ZORCLIENT_EOS);
    zorClient_container_closeMapStream(&s);
}

TEST(ZorContainer, FullBufferLeavesContainerUnchanged) {
    char buf[48];
    std::memset(buf, 0xAA, sizeof buf);
    zorClient_opaqueContainer_pt m = nullptr;
    ASSERT_EQ(zorClient_container_createMap(&m, buf, sizeof buf), ZORCLIENT_OK);
    ASSERT_EQ(zorClient_container_addInt64(m, 1, "a"), ZORCLIENT_OK);  // 8 + 8 + 2 + 8 = 26 bytes used
    char before[sizeof buf];
    std::memcpy(before, buf, sizeof buf);

    clearError();
    EXPECT_EQ(zorClient_container_addString(m, "far too long to fit", "b"), ZORCLIENT_FAIL);
    EXPECT_FALSE(lastError().empty());
    EXPECT_EQ(std::memcmp(before, buf, sizeof buf), 0);

    // Exactly the remaining 22 bytes: 8 header + 2 name + 12 value.
    EXPECT_EQ(zorClient_container_addString(m, "12345678901", "c"), ZORCLIENT_OK);
    EXPECT_EQ(zorClient_container_addBoolean(m, 1, ""), ZORCLIENT_FAIL);
    const auto fields = walk(m);
    ASSERT_EQ(fields.size(), 2u);
    EXPECT_STREQ(fields[1].f.value.string, "12345678901");
    zorClient_container_closeMapStream(&m);
}

TEST(ZorContainer, JsonTextFieldFitsInTextSizePlus128) {
    for (size_t n : {0u, 1u, 1000u, 40000u}) {
        const std::string json(n, 'x');
        std::vector<char> buf(n + 128);
        zorClient_opaqueContainer_pt m = nullptr;
        ASSERT_EQ(zorClient_container_createMap(&m, buf.data(), buf.size()), ZORCLIENT_OK);
        ASSERT_EQ(zorClient_container_addString(m, json.c_str(), "bytes/json"), ZORCLIENT_OK) << n;
        const char* v = nullptr;
        ASSERT_EQ(zorClient_container_getStringPtr(m, &v, "bytes/json"), ZORCLIENT_OK);
        EXPECT_EQ(v, json);
        zorClient_container_closeMapStream(&m);
    }
}

TEST(ZorContainer, AddContainerCopiesSoNestedBufferCanGo) {
    char outer[512];
    zorClient_opaqueContainer_pt m = nullptr;
    ASSERT_EQ(zorClient_container_createMap(&m, outer, sizeof outer), ZORCLIENT_OK);
    {
        char inner[128];
        zorClient_opaqueContainer_pt s = nullptr;
        ASSERT_EQ(zorClient_container_createStream(&s, inner, sizeof inner), ZORCLIENT_OK);
        zorClient_container_addInt32(s, 1, nullptr);
        zorClient_container_addString(s, "two", nullptr);
        char innermost[64];
        zorClient_opaqueContainer_pt sm = nullptr;
        ASSERT_EQ(zorClient_container_createMap(&sm, innermost, sizeof innermost), ZORCLIENT_OK);
        zorClient_container_addInt64(sm, 3, "k");
        ASSERT_EQ(zorClient_container_addContainer(s, sm, nullptr), ZORCLIENT_OK);
        zorClient_container_closeMapStream(&sm);
        std::memset(innermost, 0x5A, sizeof innermost);
        ASSERT_EQ(zorClient_container_addContainer(m, s, "list"), ZORCLIENT_OK);
        zorClient_container_closeMapStream(&s);
        std::memset(inner, 0xA5, sizeof inner);
    }
    auto top = walk(m);
    ASSERT_EQ(top.size(), 1u);
    EXPECT_EQ(top[0].name, "list");
    ASSERT_EQ(top[0].f.type, ZORCLIENT_STREAM);
    auto elems = walk(top[0].f.value.stream);
    ASSERT_EQ(elems.size(), 3u);
    EXPECT_EQ(elems[0].f.value.int32, 1);
    EXPECT_STREQ(elems[1].f.value.string, "two");
    ASSERT_EQ(elems[2].f.type, ZORCLIENT_MAP);
    auto inner = walk(elems[2].f.value.map);
    ASSERT_EQ(inner.size(), 1u);
    EXPECT_EQ(inner[0].name, "k");
    EXPECT_EQ(inner[0].f.value.int64, 3);

    // Nested read handles are read-only and die with their root.
    EXPECT_EQ(zorClient_container_addInt64(elems[2].f.value.map, 1, "x"), ZORCLIENT_FAIL);
    zorClient_container_closeMapStream(&m);
    zorClient_field_t f;
    EXPECT_EQ(zorClient_container_getNextField(top[0].f.value.stream, &f, sizeof f, nullptr), ZORCLIENT_FAIL);
}

TEST(ZorContainer, RepeatedWalksReuseNestedHandles) {
    char outer[256], inner[64];
    zorClient_opaqueContainer_pt m = nullptr, sub = nullptr;
    zorClient_container_createMap(&m, outer, sizeof outer);
    zorClient_container_createMap(&sub, inner, sizeof inner);
    zorClient_container_addContainer(m, sub, "sub");
    zorClient_container_closeMapStream(&sub);
    const auto first = walk(m)[0].f.value.map;
    for (int i = 0; i < 10; ++i) EXPECT_EQ(walk(m)[0].f.value.map, first);
    // A closed nested handle is replaced by a fresh one on the next walk.
    auto h = first;
    ASSERT_EQ(zorClient_container_closeMapStream(&h), ZORCLIENT_OK);
    const auto second = walk(m)[0].f.value.map;
    EXPECT_NE(second, first);
    EXPECT_EQ(walk(second).size(), 0u);
    zorClient_container_closeMapStream(&m);
}

// The stand-in's count of open handles: a nested handle is opened once however
// often it is walked to, and closes with its root.
TEST(StandInContainer, NestedHandlesAreCountedOnceAndCloseWithTheRoot) {
    char outer[256], inner[128], innermost[64];
    zorClient_opaqueContainer_pt m = nullptr, s = nullptr, sm = nullptr;
    ASSERT_EQ(zorClient_container_createMap(&m, outer, sizeof outer), ZORCLIENT_OK);
    ASSERT_EQ(zorClient_container_createStream(&s, inner, sizeof inner), ZORCLIENT_OK);
    ASSERT_EQ(zorClient_container_createMap(&sm, innermost, sizeof innermost), ZORCLIENT_OK);
    zorClient_container_addInt64(sm, 3, "k");
    ASSERT_EQ(zorClient_container_addContainer(s, sm, nullptr), ZORCLIENT_OK);
    ASSERT_EQ(zorClient_container_addContainer(m, s, "list"), ZORCLIENT_OK);
    zorClient_container_closeMapStream(&sm);
    zorClient_container_closeMapStream(&s);

    const unsigned live = zorClient_testing_liveContainers();
    for (int i = 0; i < 10; ++i) walk(walk(m)[0].f.value.stream);
    EXPECT_EQ(zorClient_testing_liveContainers(), live + 2);  // the stream and the map in it
    zorClient_container_closeMapStream(&m);
    EXPECT_EQ(zorClient_testing_liveContainers(), live - 1);  // root + stream + map
}

TEST(ZorContainer, DuplicateNamesKeepOrderAndLastStringWins) {
    char buf[256];
    zorClient_opaqueContainer_pt m = nullptr;
    zorClient_container_createMap(&m, buf, sizeof buf);
    zorClient_container_addString(m, "first", "x");
    zorClient_container_addInt64(m, 2, "x");
    zorClient_container_addString(m, "third", "x");
    zorClient_container_addInt64(m, 4, "x");
    const auto fields = walk(m);
    ASSERT_EQ(fields.size(), 4u);
    EXPECT_EQ(fields[1].f.value.int64, 2);
    const char* v = nullptr;
    ASSERT_EQ(zorClient_container_getStringPtr(m, &v, "x"), ZORCLIENT_OK);
    EXPECT_STREQ(v, "third");
    v = nullptr;
    EXPECT_EQ(zorClient_container_getStringPtr(m, &v, "y"), ZORCLIENT_NOT_FOUND);
    EXPECT_EQ(v, nullptr);
    zorClient_container_closeMapStream(&m);
}

TEST(ZorContainer, WalkRewindsAndEndsWithEos) {
    char buf[128];
    zorClient_opaqueContainer_pt m = nullptr;
    zorClient_container_createMap(&m, buf, sizeof buf);
    zorClient_field_t f;
    EXPECT_EQ(zorClient_container_getNextField(m, &f, sizeof f, nullptr), ZORCLIENT_EOS);
    zorClient_container_addUint8(m, 1, "a");
    // A field added after the walk reached the end is read by the same walk.
    ASSERT_EQ(zorClient_container_getNextField(m, &f, sizeof f, nullptr), ZORCLIENT_OK);
    EXPECT_EQ(f.value.uint8, 1);
    EXPECT_EQ(zorClient_container_getNextField(m, &f, sizeof f, nullptr), ZORCLIENT_EOS);
    EXPECT_EQ(zorClient_container_getNextField(m, &f, sizeof f - 1, nullptr), ZORCLIENT_FAIL);
    zorClient_container_rewind(m);
    EXPECT_EQ(zorClient_container_getNextField(m, &f, sizeof f, nullptr), ZORCLIENT_OK);
    zorClient_container_closeMapStream(&m);
}

TEST(ZorContainer, BadArgumentsFailWithText) {
    char buf[64];
    zorClient_opaqueContainer_pt m = nullptr, s = nullptr;
    EXPECT_EQ(zorClient_container_createMap(&m, buf, 7), ZORCLIENT_FAIL);
    EXPECT_EQ(zorClient_container_createMap(&m, nullptr, 64), ZORCLIENT_FAIL);
    EXPECT_EQ(m, nullptr);
    ASSERT_EQ(zorClient_container_createMap(&m, buf, sizeof buf), ZORCLIENT_OK);
    const std::vector<std::function<zorClient_returnCode_t()>> calls = {
        [&] { return zorClient_container_addInt64(m, 1, nullptr); },  // map needs a name
        [&] { return zorClient_container_addByteArray(m, nullptr, 3, "b"); },
        [&] { return zorClient_container_addDestination(m, nullptr, "d"); },
        [&] { return zorClient_container_addContainer(m, nullptr, "c"); },
        [&] { return zorClient_container_getStringPtr(m, nullptr, "x"); },
        [&] { return zorClient_container_closeMapStream(nullptr); },
    };
    for (size_t i = 0; i < calls.size(); ++i) {
        clearError();
        EXPECT_EQ(calls[i](), ZORCLIENT_FAIL) << i;
        EXPECT_FALSE(lastError().empty()) << i;
    }
    char sbuf[64];
    ASSERT_EQ(zorClient_container_createStream(&s, sbuf, sizeof sbuf), ZORCLIENT_OK);
    const char* v;
    EXPECT_EQ(zorClient_container_getStringPtr(s, &v, "x"), ZORCLIENT_FAIL);
    zorClient_container_closeMapStream(&s);
    zorClient_container_closeMapStream(&m);
}

}  // namespace
