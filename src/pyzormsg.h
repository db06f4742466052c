// PyZorMsg: the native object behind the Python class zormsg.ZorMsg, and the
// body bridge that encodes bodies with the Python packages orjson and msgpack.
#pragma once

#include <pybind11/pybind11.h>

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
    void setCorrlationId(std::string corrid);
    std::string getCorrlationId();
    void setDeliveryToOne(bool to_one);

    // Bodies through orjson ("json") and msgpack ("msgpack").
    //
    // Every body write (these setters, setBinaryAttachment, from_dict with a
    // body format) that the library refuses raises MemoryError when it ran
    // out of memory, else RuntimeError with its error text, and leaves the
    // content type and the body as they were.
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
