// Message core: ownership of one library message and thin wrappers over the
// library's message and container calls.
#include "core/zormsg.h"

#include <spdlog/spdlog.h>

#include <cctype>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace {

// First size of the user property map; the library grows it as needed.
constexpr zorClient_uint32_t kUserPropertyMapSize = 64;
constexpr size_t kDumpBufferSize = 4096;

void logAllocFailure() {
    // The default logger exactly as spdlog creates it; we never configure it.
    // The record names file and function but no line: spdlog's default
    // pattern prints a location only for a line, and the line reads
    // "[...] [error] ZorMsg alloc failed, error: <text>".
    spdlog::default_logger_raw()->log(spdlog::source_loc{"core/zormsg", 0, "ZorMsg"}, spdlog::level::err,
                                      "ZorMsg alloc failed, error: {}",
                                      static_cast<const char*>(zorClient_getLastErrorInfo()->errorStr));
}

// Reads a destination record, never trusting a field the library left alone.
Destination readDestination(zorClient_opaqueMsg_pt msg_p,
                            zorClient_returnCode_t (*get)(zorClient_opaqueMsg_pt, zorClient_destination_t*, size_t),
                            zorClient_returnCode_t* rc_p = nullptr) {
    zorClient_destination_t record;
    record.destType = ZORCLIENT_NULL_DESTINATION;
    record.dest = "";
    zorClient_returnCode_t rc = get(msg_p, &record, sizeof(record));
    if (rc_p != nullptr) {
        *rc_p = rc;
    }
    return Destination(record);
}

std::string copyText(const char* text) { return text != nullptr ? std::string(text) : std::string(); }

// Nesting depth of a value (a scalar is 0), without recursion: the value may
// be too deep for the recursive encoders, which is what this guards.
size_t nestingDepth(const json& root) {
    struct Level {
        const json* value;
        size_t depth;
    };
    size_t deepest = 0;
    std::vector<Level> todo{{&root, 0}};
    while (!todo.empty()) {
        const Level level = todo.back();
        todo.pop_back();
        if (!level.value->is_structured()) continue;
        const size_t depth = level.depth + 1;
        if (depth > deepest) deepest = depth;
        if (deepest > static_cast<size_t>(kMaxNestingDepth)) break;
        for (const json& child : *level.value) {
            if (child.is_structured()) todo.push_back({&child, depth});
        }
    }
    return deepest;
}

// One JSON text with nothing but whitespace around it. The parser takes a
// NUL byte for the end of its input, so "123\0garbage" would read as 123: a
// NUL is refused with the parser's own error kind (after the parser's own
// error for the text before it, if that text is not a whole value either).
json parseJsonText(const char* text, size_t size) {
    const void* nul = std::memchr(text, 0, size);
    if (nul == nullptr) return json::parse(text, text + size, nullptr, true, false);
    const size_t at = static_cast<size_t>(static_cast<const char*>(nul) - text);
    const json before = json::parse(text, text + at, nullptr, true, false);
    static_cast<void>(before);
    nlohmann::detail::position_t pos;
    pos.chars_read_total = at + 1;
    for (size_t i = 0; i < at; ++i) {
        if (text[i] == '\n') {
            ++pos.lines_read;
            pos.chars_read_current_line = 0;
        } else {
            ++pos.chars_read_current_line;
        }
    }
    ++pos.chars_read_current_line;
    const std::string what = "syntax error while parsing value - unexpected NUL byte; expected end of input";
#if NLOHMANN_JSON_VERSION_MAJOR > 3 || NLOHMANN_JSON_VERSION_MINOR >= 11
    throw json::parse_error::create(101, pos, what, nullptr);
#else
    throw json::parse_error::create(101, pos, what, json());
#endif
}

void checkNesting(const json& j) {
    if (nestingDepth(j) > static_cast<size_t>(kMaxNestingDepth))
        throw std::invalid_argument("ZorMsg: body nested deeper than " + std::to_string(kMaxNestingDepth) + " levels");
}

// Length of text without a UTF-8 sequence cut off at its end.
size_t wholeCharacters(const char* text, size_t len) {
    size_t lead = len;
    // Back over at most three continuation bytes to the sequence's first byte.
    while (lead > 0 && len - lead < 3 && (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80) --lead;
    if (lead == 0) return len;
    const unsigned char first = static_cast<unsigned char>(text[lead - 1]);
    const size_t need = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
    const size_t have = len - (lead - 1);
    return (first >= 0xC0 && have < need) ? lead - 1 : len;
}

// Adds a text entry to the message's user property map, which the library
// creates or hands out.
zorClient_returnCode_t addUserProperty(zorClient_opaqueMsg_pt msg_p, const char* key, const char* value) {
    zorClient_opaqueContainer_pt map_p = nullptr;
    zorClient_returnCode_t rc = zorClient_msg_createUserPropertyMap(msg_p, &map_p, kUserPropertyMapSize);
    if (rc != ZORCLIENT_OK) {
        return rc;
    }
    // The map belongs to the message: its handle is not closed here.
    return zorClient_container_addString(map_p, value, key);
}

}  // namespace

