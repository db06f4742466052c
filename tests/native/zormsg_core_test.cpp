// Message core: lifetime, addressing, attachment, content type, container path.
#include "core/zormsg.h"

#include <zorclient_testing.h>

#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Adds a sink of our own to the default logger for the test's duration. It
// keeps each record's fields and the line spdlog's default pattern makes of it.
class LogCapture {
public:
    LogCapture() : sink_(std::make_shared<Sink>()) { spdlog::default_logger()->sinks().push_back(sink_); }
    ~LogCapture() {
        auto& sinks = spdlog::default_logger()->sinks();
        sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
    }
    // level|file|function|line|text
    const std::vector<std::string>& records() const { return sink_->records; }
    // As the default pattern prints them, without the trailing newline.
    const std::vector<std::string>& lines() const { return sink_->lines; }

private:
    class Sink : public spdlog::sinks::base_sink<std::mutex> {
    public:
        std::vector<std::string> records;
        std::vector<std::string> lines;

    protected:
        void sink_it_(const spdlog::details::log_msg& msg) override {
            records.push_back(fmt::format("{}|{}|{}|{}|{}", spdlog::level::to_string_view(msg.level),
                                          msg.source.filename ? msg.source.filename : "",
                                          msg.source.funcname ? msg.source.funcname : "", msg.source.line,
                                          msg.payload));
            spdlog::memory_buf_t out;
            formatter_->format(msg, out);
            std::string line = fmt::to_string(out);
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
            lines.push_back(line);
        }
        void flush_() override {}
    };
    std::shared_ptr<Sink> sink_;
};

std::string lastErrorText() { return zorClient_getLastErrorInfo()->errorStr; }

// Walks a map and returns name=value for each string field.
std::vector<std::string> stringFields(zorClient_opaqueContainer_pt map_p) {
    std::vector<std::string> out;
    if (zorClient_container_rewind(map_p) != ZORCLIENT_OK) {
        return out;
    }
    zorClient_field_t field;
    const char* name = nullptr;
    while (zorClient_container_getNextField(map_p, &field, sizeof(field), &name) == ZORCLIENT_OK) {
        if (field.type == ZORCLIENT_STRING) {
            out.push_back(std::string(name) + "=" + (field.value.string ? field.value.string : "<null>"));
        }
    }
    return out;
}

}  // namespace

// --- lifetime -------------------------------------------------------------------

TEST(StandInCoreLifetime, DefaultMessageIsFreedOnDestruction) {
    unsigned before = zorClient_testing_liveMsgs();
    {
        ZorMsg msg;
        ASSERT_NE(msg.ptr(), nullptr);
        EXPECT_EQ(zorClient_testing_liveMsgs(), before + 1);
    }
    EXPECT_EQ(zorClient_testing_liveMsgs(), before);
}

TEST(StandInCoreLifetime, AdoptedAndMovedHandlesAreFreedExactlyOnce) {
    unsigned before = zorClient_testing_liveMsgs();
    zorClient_opaqueMsg_pt raw = nullptr;
    ASSERT_EQ(zorClient_msg_alloc(&raw), ZORCLIENT_OK);
    {
        ZorMsg adopted(raw);
        EXPECT_EQ(adopted.ptr(), raw);
        ZorMsg moved(std::move(adopted));
        EXPECT_EQ(moved.ptr(), raw);
        EXPECT_EQ(adopted.ptr(), nullptr);
        EXPECT_EQ(adopted.container_p, nullptr);
        EXPECT_EQ(zorClient_testing_liveMsgs(), before + 1);
        {
            ZorMsg twice(std::move(moved));
            EXPECT_EQ(moved.ptr(), nullptr);
        }
        EXPECT_EQ(zorClient_testing_liveMsgs(), before);
    }
    EXPECT_EQ(zorClient_testing_liveMsgs(), before);
}

