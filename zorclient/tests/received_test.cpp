// Map bodies as received: well-formed content reads back, damaged content
// makes the walk fail cleanly instead of reading outside the bytes.
#include <string>
#include <vector>

#include "test_support.h"

using namespace zctest;

namespace {

std::vector<std::uint8_t> le32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 24)};
}

// Walks the body of a message holding `bytes`, descending into nested
// containers, and returns the first code other than OK/EOS (or EOS).
zorClient_returnCode_t walkReceived(const std::vector<std::uint8_t>& bytes, size_t* fieldsRead = nullptr) {
    Msg m;
    // An exact-size heap copy, so ASan flags any read past the end.
    EXPECT_EQ(zorClient_testing_msg_setMapAttachment(m.h, bytes.data(), static_cast<zorClient_uint32_t>(bytes.size())),
              ZORCLIENT_OK);
    zorClient_opaqueContainer_pt body = nullptr;
    if (zorClient_msg_getBinaryAttachmentMap(m.h, &body) != ZORCLIENT_OK) return ZORCLIENT_FAIL;
    std::vector<zorClient_opaqueContainer_pt> todo{body};
    size_t count = 0;
    while (!todo.empty()) {
        auto c = todo.back();
        todo.pop_back();
        zorClient_returnCode_t rc;
        for (const auto& f : walk(c, &rc)) {
            ++count;
            if (f.f.type == ZORCLIENT_MAP || f.f.type == ZORCLIENT_STREAM) todo.push_back(f.f.value.map);
        }
        if (rc != ZORCLIENT_EOS) {
            if (fieldsRead) *fieldsRead = count;
            return rc;
        }
    }
    if (fieldsRead) *fieldsRead = count;
    return ZORCLIENT_EOS;
}

TEST(StandInReceived, WellFormedMapReads) {
    Bytes nested('M');
    nested.field(ZORCLIENT_STRING, "s", text("v")).seal();
    Bytes b('M');
    b.field(ZORCLIENT_INT32, "i", le32(7))
        .field(ZORCLIENT_MAP, "m", nested.b)
        .field(ZORCLIENT_NULL, "n", {})
        .field(ZORCLIENT_STRING, "z", {}, 1)
        .field(100, "future", {1, 2, 3})
        .seal();
    size_t n = 0;
    EXPECT_EQ(walkReceived(b.b, &n), ZORCLIENT_EOS);
    EXPECT_EQ(n, 6u);
}

TEST(StandInReceived, UnknownTypeCodeReadsAsUnknown) {
    Msg m;
    Bytes b('M');
    b.field(100, "future", {1, 2, 3}).seal();
    zorClient_testing_msg_setMapAttachment(m.h, b.b.data(), static_cast<zorClient_uint32_t>(b.b.size()));
    zorClient_opaqueContainer_pt body = nullptr;
    ASSERT_EQ(zorClient_msg_getBinaryAttachmentMap(m.h, &body), ZORCLIENT_OK);
    const auto fields = walk(body);
    ASSERT_EQ(fields.size(), 1u);
    EXPECT_EQ(fields[0].f.type, ZORCLIENT_UNKNOWN);
    EXPECT_EQ(fields[0].f.length, 3u);
}

struct Corrupt {
    const char* label;
    std::vector<std::uint8_t> bytes;
};

