// Message core: the native owner of one client-library message.
//
// The core never calls Python. Setters return the library's return code
// unchanged; getters return plain values (the empty string, an empty view)
// when the library reports nothing.
#pragma once

#include <zorclient.h>

#include "core/conversion_mark.h"
#include "core/vocabulary.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using json = nlohmann::json;

// The library's delivery-mode values. Unscoped so that the Python enumeration
// built on it gets the bitwise operators.
enum DeliveryMode : uint32_t {
    Direct = ZORCLIENT_DELIVERY_MODE_DIRECT,
    Persistent = ZORCLIENT_DELIVERY_MODE_PERSISTENT,
    NonPersistent = ZORCLIENT_DELIVERY_MODE_NONPERSISTENT,
};

// Whether `type` is one of the library's destination types (Null included).
// Only those may be held as a zorClient_destinationType_t: any other number
// is outside the enumeration's range, and holding it is undefined behaviour.
inline bool isDestinationType(int64_t type) {
    return type >= ZORCLIENT_NULL_DESTINATION && type <= ZORCLIENT_QUEUE_TEMP_DESTINATION;
}

// A destination name and type; owns its copy of the name.
class Destination {
public:
    std::string dest;
    zorClient_destinationType_t destType;

    Destination(const std::string& dest, const zorClient_destinationType& destType);
    // From a library record; a null name gives the empty name.
    explicit Destination(zorClient_destination_t dest);

    // A record whose name points at this object's own characters: valid while
    // this object lives unchanged.
    zorClient_destination_t to_zorClient_destination_t() const;
};

// Read-only view of a message's binary attachment; owns nothing.
class Bytes {
public:
    void* bytes_p;
    zorClient_uint32_t size;

    Bytes() : bytes_p(nullptr), size(0) {}
};

// Content type kept as the string field "ct" of the user property map.
zorClient_returnCode_t setMetaContentType(zorClient_opaqueMsg_pt msg_p, const char* content_type);
zorClient_returnCode_t getMetaContentType(zorClient_opaqueMsg_pt msg_p, const char** content_type_p);

// Whether the library's last failure on this thread was running out of
// memory. The library has no return code of its own for it; its error text
// says so.
bool isOutOfMemory(const zorClient_errorInfo_t& info);

// The content type a body write is about to replace. Body writes set the
// content type first and the body second; when the library then refuses the
// body, restore() puts the old content type back, so that no body is ever
// announced by a content type that is not its own.
//
// The library has no call that removes a property, nor the user property
// map: a message that had no content type would keep a "ct" field (and a
// property map it did not have) after a refused body. So on a message with
// neither a "ct" field nor a body, write() only records the content type,
// and commit() adds it once the body is in; a refused body then leaves the
// message as it was.
class ContentTypeUndo {
public:
    // Records nothing yet: write() records and writes.
    ContentTypeUndo() : msg_p_(nullptr), had_(false), state_(State::Idle) {}
    // Reads the "ct" field as it is now.
    explicit ContentTypeUndo(zorClient_opaqueMsg_pt msg_p);
    // Sets the content type as ZorMsg::setContentType does, first recording
    // the one it replaces, read from the property map that the write opens
    // anyway: one library read on top of the write instead of two. On a
    // message with no "ct" field and no body the content type waits for
    // commit() instead (pending()); `content_type` must then outlive this
    // object (the writes pass the content types of core/vocabulary.h, or
    // their caller's text for the whole call).
    zorClient_returnCode_t write(zorClient_opaqueMsg_pt msg_p, const char* content_type);
    // Whether the content type waits for the body.
    bool pending() const { return state_ == State::Pending; }
    // The body is in: writes a content type that waited for it. When the
    // library refuses that, the body goes again (the message had none) and
    // the refusal's code is returned, its error record kept.
    zorClient_returnCode_t commit() const { return state_ == State::Pending ? commitPending() : ZORCLIENT_OK; }
    // Writes a content type that waited, whatever became of the body (a
    // failed encoding leaves from_dict's format announced); the library's
    // code is returned.
    zorClient_returnCode_t announce() const { return state_ == State::Pending ? announcePending() : ZORCLIENT_OK; }
    // Makes the content type read as it did when this object was made (a
    // message that had no "ct" field gets one holding what its content type
    // read then; one whose content type waited keeps none). The thread's last
    // error record is left as it was before the call, so it still describes
    // the refusal.
    void restore() const;

private:
    zorClient_returnCode_t commitPending() const;
    zorClient_returnCode_t announcePending() const;

    enum class State { Idle, Written, Pending, Settled };
    zorClient_opaqueMsg_pt msg_p_;
    bool had_;
    std::string text_;
    mutable State state_;
    const char* pending_ = nullptr;  // the content type that waits
};

