// Structured bodies: JSON text and MessagePack in the attachment, and the
// body-taking constructor.
#include "core/zormsg.h"

#include <zorclient_testing.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Runs `fn`, expecting an nlohmann exception of type E with the given id;
// returns its message.
template <typename E, typename Fn>
std::string expectJsonError(Fn fn, int id) {
    try {
        fn();
    } catch (const E& e) {
        EXPECT_EQ(e.id, id) << e.what();
        return e.what();
    } catch (const std::exception& e) {
        ADD_FAILURE() << "unexpected exception: " << e.what();
        return "";
    }
    ADD_FAILURE() << "no exception";
    return "";
}

}  // namespace

struct TextCase {
    json value;
    std::string text;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.text; }

class BodyJsonText : public ::testing::TestWithParam<TextCase> {};

TEST_P(BodyJsonText, ExactEncodingAndRoundTrip) {
    ZorMsg msg;
    ASSERT_EQ(msg.setJsonBody(GetParam().value), ZORCLIENT_OK);
    EXPECT_EQ(msg.getContentType(), "json");
    EXPECT_EQ(msg.getBinaryAttachmentString(), GetParam().text);
    EXPECT_EQ(msg.getJsonBody(), GetParam().value);
}

json keysBThenA() {
    json j = json::object();
    j["b"] = 1;
    j["a"] = json::array({true, nullptr, 2});
    return j;
}

INSTANTIATE_TEST_SUITE_P(
    Values, BodyJsonText,
    ::testing::Values(TextCase{keysBThenA(), R"({"a":[true,null,2],"b":1})"},
                      TextCase{json("caf\xc3\xa9"), "\"caf\xc3\xa9\""}, TextCase{json(1), "1"},
                      TextCase{json(nullptr), "null"}, TextCase{json(-7), "-7"}, TextCase{json(false), "false"},
                      TextCase{json{{"n", {{"deep", json::array({"x", 1.5})}}}}, R"({"n":{"deep":["x",1.5]}})"},
                      TextCase{json::array(), "[]"}));

class BodyMsgpack : public ::testing::TestWithParam<json> {};

TEST_P(BodyMsgpack, RoundTripsAsOneItem) {
    ZorMsg msg;
    ASSERT_EQ(msg.setMsgpackBody(GetParam()), ZORCLIENT_OK);
    EXPECT_EQ(msg.getContentType(), "msgpack");
    EXPECT_EQ(msg.getBinaryAttachmentVector(), json::to_msgpack(GetParam()));
    EXPECT_EQ(msg.getMsgpackBody(), GetParam());
    // Not JSON text: the JSON reader must not pick it up.
    EXPECT_TRUE(msg.getJsonBody().is_null());
}

INSTANTIATE_TEST_SUITE_P(Values, BodyMsgpack,
                         ::testing::Values(keysBThenA(), json(nullptr), json("caf\xc3\xa9"),
                                           json(uint64_t{18446744073709551615u}), json(-1234567890123), json(2.25),
                                           json{{"bin", json::binary({0, 1, 255})}}));

struct GateCase {
    const char* ct;    // nullptr: not set
    const char* http;  // nullptr: not set
    bool decodes;
};

void PrintTo(const GateCase& c, std::ostream* os) {
    *os << "ct=" << (c.ct ? c.ct : "(none)") << " http=" << (c.http ? c.http : "(none)");
}

class StandInBodyJsonGate : public ::testing::TestWithParam<GateCase> {};

TEST_P(StandInBodyJsonGate, OnlyExactJsonTypesDecode) {
    ZorMsg msg;
    if (GetParam().http) {
        ASSERT_EQ(zorClient_msg_setHttpContentType(msg.ptr(), GetParam().http), ZORCLIENT_OK);
    }
    if (GetParam().ct) {
        ASSERT_EQ(msg.setContentType(GetParam().ct), ZORCLIENT_OK);
    }
    ASSERT_EQ(msg.setBinaryAttachment(std::string("[1,\"x\"]")), ZORCLIENT_OK);
    EXPECT_EQ(msg.getJsonBody(), GetParam().decodes ? json::array({1, "x"}) : json());
}

INSTANTIATE_TEST_SUITE_P(ContentTypes, StandInBodyJsonGate,
                         ::testing::Values(GateCase{"json", nullptr, true}, GateCase{"application/json", nullptr, true},
                                           GateCase{nullptr, "application/json", true},
                                           GateCase{nullptr, nullptr, false}, GateCase{"", nullptr, false},
                                           GateCase{"msgpack", "application/json", false},
                                           GateCase{"JSON", nullptr, false},
                                           GateCase{"application/json; charset=utf-8", nullptr, false},
                                           GateCase{nullptr, "application/json; charset=utf-8", false}));

