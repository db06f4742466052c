// The content type a body write announces first, and its undo when the library refuses the body.
#pragma once

#include <string>

#include "core/zormsg.h"
#include "internal/refusal.h"

// Every Python-level body write (json, msgpack, from_dict) sets the content
// type first and the body second, then commit(): on a message that had
// neither a content type nor a body the content type waits for the body
// instead (ContentTypeUndo::write). A refused content type changed nothing of
// the write; a refused body puts the content type back as it was before the
// write began, so no body is ever announced by a content type not its own.
class ContentTypeWrite {
public:
    // What becomes of a content type that waits for a body that never comes
    // (an exception other than a refusal): dropped, or written all the same
    // (from_dict announces its format before it encodes, and a failed
    // encoding leaves it announced).
    enum Abandoned { kDropIfAbandoned, kAnnounceIfAbandoned };

    // Writes `content_type`. `earlier` is the undo of a write of the same
    // operation that came first (from_dict announces its format before
    // encoding): a refusal then puts back what that one replaced, and this
    // write records nothing.
    // A refusal raises "<who>: the message did not take the "<content_type>"
    // body" with the library's text.
    ContentTypeWrite(ZorMsg& msg, const char* content_type, const char* who, const ContentTypeUndo* earlier = nullptr,
                     Abandoned abandoned = kDropIfAbandoned)
        : content_type_(content_type), who_(who), earlier_(earlier), abandoned_(abandoned) {
        zorClient_returnCode_t rc = ZORCLIENT_OK;
        if (earlier == nullptr)
            rc = undo_.write(msg.msg_p, content_type);
        else if (!earlier->pending())
            rc = msg.setContentType(content_type);
        if (rc != ZORCLIENT_OK) {
            if (earlier != nullptr) earlier->restore();
            raiseRefusal(refusedBody(who, content_type));
        }
    }
    ~ContentTypeWrite() {
        if (abandoned_ == kAnnounceIfAbandoned) undo().announce();
    }

    // The body is in: a content type that waited for it is written. Returns
    // the library's code; a refusal has taken the body out again, and
    // refused() then raises it.
    zorClient_returnCode_t commit() const { return undo().commit(); }

    // The body was refused, as `refusal` says: the content type goes back.
    [[noreturn]] void refused(const zorClient_errorInfo_t& refusal) const {
        undo().restore();
        raiseRefusal(refusedBody(who_, content_type_), refusal);
    }
    // The same, right after the refused library call.
    [[noreturn]] void refused() const { refused(*zorClient_getLastErrorInfo()); }

    // What a refusal puts back.
    const ContentTypeUndo& undo() const { return earlier_ != nullptr ? *earlier_ : undo_; }

    ContentTypeWrite(const ContentTypeWrite&) = delete;
    ContentTypeWrite& operator=(const ContentTypeWrite&) = delete;

private:
    const char* content_type_;
    const char* who_;
    const ContentTypeUndo* earlier_;
    Abandoned abandoned_;
    ContentTypeUndo undo_;
};