// --- Destination ---------------------------------------------------------------

Destination::Destination(const std::string& dest, const zorClient_destinationType& destType)
    : dest(dest), destType(destType) {}

Destination::Destination(zorClient_destination_t d) : dest(copyText(d.dest)), destType(d.destType) {}

zorClient_destination_t Destination::to_zorClient_destination_t() const {
    zorClient_destination_t record;
    record.destType = destType;
    record.dest = dest.c_str();
    return record;
}

// --- content-type metadata -------------------------------------------------------

zorClient_returnCode_t setMetaContentType(zorClient_opaqueMsg_pt msg_p, const char* content_type) {
    return addUserProperty(msg_p, kContentTypeKey, content_type);
}

zorClient_returnCode_t getMetaContentType(zorClient_opaqueMsg_pt msg_p, const char** content_type_p) {
    zorClient_opaqueContainer_pt map_p = nullptr;
    zorClient_returnCode_t rc = zorClient_msg_getUserPropertyMap(msg_p, &map_p);
    if (rc != ZORCLIENT_OK) {
        return rc;
    }
    return zorClient_container_getStringPtr(map_p, content_type_p, kContentTypeKey);
}

bool isOutOfMemory(const zorClient_errorInfo_t& info) {
    static const char kWords[] = "out of memory";
    const size_t n = sizeof(kWords) - 1;
    const char* text = info.errorStr;
    const size_t len = strnlen(text, sizeof(info.errorStr));
    for (size_t at = 0; at + n <= len; ++at) {
        size_t i = 0;
        while (i < n && std::tolower(static_cast<unsigned char>(text[at + i])) == kWords[i]) ++i;
        if (i == n) return true;
    }
    return false;
}

ContentTypeUndo::ContentTypeUndo(zorClient_opaqueMsg_pt msg_p) : msg_p_(msg_p), had_(false), state_(State::Written) {
    const char* text = nullptr;
    if (getMetaContentType(msg_p, &text) == ZORCLIENT_OK) {
        had_ = true;
        text_ = copyText(text);
    }
}

zorClient_returnCode_t ContentTypeUndo::write(zorClient_opaqueMsg_pt msg_p, const char* content_type) {
    msg_p_ = msg_p;
    had_ = false;
    text_.clear();
    state_ = State::Idle;
    zorClient_opaqueContainer_pt map_p = nullptr;
    zorClient_returnCode_t rc = zorClient_msg_getUserPropertyMap(msg_p, &map_p);
    if (rc == ZORCLIENT_OK) {
        const char* old = nullptr;
        if (zorClient_container_getStringPtr(map_p, &old, kContentTypeKey) == ZORCLIENT_OK) {
            had_ = true;
            text_ = copyText(old);
        }
    } else if (rc != ZORCLIENT_NOT_FOUND) {
        return rc;
    }
    if (!had_) {
        void* body = nullptr;
        zorClient_uint32_t size = 0;
        const zorClient_returnCode_t found = zorClient_msg_getBinaryAttachmentPtr(msg_p, &body, &size);
        if (found == ZORCLIENT_NOT_FOUND || (found == ZORCLIENT_OK && size == 0)) {
            // Nothing to put back if the body is refused, nor if the content
            // type is: removing the new body restores the message.
            pending_ = content_type;
            state_ = State::Pending;
            return ZORCLIENT_OK;
        }
    }
    state_ = State::Written;
    if (map_p == nullptr) {
        rc = zorClient_msg_createUserPropertyMap(msg_p, &map_p, kUserPropertyMapSize);
        if (rc != ZORCLIENT_OK) return rc;
    }
    // The map belongs to the message: its handle is not closed here.
    return zorClient_container_addString(map_p, content_type, kContentTypeKey);
}

zorClient_returnCode_t ContentTypeUndo::commitPending() const {
    const zorClient_returnCode_t rc = announcePending();
    if (rc != ZORCLIENT_OK) {
        const zorClient_errorInfo_t refusal = *zorClient_getLastErrorInfo();
        zorClient_msg_setBinaryAttachment(msg_p_, nullptr, 0);
        *zorClient_getLastErrorInfo() = refusal;
    }
    return rc;
}

