// PyZorMsg: the native object behind the Python class zormsg.ZorMsg, and the
// body bridge that encodes bodies with the Python packages orjson and msgpack.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include "core/zormsg.h"

// The body bridge (bindBodyBridge, json_dumps, json_loads, msgpack_dumps,
// msgpack_loads) comes with this header, as it always has.
#include "body_bridge.h"

class PyZorMsg {
public:
    ZorMsg msg;

    PyZorMsg();
    // Adopts a library message handle (which may be null).
    explicit PyZorMsg(zorClient_opaqueMsg_pt msg_p);
    // Takes the handles of `msg`, which is left holding none. Throws
    // std::runtime_error while `msg` is being converted.
    explicit PyZorMsg(ZorMsg& msg);
    // A new addressed message with a body encoded natively ("json" or
    // "msgpack"); eliding off, delivery mode Direct.
    PyZorMsg(std::string topic, const json& j, std::string format);
    ~PyZorMsg();

    zorClient_opaqueMsg_pt ptr();
    std::string dump();
    // The dump as Python shows it: never raises, bytes that are not UTF-8
    // are shown escaped.
    pybind11::str repr();

    void setDestination(Destination d);
    Destination getDestination();
    void setReplyToDestination(Destination dest);
    Destination getReplyToDestination();
    bool isReply();
    void setAsReply(bool reply);
    bool isRequest();
    bool isP2P();
    void setDeliveryMode(DeliveryMode mode);
    DeliveryMode getDeliveryMode();
    void setElidingEligible(bool elide);
    bool isElidingEligible();
    void setContentType(std::string str);
    std::string getContentType();
    // Raises OverflowError for more than 4 294 967 295 bytes.
    void setBinaryAttachment(pybind11::bytes buf);
    pybind11::bytes getBinaryAttachment();
    // A read-only memoryview over the attachment, no copy. While it (or a
    // view made from it) lives, every body write raises BufferError.
    pybind11::memoryview getBodyView();
    void setCorrlationId(std::string corrid);
    std::string getCorrlationId();
    void setDeliveryToOne(bool to_one);

    // Bodies through orjson ("json") and msgpack ("msgpack").
    //
    // Every body write (these setters, setBinaryAttachment, from_dict with a
    // body format) that the library refuses raises MemoryError when it ran
    // out of memory, else RuntimeError with its error text, and leaves the
    // content type and the body as they were; while a body view is exported
    // they raise BufferError and change nothing.
    void setJsonBody(pybind11::dict d);
    pybind11::dict getJsonBody();
    void setMsgpackBody(pybind11::dict d);
    pybind11::dict getMsgpackBody();

    // Dictionary form: the body as one dict, whatever its encoding.
    //
    // One conversion of a message runs at a time: a second to_dict/from_dict
    // of the same message (from a finalizer, or another thread while the GIL
    // is released) raises RuntimeError, and so does any body or content-type
    // change meanwhile, so a conversion always sees the body it started with.
    pybind11::dict to_dict();
    // Writes `d` as the body in `format` ("json", "msgpack" or "bytes/json").
    // "bytes/json" builds a fresh map holding just the new field. The result
    // is the heap buffer that map lives in when it needed more than 32 KiB,
    // otherwise null (the message owns the memory, as much as the map needs). The caller delete[]s a
    // non-null result once the message lets go of that map: after its next
    // body change, its next from_dict, msg.releaseContainer(), or its
    // destruction (of whichever PyZorMsg the message was moved into).
    char* from_dict(pybind11::dict d, std::string format);
};

// Makes sure zormsg's Python types exist, importing zormsg if need be: native
// code may hand a PyZorMsg to Python before Python code imported zormsg.
// Throws pybind11::error_already_set (the import's error) when it cannot.
// Needs the GIL.
void requireZormsgTypes();

// A process can hold two copies of the client library (a wheel carries its
// own, renamed; a native module may link the installed one), and a message
// handle of one copy means nothing to the other, or names another message
// there. zormsg publishes the copy it calls; this refuses, with a
// RuntimeError naming both files, when this module calls another one. A
// PyZorMsg crossing to Python (requireZormsgTypes) or from it (the caster
// below) is checked; once the copies compared equal a check is one flag test.
void checkSameClientLibrary();
namespace pyzormsg_detail {
extern bool sameClientLibrary;  // this module's copy compared equal to zormsg's
}  // namespace pyzormsg_detail

namespace pybind11 {
namespace detail {

// A PyZorMsg goes to Python only once its type is registered (zormsg imported
// first when need be), and crosses either way only between modules that call
// the same copy of the client library. A message handed over with its ownership that cannot
// go is deleted, freeing its library message, instead of leaking.
template <>
class type_caster<PyZorMsg> : public type_caster_base<PyZorMsg> {
    using base = type_caster_base<PyZorMsg>;

public:
    bool load(handle src, bool convert) {
        if (!base::load(src, convert)) return false;
        if (!pyzormsg_detail::sameClientLibrary) checkSameClientLibrary();
        return true;
    }
    static handle cast(const PyZorMsg& src, return_value_policy policy, handle parent) {
        requireZormsgTypes();
        return base::cast(src, policy, parent);
    }
    static handle cast(PyZorMsg&& src, return_value_policy policy, handle parent) {
        requireZormsgTypes();
        return base::cast(std::move(src), policy, parent);
    }
    static handle cast(const PyZorMsg* src, return_value_policy policy, handle parent) {
        const bool owning = policy == return_value_policy::automatic || policy == return_value_policy::take_ownership;
        try {
            requireZormsgTypes();
        } catch (...) {
            if (owning) delete src;
            throw;
        }
        handle h = base::cast(src, policy, parent);
        if (!h && owning) delete src;
        return h;
    }
};

// The holder stays with the caller when the cast fails, and frees it there.
template <>
class type_caster<std::unique_ptr<PyZorMsg>> : public move_only_holder_caster<PyZorMsg, std::unique_ptr<PyZorMsg>> {
public:
    static handle cast(std::unique_ptr<PyZorMsg>&& src, return_value_policy policy, handle parent) {
        if (src) requireZormsgTypes();
        return move_only_holder_caster::cast(std::move(src), policy, parent);
    }
};

}  // namespace detail
}  // namespace pybind11