TEST(StandInCoreLifetime, ContainerAndBufferMoveAndAreClosedOnce) {
    unsigned containers = zorClient_testing_liveContainers();
    unsigned msgs = zorClient_testing_liveMsgs();
    {
        auto buff = std::make_unique<char[]>(256);
        char* raw = buff.get();
        ZorMsg src;
        ASSERT_EQ(src.createContainerMap(raw, 256), ZORCLIENT_OK);
        src.adoptContainerBuffer(std::move(buff));
        zorClient_opaqueContainer_pt map_p = src.container_p;
        EXPECT_EQ(zorClient_testing_liveContainers(), containers + 1);

        ZorMsg dst(std::move(src));
        EXPECT_EQ(src.container_p, nullptr);
        EXPECT_EQ(src.container_buff_p, nullptr);
        EXPECT_EQ(dst.container_p, map_p);
        EXPECT_EQ(dst.container_buff_p.get(), raw);
        EXPECT_EQ(dst.addContainerString(nullptr, 0, "k", "v"), ZORCLIENT_OK);
    }
    EXPECT_EQ(zorClient_testing_liveContainers(), containers);
    EXPECT_EQ(zorClient_testing_liveMsgs(), msgs);
}

TEST(StandInCoreLifetime, ReleaseContainerEmptiesSlotAndBuffer) {
    unsigned containers = zorClient_testing_liveContainers();
    ZorMsg msg;
    auto buff = std::make_unique<char[]>(128);
    ASSERT_EQ(msg.createContainerMap(buff.get(), 128), ZORCLIENT_OK);
    msg.adoptContainerBuffer(std::move(buff));
    msg.releaseContainer();
    EXPECT_EQ(msg.container_p, nullptr);
    EXPECT_EQ(msg.container_buff_p, nullptr);
    EXPECT_EQ(zorClient_testing_liveContainers(), containers);
    msg.releaseContainer();  // empty slot: nothing to do
}

using Factory = std::function<std::unique_ptr<ZorMsg>()>;

struct FactoryCase {
    const char* name;
    Factory make;
};
void PrintTo(const FactoryCase& c, std::ostream* os) { *os << c.name; }

class StandInCoreAllocFailure : public ::testing::TestWithParam<FactoryCase> {};