zorClient_returnCode_t ContentTypeUndo::announcePending() const {
    state_ = State::Settled;
    return setMetaContentType(msg_p_, pending_);
}

void ContentTypeUndo::restore() const {
    if (state_ != State::Written) {  // nothing was written
        if (state_ == State::Pending) state_ = State::Settled;
        return;
    }
    // Reads below may leave a record of their own (NOT_FOUND counts as one):
    // the caller wants the refusal's.
    const zorClient_errorInfo_t refusal = *zorClient_getLastErrorInfo();
    std::string text = text_;
    if (!had_) {
        // The library has no call that removes a property: give "ct" what the
        // content type read through its fallback, the HTTP content type.
        const char* http = nullptr;
        text = zorClient_msg_getHttpContentType(msg_p_, &http) == ZORCLIENT_OK ? copyText(http) : std::string();
    }
    setMetaContentType(msg_p_, text.c_str());
    *zorClient_getLastErrorInfo() = refusal;
}

// --- lifetime --------------------------------------------------------------------

ZorMsg::ZorMsg() : msg_p(nullptr), container_p(nullptr), body_views(0) {
    if (zorClient_msg_alloc(&msg_p) != ZORCLIENT_OK) {
        logAllocFailure();
    }
}

ZorMsg::ZorMsg(zorClient_opaqueMsg_pt msg_p) : msg_p(msg_p), container_p(nullptr), body_views(0) {}

ZorMsg::ZorMsg(const std::string& topic, const json& j, const std::string& content_type, bool elide, DeliveryMode mode)
    : msg_p(nullptr), container_p(nullptr), body_views(0) {
    if (zorClient_msg_alloc(&msg_p) != ZORCLIENT_OK) {
        logAllocFailure();
        return;
    }
    try {
        checkNesting(j);
        if (content_type == ctype::kMsgpack) {
            setMsgpackBody(j);
        } else if (content_type == ctype::kJson) {
            setJsonBody(j);
        }
    } catch (...) {
        // The destructor does not run for a constructor that throws.
        zorClient_msg_free(&msg_p);
        msg_p = nullptr;
        throw;
    }
    setDestination(Destination(topic, ZORCLIENT_TOPIC_DESTINATION));
    setDeliveryMode(mode);
    setElidingEligible(elide);
}

ZorMsg::ZorMsg(ZorMsg&& msg) noexcept
    : msg_p(msg.msg_p), container_p(msg.container_p), container_buff_p(std::move(msg.container_buff_p)), body_views(0) {
    msg.msg_p = nullptr;
    msg.container_p = nullptr;
}

ZorMsg::~ZorMsg() {
    // The container may live inside the message or in container_buff_p, so it
    // is closed first; the buffer goes with the members afterwards.
    if (container_p != nullptr) {
        zorClient_container_closeMapStream(&container_p);
    }
    if (msg_p != nullptr) {
        zorClient_msg_free(&msg_p);
    }
}

zorClient_opaqueMsg_pt ZorMsg::ptr() { return msg_p; }

std::string ZorMsg::dump() {
    char buffer[kDumpBufferSize] = {0};
    zorClient_msg_dump(msg_p, buffer, sizeof(buffer));
    // Bounded even if the library left no terminator. A dump cut at the
    // buffer's end may end inside a character: that part goes.
    size_t len = strnlen(buffer, sizeof(buffer));
    if (len + 1 >= sizeof(buffer)) len = wholeCharacters(buffer, len);
    return std::string(buffer, len);
}

// --- addressing and header flags -----------------------------------------------

zorClient_returnCode_t ZorMsg::setDestination(zorClient_destination_t d) {
    zorClient_destination_t record = d;
    return zorClient_msg_setDestination(msg_p, &record, sizeof(record));
}

zorClient_returnCode_t ZorMsg::setDestination(const Destination& dest) {
    if (hasNul(dest.dest)) return ZORCLIENT_FAIL;
    zorClient_destination_t record = dest.to_zorClient_destination_t();
    return zorClient_msg_setDestination(msg_p, &record, sizeof(record));
}

Destination ZorMsg::getDestination() const { return readDestination(msg_p, zorClient_msg_getDestination); }

bool ZorMsg::isReply() { return zorClient_msg_isReplyMsg(msg_p) != 0; }

zorClient_returnCode_t ZorMsg::setAsReply(bool reply) { return zorClient_msg_setAsReplyMsg(msg_p, reply ? 1 : 0); }