TEST(BodyMsgpackGate, OnlyMsgpackDecodes) {
    ZorMsg msg;
    const uint8_t one[] = {0x01};
    ASSERT_EQ(msg.setBinaryAttachment(one, sizeof(one)), ZORCLIENT_OK);
    EXPECT_TRUE(msg.getMsgpackBody().is_null());
    for (const char* ct : {"json", "", "MSGPACK", "msgpack "}) {
        ASSERT_EQ(msg.setContentType(ct), ZORCLIENT_OK);
        EXPECT_TRUE(msg.getMsgpackBody().is_null()) << ct;
    }
    ASSERT_EQ(msg.setContentType("msgpack"), ZORCLIENT_OK);
    EXPECT_EQ(msg.getMsgpackBody(), json(1));
}

class BodyJsonParseError : public ::testing::TestWithParam<std::string> {};

TEST_P(BodyJsonParseError, RaisesParseError101) {
    ZorMsg msg;
    ASSERT_EQ(msg.setContentType("json"), ZORCLIENT_OK);
    msg.setBinaryAttachment(GetParam());
    expectJsonError<json::parse_error>([&] { msg.getJsonBody(); }, 101);
}

INSTANTIATE_TEST_SUITE_P(Attachments, BodyJsonParseError,
                         ::testing::Values("", "   ", "[1,", "[1] 2", "{\"a\":1}x", "// c\n1", "nul",
                                           // nothing may follow the text, not even after a NUL byte
                                           std::string("123\0", 4), std::string("[1]\0garbage", 11),
                                           std::string(" {}\n\0 ", 6), std::string("[\"a\0b\"]", 7)));

TEST(BodyJson, WhitespaceAroundOneTextIsAccepted) {
    ZorMsg msg;
    ASSERT_EQ(msg.setContentType("json"), ZORCLIENT_OK);
    ASSERT_EQ(msg.setBinaryAttachment(std::string(" \n[1, 2]\n ")), ZORCLIENT_OK);
    EXPECT_EQ(msg.getJsonBody(), json::array({1, 2}));
}

TEST(BodyMsgpackErrors, EmptyAndTruncatedGiveParseError110) {
    ZorMsg msg;
    ASSERT_EQ(msg.setContentType("msgpack"), ZORCLIENT_OK);
    expectJsonError<json::parse_error>([&] { msg.getMsgpackBody(); }, 110);
    std::vector<uint8_t> packed = json::to_msgpack(json{{"key", "value"}});
    packed.pop_back();
    ASSERT_EQ(msg.setBinaryAttachment(packed.data(), packed.size()), ZORCLIENT_OK);
    expectJsonError<json::parse_error>([&] { msg.getMsgpackBody(); }, 110);
}

TEST(BodyMsgpackErrors, TrailingByteNamesIt) {
    ZorMsg msg;
    ASSERT_EQ(msg.setContentType("msgpack"), ZORCLIENT_OK);
    const uint8_t bytes[] = {0x01, 0x02};
    ASSERT_EQ(msg.setBinaryAttachment(bytes, sizeof(bytes)), ZORCLIENT_OK);
    std::string what = expectJsonError<json::parse_error>([&] { msg.getMsgpackBody(); }, 110);
    EXPECT_NE(what.find("value"), std::string::npos) << what;
    const std::string tail = "expected end of input; last byte: 0x02";
    ASSERT_GE(what.size(), tail.size());
    EXPECT_EQ(what.substr(what.size() - tail.size()), tail);
}

TEST(BodyJson, InvalidUtf8KeepsAttachmentButSetsType) {
    ZorMsg msg;
    ASSERT_EQ(msg.setBinaryAttachment(std::string("before")), ZORCLIENT_OK);
    expectJsonError<json::type_error>([&] { msg.setJsonBody(json{{"k", "\xff"}}); }, 316);
    EXPECT_EQ(msg.getContentType(), "json");
    EXPECT_EQ(msg.getBinaryAttachmentString(), "before");
}

// --- body-taking constructor ------------------------------------------------------------

struct CtorCase {
    std::string content_type;
    std::string stored_type;  // content type read back; "" for none
    bool elide;
    DeliveryMode mode;
};

void PrintTo(const CtorCase& c, std::ostream* os) { *os << "'" << c.content_type << "'"; }

class BodyConstructor : public ::testing::TestWithParam<CtorCase> {};