TEST_P(StandInCoreAllocFailure, LogsOneRecordAndHoldsNoMessage) {
    unsigned before = zorClient_testing_liveMsgs();
    LogCapture capture;
    zorClient_testing_failAllocs(1);
    std::unique_ptr<ZorMsg> msg = GetParam().make();
    std::string error = lastErrorText();
    ASSERT_FALSE(error.empty());

    EXPECT_EQ(msg->ptr(), nullptr);
    ASSERT_EQ(capture.records().size(), 1u);
    // File and function are kept, the line is not, so the default pattern
    // shows no location: "[time] [error] ZorMsg alloc failed, error: ...".
    EXPECT_EQ(capture.records()[0], "error|core/zormsg|ZorMsg|0|ZorMsg alloc failed, error: " + error);
    const std::string& line = capture.lines()[0];
    const std::string tail = "] [error] ZorMsg alloc failed, error: " + error;
    ASSERT_GE(line.size(), tail.size());
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
    EXPECT_EQ(std::count(line.begin(), line.end(), '['), 2);
    // Nothing past the allocation was attempted.
    EXPECT_EQ(msg->getDestination().dest, "");
    msg.reset();
    EXPECT_EQ(zorClient_testing_liveMsgs(), before);

    // The failure was one-shot.
    ZorMsg next;
    EXPECT_NE(next.ptr(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Constructors, StandInCoreAllocFailure,
    ::testing::Values(FactoryCase{"default", [] { return std::make_unique<ZorMsg>(); }},
                      FactoryCase{"body", [] {
                                      return std::make_unique<ZorMsg>("t", json{{"a", 1}}, "json", true, Persistent);
                                  }}));

TEST(CoreNullHandle, OperationsReportFailureWithoutCrashing) {
    ZorMsg msg(nullptr);
    EXPECT_NE(msg.setDestination(Destination("t", ZORCLIENT_TOPIC_DESTINATION)), ZORCLIENT_OK);
    EXPECT_NE(msg.setReplyToDestination(Destination("r", ZORCLIENT_QUEUE_DESTINATION)), ZORCLIENT_OK);
    EXPECT_NE(msg.setAsReply(true), ZORCLIENT_OK);
    EXPECT_NE(msg.setDeliveryMode(Persistent), ZORCLIENT_OK);
    EXPECT_NE(msg.setElidingEligible(true), ZORCLIENT_OK);
    EXPECT_NE(msg.setCorrlationId("c"), ZORCLIENT_OK);
    EXPECT_NE(msg.setDeliveryToOne(true), ZORCLIENT_OK);
    EXPECT_NE(msg.setContentType("json"), ZORCLIENT_OK);
    EXPECT_NE(msg.addMetaData("k", "v"), ZORCLIENT_OK);
    EXPECT_NE(msg.setBinaryAttachment(std::string("abc")), ZORCLIENT_OK);
    EXPECT_NE(msg.setJsonBody(json{1}), ZORCLIENT_OK);
    EXPECT_NE(msg.setMsgpackBody(json{1}), ZORCLIENT_OK);

    Destination dest = msg.getDestination();
    EXPECT_EQ(dest.dest, "");
    EXPECT_EQ(dest.destType, ZORCLIENT_NULL_DESTINATION);
    EXPECT_EQ(msg.getReplyToDestination().dest, "");
    EXPECT_FALSE(msg.isReply());
    EXPECT_FALSE(msg.isRequest());
    EXPECT_FALSE(msg.isP2P());
    EXPECT_FALSE(msg.isElidingEligible());
    EXPECT_EQ(msg.getDeliveryMode(), Direct);
    EXPECT_EQ(msg.getCorrlationId(), "");
    EXPECT_EQ(msg.getContentType(), "");
    EXPECT_EQ(msg.getMetaData("k"), "");
    EXPECT_EQ(msg.getBinaryAttachment().bytes_p, nullptr);
    EXPECT_EQ(msg.getBinaryAttachmentString(), "");
    EXPECT_TRUE(msg.getBinaryAttachmentVector().empty());
    EXPECT_EQ(msg.getBinaryAttachmentMap(), nullptr);
    EXPECT_NE(msg.attachmentContainerMap(), ZORCLIENT_OK);
    EXPECT_TRUE(msg.getJsonBody().is_null());
    EXPECT_TRUE(msg.getMsgpackBody().is_null());
    msg.dump();
}

TEST(CoreDump, GivesTheLibraryTextBoundedByTheBuffer) {
    ZorMsg msg;
    ASSERT_EQ(msg.setDestination(Destination("dump/topic", ZORCLIENT_TOPIC_DESTINATION)), ZORCLIENT_OK);
    ASSERT_EQ(msg.setBinaryAttachment(std::string(10000, 'x')), ZORCLIENT_OK);
    std::string text = msg.dump();
    EXPECT_FALSE(text.empty());
    EXPECT_LT(text.size(), 4096u);
    EXPECT_EQ(text.find('\0'), std::string::npos);
}

// --- addressing and header flags -------------------------------------------------

struct P2PCase {
    std::string name;
    zorClient_destinationType_t type;
    bool p2p;
};

void PrintTo(const P2PCase& c, std::ostream* os) { *os << "'" << c.name << "'"; }

class CoreP2P : public ::testing::TestWithParam<P2PCase> {};

TEST_P(CoreP2P, PrefixAnchoredAndCaseSensitive) {
    ZorMsg msg;
    msg.setDestination(Destination(GetParam().name, GetParam().type));
    EXPECT_EQ(msg.isP2P(), GetParam().p2p) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(Names, CoreP2P,
                         ::testing::Values(P2PCase{"#P2P/v:abc/x", ZORCLIENT_TOPIC_DESTINATION, true},
                                           P2PCase{"#P2P", ZORCLIENT_TOPIC_DESTINATION, true},
                                           P2PCase{"#P2P/q", ZORCLIENT_QUEUE_DESTINATION, true},
                                           P2PCase{"#p2p/x", ZORCLIENT_TOPIC_DESTINATION, false},
                                           P2PCase{"a/#P2P/x", ZORCLIENT_TOPIC_DESTINATION, false},
                                           P2PCase{"#P2", ZORCLIENT_TOPIC_DESTINATION, false},
                                           P2PCase{"plain", ZORCLIENT_TOPIC_DESTINATION, false}));

struct RequestCase {
    bool reply_to;
    bool reply;
    bool request;
};

void PrintTo(const RequestCase& c, std::ostream* os) { *os << "reply_to=" << c.reply_to << " reply=" << c.reply; }

class CoreRequest : public ::testing::TestWithParam<RequestCase> {};

TEST_P(CoreRequest, NeedsReplyToAndNoReplyMark) {
    ZorMsg msg;
    if (GetParam().reply_to) {
        ASSERT_EQ(msg.setReplyToDestination(Destination("inbox/1", ZORCLIENT_TOPIC_DESTINATION)), ZORCLIENT_OK);
    }
    ASSERT_EQ(msg.setAsReply(GetParam().reply), ZORCLIENT_OK);
    EXPECT_EQ(msg.isReply(), GetParam().reply);
    EXPECT_EQ(msg.isRequest(), GetParam().request);
}

INSTANTIATE_TEST_SUITE_P(Flags, CoreRequest,
                         ::testing::Values(RequestCase{true, false, true}, RequestCase{true, true, false},
                                           RequestCase{false, false, false}, RequestCase{false, true, false}));

class CoreDestination : public ::testing::TestWithParam<zorClient_destinationType_t> {};

TEST_P(CoreDestination, RoundTripsBothDestinations) {
    ZorMsg msg;
    std::string name = "a/b/" + std::to_string(GetParam());
    {
        Destination dest(name, GetParam());
        ASSERT_EQ(msg.setDestination(dest), ZORCLIENT_OK);
        Destination reply(name + "/r", GetParam());
        ASSERT_EQ(msg.setReplyToDestination(reply), ZORCLIENT_OK);
    }  // the library must have copied the names
    Destination got = msg.getDestination();
    EXPECT_EQ(got.dest, name);
    EXPECT_EQ(got.destType, GetParam());
    Destination reply = msg.getReplyToDestination();
    EXPECT_EQ(reply.dest, name + "/r");
    EXPECT_EQ(reply.destType, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Types, CoreDestination,
                         ::testing::Values(ZORCLIENT_TOPIC_DESTINATION, ZORCLIENT_QUEUE_DESTINATION,
                                           ZORCLIENT_TOPIC_TEMP_DESTINATION, ZORCLIENT_QUEUE_TEMP_DESTINATION));

TEST(CoreAddressing, RecordFormSetsDestination) {
    ZorMsg msg;
    std::string name = "rec/q";
    zorClient_destination_t record;
    record.destType = ZORCLIENT_QUEUE_DESTINATION;
    record.dest = name.c_str();
    ASSERT_EQ(msg.setDestination(record), ZORCLIENT_OK);
    EXPECT_EQ(msg.getDestination().dest, name);
    EXPECT_EQ(msg.getDestination().destType, ZORCLIENT_QUEUE_DESTINATION);
}

TEST(CoreAddressing, UnsetDestinationsReadAsEmptyNullType) {
    ZorMsg msg;
    for (const Destination& d : {msg.getDestination(), msg.getReplyToDestination()}) {
        EXPECT_EQ(d.dest, "");
        EXPECT_EQ(d.destType, ZORCLIENT_NULL_DESTINATION);
    }
    EXPECT_FALSE(msg.isP2P());
}

TEST(CoreAddressing, EmptyNameRejectionComesBackUnchanged) {
    ZorMsg msg;
    ZorMsg reference;
    zorClient_destination_t record = {ZORCLIENT_TOPIC_DESTINATION, ""};
    zorClient_returnCode_t expected = zorClient_msg_setDestination(reference.ptr(), &record, sizeof(record));
    ASSERT_NE(expected, ZORCLIENT_OK);
    EXPECT_EQ(msg.setDestination(Destination("", ZORCLIENT_TOPIC_DESTINATION)), expected);
    EXPECT_EQ(msg.setDestination(record), expected);
    EXPECT_EQ(msg.getDestination().dest, "");
}

TEST(CoreAddressing, NullNameRecordGivesEmptyDestination) {
    zorClient_destination_t record = {ZORCLIENT_QUEUE_DESTINATION, nullptr};
    Destination d(record);
    EXPECT_EQ(d.dest, "");
    EXPECT_EQ(d.destType, ZORCLIENT_QUEUE_DESTINATION);
}

class CoreDeliveryMode : public ::testing::TestWithParam<DeliveryMode> {};

TEST_P(CoreDeliveryMode, RoundTrips) {
    ZorMsg msg;
    ASSERT_EQ(msg.setDeliveryMode(GetParam()), ZORCLIENT_OK);
    EXPECT_EQ(msg.getDeliveryMode(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Modes, CoreDeliveryMode, ::testing::Values(NonPersistent, Persistent, Direct));

TEST(CoreHeaderFlags, CorrelationIdElidingAndDeliverToOne) {
    ZorMsg msg;
    EXPECT_EQ(msg.getCorrlationId(), "");
    {
        std::string corrid = "corr-42";
        ASSERT_EQ(msg.setCorrlationId(corrid), ZORCLIENT_OK);
    }
    EXPECT_EQ(msg.getCorrlationId(), "corr-42");

    EXPECT_FALSE(msg.isElidingEligible());
    ASSERT_EQ(msg.setElidingEligible(true), ZORCLIENT_OK);
    EXPECT_TRUE(msg.isElidingEligible());
    ASSERT_EQ(msg.setElidingEligible(false), ZORCLIENT_OK);
    EXPECT_FALSE(msg.isElidingEligible());

    ASSERT_EQ(msg.setDeliveryToOne(true), ZORCLIENT_OK);
    EXPECT_NE(zorClient_msg_isDeliverToOne(msg.ptr()), 0);
}

// --- content type and metadata -------------------------------------------------------

struct ContentTypeCase {
    const char* ct;         // nullptr: not set
    const char* other_key;  // a metadata field that is not "ct"
    const char* http;       // nullptr: not set
    std::string expected;
};

void PrintTo(const ContentTypeCase& c, std::ostream* os) {
    *os << "ct=" << (c.ct ? c.ct : "(none)") << " http=" << (c.http ? c.http : "(none)");
}

class StandInCoreContentType : public ::testing::TestWithParam<ContentTypeCase> {};

TEST_P(StandInCoreContentType, PrefersCtThenFallsBackToHttp) {
    const ContentTypeCase& c = GetParam();
    ZorMsg msg;
    if (c.http) {
        ASSERT_EQ(zorClient_msg_setHttpContentType(msg.ptr(), c.http), ZORCLIENT_OK);
    }
    if (c.other_key) {
        ASSERT_EQ(msg.addMetaData(c.other_key, "x"), ZORCLIENT_OK);
    }
    if (c.ct) {
        ASSERT_EQ(msg.setContentType(c.ct), ZORCLIENT_OK);
    }
    EXPECT_EQ(msg.getContentType(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Sources, StandInCoreContentType,
                         ::testing::Values(ContentTypeCase{"msgpack", nullptr, "application/json", "msgpack"},
                                           ContentTypeCase{nullptr, nullptr, "application/json", "application/json"},
                                           ContentTypeCase{nullptr, "other", "application/json", "application/json"},
                                           ContentTypeCase{nullptr, "other", nullptr, ""},
                                           ContentTypeCase{nullptr, nullptr, nullptr, ""},
                                           ContentTypeCase{"", nullptr, "application/json", ""},
                                           ContentTypeCase{"any text/at all", nullptr, nullptr, "any text/at all"}));

TEST(CoreMetadata, LastWriteWinsAndCtIsMetadata) {
    ZorMsg msg;
    ASSERT_EQ(msg.setContentType("json"), ZORCLIENT_OK);
    ASSERT_EQ(msg.setContentType("msgpack"), ZORCLIENT_OK);
    EXPECT_EQ(msg.getContentType(), "msgpack");
    EXPECT_EQ(msg.getMetaData("ct"), "msgpack");

    ASSERT_EQ(msg.addMetaData("k", "one"), ZORCLIENT_OK);
    ASSERT_EQ(msg.addMetaData("k", "two"), ZORCLIENT_OK);
    EXPECT_EQ(msg.getMetaData("k"), "two");
    EXPECT_EQ(msg.getMetaData("missing"), "");
    EXPECT_EQ(msg.getContentType(), "msgpack");

    ZorMsg fresh;
    EXPECT_EQ(fresh.getMetaData("k"), "");
}

// --- binary attachment -----------------------------------------------------------------

TEST(CoreAttachment, NulBytesComeBackWhole) {
    const std::string data("a\0b\0\0c", 6);
    ZorMsg msg;
    ASSERT_EQ(msg.setBinaryAttachment(data), ZORCLIENT_OK);
    EXPECT_EQ(msg.getBinaryAttachmentString(), data);
    EXPECT_EQ(msg.getBinaryAttachmentVector(), std::vector<uint8_t>(data.begin(), data.end()));
    Bytes view = msg.getBinaryAttachment();
    ASSERT_EQ(view.size, data.size());
    EXPECT_EQ(std::memcmp(view.bytes_p, data.data(), data.size()), 0);

    const uint8_t raw[] = {0, 255, 0, 1};
    ASSERT_EQ(msg.setBinaryAttachment(raw, sizeof(raw)), ZORCLIENT_OK);
    EXPECT_EQ(msg.getBinaryAttachmentVector(), std::vector<uint8_t>(raw, raw + sizeof(raw)));
}

TEST(CoreAttachment, AbsentOrEmptyGivesEmptyResults) {
    ZorMsg msg;
    for (int round = 0; round < 2; ++round) {
        Bytes view = msg.getBinaryAttachment();
        EXPECT_EQ(view.size, 0u);
        EXPECT_EQ(msg.getBinaryAttachmentString(), "");
        EXPECT_TRUE(msg.getBinaryAttachmentVector().empty());
        msg.setBinaryAttachment(std::string());
    }
}

class CoreOversizeAttachment : public ::testing::TestWithParam<uint64_t> {};

TEST_P(CoreOversizeAttachment, RefusedWithoutTouchingTheBody) {
    if (sizeof(size_t) < 8) {
        GTEST_SKIP() << "size_t cannot hold the length";
    }
    ZorMsg msg;
    ASSERT_EQ(msg.setBinaryAttachment(std::string("keep")), ZORCLIENT_OK);
    // A truncating implementation would store the first bytes of `dummy`.
    const char dummy[] = "xyzw";
    EXPECT_EQ(msg.setBinaryAttachment(dummy, static_cast<size_t>(GetParam())), ZORCLIENT_FAIL);
    EXPECT_EQ(msg.getBinaryAttachmentString(), "keep");
}

INSTANTIATE_TEST_SUITE_P(Sizes, CoreOversizeAttachment,
                         ::testing::Values(uint64_t{1} << 32, (uint64_t{1} << 32) + 2, uint64_t{0xFFFFFFFFFFFFFFFF}));

// --- container path -----------------------------------------------------------------------

TEST(StandInCoreContainer, SecondCreateKeepsTheFirstContainer) {
    unsigned containers = zorClient_testing_liveContainers();
    char buff1[128];
    char buff2[128];
    ZorMsg msg;
    ASSERT_EQ(msg.createContainerMap(buff1, sizeof(buff1)), ZORCLIENT_OK);
    zorClient_opaqueContainer_pt first = msg.container_p;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(msg.createContainerMap(buff2, sizeof(buff2)), ZORCLIENT_OK);
    EXPECT_EQ(msg.container_p, first);
    EXPECT_EQ(zorClient_testing_liveContainers(), containers + 1);
}

TEST(StandInCoreContainer, StringsAttachAndReadBackAsMapBody) {
    unsigned containers = zorClient_testing_liveContainers();
    {
        char buff[256];
        ZorMsg msg;
        ASSERT_EQ(msg.addContainerString(buff, sizeof(buff), "k1", "v1"), ZORCLIENT_OK);
        zorClient_opaqueContainer_pt built = msg.container_p;
        // The second add reuses the map; its buffer arguments are not used.
        ASSERT_EQ(msg.addContainerString(nullptr, 0, "k2", "v2"), ZORCLIENT_OK);
        EXPECT_EQ(msg.container_p, built);
        EXPECT_EQ(stringFields(built), (std::vector<std::string>{"k1=v1", "k2=v2"}));

        ASSERT_EQ(msg.attachmentContainerMap(), ZORCLIENT_OK);
        EXPECT_EQ(msg.container_p, built);

        zorClient_opaqueContainer_pt body = msg.getBinaryAttachmentMap();
        ASSERT_NE(body, nullptr);
        EXPECT_EQ(msg.container_p, body);
        EXPECT_EQ(stringFields(body), (std::vector<std::string>{"k1=v1", "k2=v2"}));
        // The built map was closed when the slot took the body's handle.
        EXPECT_EQ(zorClient_testing_liveContainers(), containers + 1);
        EXPECT_EQ(msg.getBinaryAttachmentMap(), body);
        EXPECT_EQ(zorClient_testing_liveContainers(), containers + 1);
    }
    EXPECT_EQ(zorClient_testing_liveContainers(), containers);
}

TEST(CoreContainer, NoMapBodyLeavesSlotAsItWas) {
    ZorMsg msg;
    EXPECT_EQ(msg.getBinaryAttachmentMap(), nullptr);
    ASSERT_EQ(msg.setBinaryAttachment(std::string("raw")), ZORCLIENT_OK);
    EXPECT_EQ(msg.getBinaryAttachmentMap(), nullptr);
    EXPECT_EQ(msg.container_p, nullptr);
}

// Texts reach the library NUL-terminated: one holding a NUL would be stored
// cut short (a message to "orders/eu" instead of "orders/eu\0/priority").
TEST(CoreText, EmbeddedNulIsRefusedAndNothingChanges) {
    ZorMsg msg;
    const std::string nul("orders/eu\0/priority", 19);
    ASSERT_EQ(msg.setDestination(Destination("keep", ZORCLIENT_TOPIC_DESTINATION)), ZORCLIENT_OK);
    ASSERT_EQ(msg.setReplyToDestination(Destination("keep", ZORCLIENT_QUEUE_DESTINATION)), ZORCLIENT_OK);
    ASSERT_EQ(msg.setContentType("keep"), ZORCLIENT_OK);
    ASSERT_EQ(msg.setCorrlationId("keep"), ZORCLIENT_OK);

    EXPECT_EQ(msg.setDestination(Destination(nul, ZORCLIENT_TOPIC_DESTINATION)), ZORCLIENT_FAIL);
    EXPECT_EQ(msg.setReplyToDestination(Destination(nul, ZORCLIENT_QUEUE_DESTINATION)), ZORCLIENT_FAIL);
    EXPECT_EQ(msg.setContentType(nul), ZORCLIENT_FAIL);
    EXPECT_EQ(msg.setCorrlationId(nul), ZORCLIENT_FAIL);
    EXPECT_EQ(msg.addMetaData("k", nul), ZORCLIENT_FAIL);
    EXPECT_EQ(msg.addMetaData(nul, "v"), ZORCLIENT_FAIL);
    char buff[1024];
    EXPECT_EQ(msg.addContainerString(buff, sizeof buff, "bytes/json", nul), ZORCLIENT_FAIL);

    EXPECT_EQ(msg.getDestination().dest, "keep");
    EXPECT_EQ(msg.getReplyToDestination().dest, "keep");
    EXPECT_EQ(msg.getContentType(), "keep");
    EXPECT_EQ(msg.getCorrlationId(), "keep");
    EXPECT_EQ(msg.getMetaData("k"), "");
}

// A new body lets go of the map an earlier write built: reading the body
// back must describe the body held now, never the map kept from before.
TEST(CoreContainer, NewBodyDropsTheMapBuiltBefore) {
    ZorMsg msg;
    char buff[1024];
    ASSERT_EQ(msg.addContainerString(buff, sizeof buff, "bytes/json", "{\"old\":1}"), ZORCLIENT_OK);
    ASSERT_EQ(msg.attachmentContainerMap(), ZORCLIENT_OK);
    ASSERT_EQ(msg.setBinaryAttachment(std::string("raw")), ZORCLIENT_OK);
    EXPECT_EQ(msg.container_p, nullptr);
    EXPECT_EQ(msg.getBinaryAttachmentMap(), nullptr);
}