zorClient_returnCode_t ZorMsg::setReplyToDestination(const Destination& dest) {
    if (hasNul(dest.dest)) return ZORCLIENT_FAIL;
    zorClient_destination_t record = dest.to_zorClient_destination_t();
    return zorClient_msg_setReplyTo(msg_p, &record, sizeof(record));
}

Destination ZorMsg::getReplyToDestination() { return readDestination(msg_p, zorClient_msg_getReplyTo); }

bool ZorMsg::isRequest() {
    zorClient_returnCode_t rc = ZORCLIENT_FAIL;
    readDestination(msg_p, zorClient_msg_getReplyTo, &rc);
    bool reply = zorClient_msg_isReplyMsg(msg_p) != 0;
    return rc == ZORCLIENT_OK && !reply;
}

bool ZorMsg::isP2P() { return getDestination().dest.compare(0, 4, "#P2P") == 0; }

zorClient_returnCode_t ZorMsg::setDeliveryMode(DeliveryMode mode) {
    return zorClient_msg_setDeliveryMode(msg_p, static_cast<zorClient_uint32_t>(mode));
}

DeliveryMode ZorMsg::getDeliveryMode() {
    zorClient_uint32_t mode = Direct;
    zorClient_msg_getDeliveryMode(msg_p, &mode);
    // No range check: the library's number is passed through.
    return static_cast<DeliveryMode>(mode);
}

zorClient_returnCode_t ZorMsg::setElidingEligible(bool elide) {
    return zorClient_msg_setElidingEligible(msg_p, elide ? 1 : 0);
}

bool ZorMsg::isElidingEligible() { return zorClient_msg_isElidingEligible(msg_p) != 0; }

std::string ZorMsg::getCorrlationId() {
    const char* corrid = nullptr;
    if (zorClient_msg_getCorrelationId(msg_p, &corrid) != ZORCLIENT_OK) {
        return std::string();
    }
    return copyText(corrid);
}

zorClient_returnCode_t ZorMsg::setCorrlationId(const std::string& corrid) {
    if (hasNul(corrid)) return ZORCLIENT_FAIL;
    return zorClient_msg_setCorrelationId(msg_p, corrid.c_str());
}

zorClient_returnCode_t ZorMsg::setDeliveryToOne(bool to_one) {
    return zorClient_msg_setDeliverToOne(msg_p, to_one ? 1 : 0);
}

// --- content type and metadata --------------------------------------------------

zorClient_returnCode_t ZorMsg::setContentType(const std::string& string) {
    if (hasNul(string)) return ZORCLIENT_FAIL;
    return setMetaContentType(msg_p, string.c_str());
}

std::string ZorMsg::getContentType() {
    const char* text = nullptr;
    zorClient_returnCode_t rc = getMetaContentType(msg_p, &text);
    if (rc == ZORCLIENT_NOT_FOUND) {
        // Messages from other clients may carry only the HTTP content type.
        rc = zorClient_msg_getHttpContentType(msg_p, &text);
    }
    if (rc != ZORCLIENT_OK) {
        return std::string();
    }
    return copyText(text);
}

zorClient_returnCode_t ZorMsg::addMetaData(const std::string& key, const std::string& value) {
    if (hasNul(key) || hasNul(value)) return ZORCLIENT_FAIL;
    return addUserProperty(msg_p, key.c_str(), value.c_str());
}

std::string ZorMsg::getMetaData(const std::string& key) {
    zorClient_opaqueContainer_pt map_p = nullptr;
    if (zorClient_msg_getUserPropertyMap(msg_p, &map_p) != ZORCLIENT_OK) {
        return std::string();
    }
    const char* text = nullptr;
    if (zorClient_container_getStringPtr(map_p, &text, key.c_str()) != ZORCLIENT_OK) {
        return std::string();
    }
    return copyText(text);
}

// --- binary attachment -----------------------------------------------------------

zorClient_returnCode_t ZorMsg::setBinaryAttachment(const std::string& str) {
    return setBinaryAttachment(str.data(), str.size());
}

zorClient_returnCode_t ZorMsg::setBinaryAttachment(const void* bytes_p, size_t size) {
    // The library takes a 32-bit count; cutting the length would store a
    // different body and still report success.
    if (size > kMaxAttachmentSize) {
        return ZORCLIENT_FAIL;
    }
    // A map built by from_dict describes the body being replaced: let it go
    // (and the buffer behind it), so nothing reads it as the new body.
    releaseContainer();
    return zorClient_msg_setBinaryAttachment(msg_p, bytes_p, static_cast<zorClient_uint32_t>(size));
}

