// An application's own native module next to zormsg: it takes a message as
// the client library delivers it, adopts the handle into a PyZorMsg (Python
// sees a zormsg.ZorMsg) and reads the body as a dict with to_dict, whatever
// encoding the content type names.
#include <pybind11/pybind11.h>
#include <zorclient.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "pyzormsg.h"

namespace py = pybind11;

namespace {

void check(zorClient_returnCode_t rc, const char* what) {
    if (rc != ZORCLIENT_OK) throw std::runtime_error(std::string(what) + ": " + zorClient_getLastErrorInfo()->errorStr);
}

// Stands in for the library's receive callback: a message from another client
// whose body is a library map, with no content type of ours.
zorClient_opaqueMsg_pt receiveOne() {
    char buff[1024];
    zorClient_opaqueContainer_pt map_p = nullptr;
    check(zorClient_container_createMap(&map_p, buff, sizeof buff), "createMap");
    zorClient_container_addString(map_p, "ACME-42", "symbol");
    zorClient_container_addDouble(map_p, 101.25, "price");
    zorClient_container_addInt64(map_p, 300, "qty");
    zorClient_opaqueMsg_pt msg_p = nullptr;
    check(zorClient_msg_alloc(&msg_p), "alloc");
    zorClient_destination_t dest{ZORCLIENT_TOPIC_DESTINATION, "prices/acme"};
    zorClient_msg_setDestination(msg_p, &dest, sizeof dest);
    zorClient_msg_setBinaryAttachmentContainer(msg_p, map_p);
    zorClient_container_closeMapStream(&map_p);  // the message holds its own copy
    return msg_p;
}

}  // namespace

PYBIND11_MODULE(received_example, m) {
    // The adopted handle now belongs to the PyZorMsg: collecting the Python
    // object frees the library message. Handing it over imports zormsg if
    // Python has not imported it yet.
    m.def("receive", []() { return new PyZorMsg(receiveOne()); });
    m.def("body_of", [](PyZorMsg& msg) { return msg.to_dict(); });
    // Answers with a body in the "bytes/json" map form. A large body's map is
    // built in a buffer returned to us; the message's body is the library's
    // own copy, so once the message lets go of that map the buffer can go.
    m.def("reply_to", [](PyZorMsg& request, py::dict body) {
        std::unique_ptr<PyZorMsg> reply(new PyZorMsg());
        reply->setDestination(request.getDestination());
        reply->setAsReply(true);
        std::unique_ptr<char[]> heap(reply->from_dict(body, "bytes/json"));
        if (heap) reply->msg.releaseContainer();
        return reply.release();
    });
}