TEST_P(BodyConstructor, AddressesAndWritesBodyByContentType) {
    const CtorCase& c = GetParam();
    const json body = keysBThenA();
    ZorMsg msg("orders/new", body, c.content_type, c.elide, c.mode);
    ASSERT_NE(msg.ptr(), nullptr);

    Destination dest = msg.getDestination();
    EXPECT_EQ(dest.dest, "orders/new");
    EXPECT_EQ(dest.destType, ZORCLIENT_TOPIC_DESTINATION);
    EXPECT_EQ(msg.getDeliveryMode(), c.mode);
    EXPECT_EQ(msg.isElidingEligible(), c.elide);
    EXPECT_EQ(msg.getContentType(), c.stored_type);

    if (c.stored_type == "json") {
        EXPECT_EQ(msg.getBinaryAttachmentString(), body.dump());
        EXPECT_EQ(msg.getJsonBody(), body);
    } else if (c.stored_type == "msgpack") {
        EXPECT_EQ(msg.getMsgpackBody(), body);
    } else {
        EXPECT_EQ(msg.getMetaData("ct"), "");
        EXPECT_TRUE(msg.getBinaryAttachmentVector().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(ContentTypes, BodyConstructor,
                         ::testing::Values(CtorCase{"json", "json", true, Persistent},
                                           CtorCase{"msgpack", "msgpack", false, NonPersistent},
                                           CtorCase{"xml", "", true, Direct}, CtorCase{"", "", false, Persistent},
                                           CtorCase{"application/json", "", true, NonPersistent},
                                           CtorCase{"JSON", "", false, Direct}));

TEST(StandInBodyConstructorFailure, EncodingFailureFreesTheMessage) {
    unsigned before = zorClient_testing_liveMsgs();
    expectJsonError<json::type_error>([] { ZorMsg msg("t", json::array({"ok", "\xc3"}), "json", false, Direct); }, 316);
    EXPECT_EQ(zorClient_testing_liveMsgs(), before);
}

// The encoders recurse once per level: a value nested past the limit is
// refused before anything is written, instead of overflowing the stack.
TEST(StandInBodyNesting, TooDeepIsRefusedAndTheMessageUnchanged) {
    json deep = json::array();
    for (int i = 0; i < 100000; ++i) deep = json::array({std::move(deep)});
    json edge = json::array();
    for (int i = 1; i < kMaxNestingDepth; ++i) edge = json::array({std::move(edge)});

    ZorMsg msg;
    ASSERT_EQ(msg.setBinaryAttachment(std::string("keep")), ZORCLIENT_OK);
    for (auto set : {&ZorMsg::setJsonBody, &ZorMsg::setMsgpackBody}) {
        EXPECT_THROW((msg.*set)(deep), std::invalid_argument);
        EXPECT_EQ(msg.getBinaryAttachmentString(), "keep");
        EXPECT_EQ(msg.getContentType(), "");
    }
    EXPECT_EQ(msg.setJsonBody(edge), ZORCLIENT_OK);
    unsigned live = zorClient_testing_liveMsgs();
    EXPECT_THROW(ZorMsg("t", deep, "msgpack", false, Direct), std::invalid_argument);
    EXPECT_EQ(zorClient_testing_liveMsgs(), live);
}

// A body the library refuses (here: out of memory copying it, or writing the
// content type) is reported with the library's code, and the message keeps
// the content type and body it had, also when it had only the HTTP one.
struct RefusalCase {
    zorClient_testing_copy_t refused;
    const char* http;  // HTTP content type the message starts with, or null
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << (c.refused == ZORCLIENT_TESTING_COPY_BODY ? "body" : "properties") << (c.http ? " http" : "");
}

class StandInBodyRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(StandInBodyRefusal, KeepsContentTypeAndBody) {
    for (auto set : {&ZorMsg::setJsonBody, &ZorMsg::setMsgpackBody}) {
        ZorMsg msg;
        ASSERT_EQ(msg.setBinaryAttachment(std::string("old body")), ZORCLIENT_OK);
        if (GetParam().http) {
            ASSERT_EQ(zorClient_msg_setHttpContentType(msg.ptr(), GetParam().http), ZORCLIENT_OK);
        }
        const std::string type = msg.getContentType();
        zorClient_testing_failCopies(GetParam().refused, 1);
        EXPECT_EQ((msg.*set)(json{{"new", 1}}), ZORCLIENT_FAIL);
        zorClient_testing_failCopies(GetParam().refused, 0);
        EXPECT_TRUE(isOutOfMemory(*zorClient_getLastErrorInfo())) << zorClient_getLastErrorInfo()->errorStr;
        EXPECT_EQ(msg.getContentType(), type);
        EXPECT_EQ(msg.getBinaryAttachmentString(), "old body");
        EXPECT_EQ((msg.*set)(json{{"new", 1}}), ZORCLIENT_OK);
    }
}

INSTANTIATE_TEST_SUITE_P(Copies, StandInBodyRefusal,
                         ::testing::Values(RefusalCase{ZORCLIENT_TESTING_COPY_BODY, nullptr},
                                           RefusalCase{ZORCLIENT_TESTING_COPY_BODY, "application/json"},
                                           RefusalCase{ZORCLIENT_TESTING_COPY_USER_PROPERTIES, nullptr}));