Bytes ZorMsg::getBinaryAttachment() {
    Bytes bytes;
    zorClient_msg_getBinaryAttachmentPtr(msg_p, &bytes.bytes_p, &bytes.size);
    return bytes;
}

std::string ZorMsg::getBinaryAttachmentString() {
    Bytes bytes = getBinaryAttachment();
    if (bytes.bytes_p == nullptr || bytes.size == 0) {
        return std::string();
    }
    return std::string(static_cast<const char*>(bytes.bytes_p), bytes.size);
}

std::vector<uint8_t> ZorMsg::getBinaryAttachmentVector() {
    Bytes bytes = getBinaryAttachment();
    if (bytes.bytes_p == nullptr || bytes.size == 0) {
        return std::vector<uint8_t>();
    }
    const uint8_t* first = static_cast<const uint8_t*>(bytes.bytes_p);
    return std::vector<uint8_t>(first, first + bytes.size);
}

// --- container path ----------------------------------------------------------------

zorClient_opaqueContainer_pt ZorMsg::getBinaryAttachmentMap() {
    zorClient_opaqueContainer_pt map_p = nullptr;
    if (zorClient_msg_getBinaryAttachmentMap(msg_p, &map_p) != ZORCLIENT_OK) map_p = nullptr;
    if (map_p != container_p) {
        // The slot owns one container and describes the body held now: a map
        // kept from an earlier body would be read as this one.
        releaseContainer();
        container_p = map_p;
    }
    return container_p;
}

zorClient_returnCode_t ZorMsg::createContainerMap(char* buff, size_t size) {
    if (container_p != nullptr) {
        return ZORCLIENT_OK;
    }
    return zorClient_container_createMap(&container_p, buff, size);
}

zorClient_returnCode_t ZorMsg::addContainerString(char* buff, size_t size, const std::string& key,
                                                  const std::string& value) {
    if (hasNul(key) || hasNul(value)) return ZORCLIENT_FAIL;
    if (container_p == nullptr) {
        // A failed creation shows as the failed add below.
        zorClient_container_createMap(&container_p, buff, size);
    }
    return zorClient_container_addString(container_p, value.c_str(), key.c_str());
}

zorClient_returnCode_t ZorMsg::attachmentContainerMap() {
    return zorClient_msg_setBinaryAttachmentContainer(msg_p, container_p);
}

void ZorMsg::releaseContainer() {
    if (container_p != nullptr) {
        zorClient_container_closeMapStream(&container_p);
        container_p = nullptr;
    }
    container_buff_p.reset();
}

void ZorMsg::adoptContainerBuffer(std::unique_ptr<char[]> buff) { container_buff_p = std::move(buff); }

// --- structured bodies ---------------------------------------------------------------

zorClient_returnCode_t ZorMsg::setJsonBody(const json& j) {
    checkNesting(j);
    ContentTypeUndo undo;
    zorClient_returnCode_t rc = undo.write(msg_p, ctype::kJson);
    if (rc != ZORCLIENT_OK) return rc;
    std::string text = j.dump(-1, ' ', false, json::error_handler_t::strict);
    rc = setBinaryAttachment(text);
    if (rc != ZORCLIENT_OK)
        undo.restore();
    else
        rc = undo.commit();
    return rc;
}

zorClient_returnCode_t ZorMsg::setMsgpackBody(const json& j) {
    checkNesting(j);
    ContentTypeUndo undo;
    zorClient_returnCode_t rc = undo.write(msg_p, ctype::kMsgpack);
    if (rc != ZORCLIENT_OK) return rc;
    std::vector<uint8_t> packed = json::to_msgpack(j);
    rc = setBinaryAttachment(packed.data(), packed.size());
    if (rc != ZORCLIENT_OK)
        undo.restore();
    else
        rc = undo.commit();
    return rc;
}

json ZorMsg::getJsonBody() {
    json result;
    if (bodyFormOf(getContentType()) == BodyForm::Json) {
        const Bytes body = getBinaryAttachment();
        const char* text = body.bytes_p != nullptr ? static_cast<const char*>(body.bytes_p) : "";
        result = parseJsonText(text, body.bytes_p != nullptr ? body.size : 0);
    }
    return result;
}

json ZorMsg::getMsgpackBody() {
    json result;
    if (bodyFormOf(getContentType()) == BodyForm::Msgpack) {
        std::vector<uint8_t> barr = getBinaryAttachmentVector();
        result = json::from_msgpack(barr, true, true);
    }
    return result;
}
