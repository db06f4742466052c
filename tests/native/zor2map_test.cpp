// The field-table converter, reached without Python: zor2map lives in the
// converters but needs no interpreter.
#include "zor2map.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

// Byte-wise name order, the later of two equal names, and nested containers
// kept as open handles the caller reads and closes.
TEST(Zor2Map, ByteOrderLaterNameWinsNestedStaysReadable) {
    char buff[4096], sub[512];
    zorClient_opaqueContainer_pt map_p = nullptr, inner = nullptr;
    ASSERT_EQ(zorClient_container_createMap(&map_p, buff, sizeof buff), ZORCLIENT_OK);
    ASSERT_EQ(zorClient_container_createMap(&inner, sub, sizeof sub), ZORCLIENT_OK);
    ASSERT_EQ(zorClient_container_addInt64(inner, 7, "n"), ZORCLIENT_OK);
    ASSERT_EQ(zorClient_container_addString(map_p, "first", "b"), ZORCLIENT_OK);
    ASSERT_EQ(zorClient_container_addInt64(map_p, 1, "\xc3\xa9"), ZORCLIENT_OK);  // sorts after ASCII
    ASSERT_EQ(zorClient_container_addContainer(map_p, inner, "a"), ZORCLIENT_OK);
    ASSERT_EQ(zorClient_container_addString(map_p, "second", "b"), ZORCLIENT_OK);
    zorClient_container_closeMapStream(&inner);

    std::map<std::string, zorClient_field_t> table;
    EXPECT_EQ(zor2map(table, map_p), 3);
    std::vector<std::string> names;
    for (const auto& entry : table) names.push_back(entry.first);
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "\xc3\xa9"}));
    EXPECT_STREQ(table["b"].value.string, "second");
    EXPECT_EQ(table["\xc3\xa9"].value.int64, 1);

    zorClient_opaqueContainer_pt nested = table["a"].value.map;
    ASSERT_NE(nested, nullptr);
    zorClient_field_t field;
    const char* name = nullptr;
    ASSERT_EQ(zorClient_container_rewind(nested), ZORCLIENT_OK);
    ASSERT_EQ(zorClient_container_getNextField(nested, &field, sizeof field, &name), ZORCLIENT_OK);
    EXPECT_STREQ(name, "n");
    EXPECT_EQ(field.value.int64, 7);
    EXPECT_EQ(zorClient_container_closeMapStream(&nested), ZORCLIENT_OK);
    zorClient_container_closeMapStream(&map_p);
}

// No readable container (a message without a map body) reads as empty and
// leaves what the table held.
TEST(Zor2Map, NoContainerReadsAsEmpty) {
    std::map<std::string, zorClient_field_t> table;
    EXPECT_EQ(zor2map(table, nullptr), 0);
    zorClient_field_t kept{};
    table.emplace("kept", kept);
    EXPECT_EQ(zor2map(table, nullptr), 1);
}

}  // namespace