std::vector<Corrupt> corruptCases() {
    std::vector<Corrupt> out;
    auto add = [&](const char* label, Bytes b) { out.push_back({label, b.b}); };
    auto raw = [&](const char* label, std::vector<std::uint8_t> v) { out.push_back({label, std::move(v)}); };

    raw("shorter than a header", {'M', 0, 0, 0, 8});
    add("stream kind for a map body", Bytes('S').seal());
    add("unknown kind", Bytes('Q').seal());
    {
        Bytes b('M');
        b.field(ZORCLIENT_INT32, "i", le32(1)).seal();
        b.b.pop_back();  // total now exceeds the bytes
        add("total beyond the bytes", b);
    }
    {
        Bytes b('M');
        b.b[4] = 3;  // total smaller than the header
        add("total below header size", b);
    }
    {
        Bytes b('M');
        b.field(ZORCLIENT_INT32, "i", le32(1)).seal();
        b.b[8 + 4] = 200;  // value length past the end
        add("value length past the end", b);
    }
    {
        Bytes b('M');
        b.field(ZORCLIENT_INT32, "i", le32(1)).seal();
        b.b[8 + 2] = 0xff;  // name length past the end
        add("name length past the end", b);
    }
    {
        Bytes b('M');
        b.field(ZORCLIENT_INT32, "ab", le32(1)).seal();
        b.b[8 + 8 + 2] = 'c';  // name's NUL overwritten
        add("name without NUL", b);
    }
    add("map field without name", Bytes('M').field(ZORCLIENT_INT32, "", le32(1)).seal());
    add("string without NUL", Bytes('M').field(ZORCLIENT_STRING, "s", {'a', 'b'}).seal());
    add("empty string value", Bytes('M').field(ZORCLIENT_STRING, "s", {}).seal());
    add("null string with bytes", Bytes('M').field(ZORCLIENT_STRING, "s", {0}, 1).seal());
    add("int64 of 4 bytes", Bytes('M').field(ZORCLIENT_INT64, "i", le32(1)).seal());
    add("double of 9 bytes", Bytes('M').field(ZORCLIENT_DOUBLE, "d", std::vector<std::uint8_t>(9, 0)).seal());
    add("destination without NUL", Bytes('M').field(ZORCLIENT_DESTINATION, "d", {0, 0, 0, 0, 'q'}).seal());
    add("null field with bytes", Bytes('M').field(ZORCLIENT_NULL, "n", {1}).seal());
    add("truncated field header", Bytes('M').field(ZORCLIENT_INT32, "i", le32(1)).field(0, "", {}).seal());
    {
        Bytes b('M');
        b.field(ZORCLIENT_INT32, "i", le32(1));
        b.b.insert(b.b.end(), {ZORCLIENT_BOOL, 0, 2});  // 3 bytes of a field header
        add("field header cut short", b.seal());
    }
    add("truncated nested header", Bytes('M').field(ZORCLIENT_MAP, "m", {'M', 0, 0, 0, 8}).seal());
    {
        Bytes nested('M');
        nested.field(ZORCLIENT_INT32, "i", le32(1)).seal();
        nested.b[4] = 99;  // nested total disagrees with the field's value length
        add("nested length mismatch", Bytes('M').field(ZORCLIENT_MAP, "m", nested.b).seal());
    }
    add("nested kind mismatch", Bytes('M').field(ZORCLIENT_STREAM, "s", Bytes('M').seal().b).seal());
    {
        Bytes inner('M');
        inner.field(ZORCLIENT_INT64, "x", le32(0)).seal();  // damaged two levels down
        Bytes mid('S');
        mid.field(ZORCLIENT_MAP, "", inner.b).seal();
        add("damage inside nested content", Bytes('M').field(ZORCLIENT_STREAM, "s", mid.b).seal());
    }
    return out;
}

TEST(StandInReceived, CorruptContentFailsCleanly) {
    for (const auto& c : corruptCases()) {
        clearError();
        EXPECT_EQ(walkReceived(c.bytes), ZORCLIENT_FAIL) << c.label;
        EXPECT_FALSE(lastError().empty()) << c.label;
    }
}

TEST(StandInReceived, EveryTruncationOfAValidMapIsSafe) {
    Bytes nested('S');
    nested.field(ZORCLIENT_STRING, "", text("deep"))
        .field(ZORCLIENT_DOUBLE, "", std::vector<std::uint8_t>(8, 0))
        .seal();
    Bytes b('M');
    b.field(ZORCLIENT_STRING, "bytes/json", text("{\"a\": [1, 2]}")).field(ZORCLIENT_STREAM, "s", nested.b).seal();
    ASSERT_EQ(walkReceived(b.b), ZORCLIENT_EOS);
    for (size_t len = 0; len < b.b.size(); ++len) {
        std::vector<std::uint8_t> cut(b.b.begin(), b.b.begin() + static_cast<long>(len));
        EXPECT_NE(walkReceived(cut), ZORCLIENT_EOS) << len;
    }
    // Flipping any single byte never leads outside the bytes (ASan checks).
    for (size_t i = 0; i < b.b.size(); ++i) {
        auto bad = b.b;
        bad[i] ^= 0xff;
        walkReceived(bad);
    }
}

}  // namespace