// Texts reach the library NUL-terminated: setters refuse a text holding a
// NUL with ZORCLIENT_FAIL instead of letting the library store it cut short.
inline bool hasNul(const std::string& text) { return text.find('\0') != std::string::npos; }

class ZorMsg {
public:
    // The message handle; null after a failed allocation or a move.
    zorClient_opaqueMsg_pt msg_p;
    // A map built by the container operations or fetched from the body.
    zorClient_opaqueContainer_pt container_p;
    // Memory that backs container_p when the message itself must keep it
    // alive (see adoptContainerBuffer); released after the container is closed.
    std::unique_ptr<char[]> container_buff_p;
    // Held while a conversion (PyZorMsg::to_dict, from_dict) reads or writes
    // the body; the Python layer refuses body changes and second conversions
    // meanwhile. The core itself does not look at it. Reads as a bool.
    ConversionMark converting;
    // Views of the attachment that Python code holds (ZorMsg.body_view, a
    // decoder's input): while any lives, the Python layer refuses body writes
    // and moves, as the views point into the library's copy of the body. The
    // core itself does not look at it. Changed with the GIL held.
    uint32_t body_views;

    ZorMsg();
    explicit ZorMsg(zorClient_opaqueMsg_pt msg_p);
    ZorMsg(const std::string& topic, const json& j, const std::string& content_type, bool elide, DeliveryMode mode);
    ZorMsg(ZorMsg&& msg) noexcept;
    ~ZorMsg();

    zorClient_opaqueMsg_pt ptr();
    std::string dump();

    // Addressing and header flags.
    zorClient_returnCode_t setDestination(zorClient_destination_t d);
    zorClient_returnCode_t setDestination(const Destination& dest);
    Destination getDestination() const;
    bool isReply();
    zorClient_returnCode_t setAsReply(bool reply);
    zorClient_returnCode_t setReplyToDestination(const Destination& dest);
    Destination getReplyToDestination();
    bool isRequest();

    // Content type.
    zorClient_returnCode_t setContentType(const std::string& string);
    std::string getContentType();

    zorClient_returnCode_t setDeliveryMode(DeliveryMode mode);
    DeliveryMode getDeliveryMode();

    // Binary attachment. Lengths above 4 294 967 295 bytes are refused with
    // ZORCLIENT_FAIL before the library is called. A new body lets go of the
    // container a "bytes/json" write built (the body is the library's copy).
    zorClient_returnCode_t setBinaryAttachment(const std::string& str);
    zorClient_returnCode_t setBinaryAttachment(const void* bytes_p, size_t size);
    std::string getBinaryAttachmentString();
    Bytes getBinaryAttachment();

    // Container path. The map of the body the message holds now, kept in the
    // container slot; null (and the slot emptied) when the body is no map.
    zorClient_opaqueContainer_pt getBinaryAttachmentMap();
    zorClient_returnCode_t createContainerMap(char* buff, size_t size);
    zorClient_returnCode_t addContainerString(char* buff, size_t size, const std::string& key,
                                              const std::string& value);
    zorClient_returnCode_t attachmentContainerMap();
    std::vector<uint8_t> getBinaryAttachmentVector();

    // Structured bodies (nlohmann-json). Values nested deeper than
    // kMaxNestingDepth levels throw std::invalid_argument before anything is
    // written: the encoders recurse once per level. When the library refuses
    // the content type or the body, the setters return its code and leave
    // both as they were.
    json getJsonBody();
    zorClient_returnCode_t setJsonBody(const json& j);
    json getMsgpackBody();
    zorClient_returnCode_t setMsgpackBody(const json& j);

    // Free-form metadata in the user property map.
    zorClient_returnCode_t addMetaData(const std::string& key, const std::string& value);
    std::string getMetaData(const std::string& key);

    zorClient_returnCode_t setElidingEligible(bool elide);
    bool isElidingEligible();
    bool isP2P();
    std::string getCorrlationId();
    zorClient_returnCode_t setCorrlationId(const std::string& corrid);
    zorClient_returnCode_t setDeliveryToOne(bool to_one);

    // Closes the container in the slot (if any) and releases the buffer the
    // message kept for it, leaving the slot empty. The body is the library's
    // own copy and stays as it is.
    void releaseContainer();
    // Makes the message keep `buff` alive for as long as it holds a container
    // built in it.
    void adoptContainerBuffer(std::unique_ptr<char[]> buff);

    ZorMsg(const ZorMsg&) = delete;
    ZorMsg& operator=(const ZorMsg&) = delete;
    ZorMsg& operator=(ZorMsg&&) = delete;
};
