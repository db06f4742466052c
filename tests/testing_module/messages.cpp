// Messages as native code sees them: adopting library handles, making
// messages as they arrive from other clients, and the dictionary form.
#include <zorclient.h>
#if ZORMSG_TEST_CONTROLS
#include <zorclient_testing.h>
#endif

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "dict2container.h"
#include "pyzormsg.h"
#include "testing.h"
#include "unbound.h"

namespace py = pybind11;

namespace {

// The heap buffer from_dict hands to its caller. The message keeps it alive
// (keep_alive), so it is deleted only after the message has closed the map
// built in it.
class HeapBuffer {
public:
    explicit HeapBuffer(char* p) : p_(p) {}
    ~HeapBuffer() { delete[] p_; }
    HeapBuffer(const HeapBuffer&) = delete;
    HeapBuffer& operator=(const HeapBuffer&) = delete;
    py::bytes read(size_t n) const { return py::bytes(p_, n); }

private:
    char* p_;
};

// A message whose body is a library map written from `d`, as another client
// would send it. The map is built in a local buffer: the message copies it.
PyZorMsg* receivedMapMessage(py::dict d, py::object content_type, py::object http_content_type, size_t size) {
    std::unique_ptr<char[]> buff(new char[size]);
    zorClient_opaqueContainer_pt map_p = nullptr;
    check(zorClient_container_createMap(&map_p, buff.get(), size), "createMap");
    try {
        dict2container(map_p, d);
    } catch (...) {
        zorClient_container_closeMapStream(&map_p);
        throw;
    }
    zorClient_opaqueMsg_pt msg_p = nullptr;
    check(zorClient_msg_alloc(&msg_p), "alloc");
    std::unique_ptr<PyZorMsg> msg(new PyZorMsg(msg_p));
    check(zorClient_msg_setBinaryAttachmentContainer(msg_p, map_p), "setBinaryAttachmentContainer");
    zorClient_container_closeMapStream(&map_p);
    if (!content_type.is_none()) msg->msg.setContentType(content_type.cast<std::string>());
    if (!http_content_type.is_none()) {
#if ZORMSG_TEST_CONTROLS
        check(zorClient_msg_setHttpContentType(msg_p, http_content_type.cast<std::string>().c_str()),
              "setHttpContentType");
#else
        throw std::runtime_error("http_content_type needs the client library's test controls");
#endif
    }
    return msg.release();
}

}  // namespace

namespace {

py::object unboundToDict(PyObject* const* args, Py_ssize_t nargs) {
    unbound::expect("unbound_to_dict", nargs, 1);
    return py::cast<PyZorMsg&>(py::handle(args[0])).to_dict();
}

py::object unboundFromDict(PyObject* const* args, Py_ssize_t nargs) {
    unbound::expect("unbound_from_dict", nargs, 3);
    PyZorMsg& msg = py::cast<PyZorMsg&>(py::handle(args[0]));
    if (!PyDict_Check(args[1])) throw py::type_error("unbound_from_dict: d must be a dict");
    char* heap = msg.from_dict(py::reinterpret_borrow<py::dict>(args[1]), py::cast<std::string>(py::handle(args[2])));
    if (heap == nullptr) return py::none();
    py::object buffer = py::cast(new HeapBuffer(heap), py::return_value_policy::take_ownership);
    py::detail::keep_alive_impl(py::handle(args[0]), buffer);  // lives as long as the message
    return buffer;
}

}  // namespace

void registerMessageTesting(py::module_& m) {
    py::class_<HeapBuffer>(m, "HeapBuffer").def("read", &HeapBuffer::read);

#if ZORMSG_TEST_CONTROLS
    m.def("live_msgs", &zorClient_testing_liveMsgs);
    m.def("live_containers", &zorClient_testing_liveContainers);
    m.def("fail_allocs", &zorClient_testing_failAllocs);
    // The next n copies of `what` ("body", "properties" or "destination")
    // into a message fail as out of memory.
    m.def("fail_copies", [](const std::string& what, unsigned n) {
        const std::pair<const char*, zorClient_testing_copy_t> kinds[] = {
            {"body", ZORCLIENT_TESTING_COPY_BODY},
            {"properties", ZORCLIENT_TESTING_COPY_USER_PROPERTIES},
            {"destination", ZORCLIENT_TESTING_COPY_DESTINATION},
        };
        for (const auto& kind : kinds) {
            if (what == kind.first) return zorClient_testing_failCopies(kind.second, n);
        }
        throw py::value_error("fail_copies: \"body\", \"properties\" or \"destination\"");
    });
#endif

    // A library message allocated here and adopted: the second module hands a
    // PyZorMsg to Python, which sees a zormsg.ZorMsg.
    m.def("adopt_new", []() {
        zorClient_opaqueMsg_pt msg_p = nullptr;
        check(zorClient_msg_alloc(&msg_p), "alloc");
        return new PyZorMsg(msg_p);
    });
    m.def("adopt_null", []() { return new PyZorMsg(static_cast<zorClient_opaqueMsg_pt>(nullptr)); });
    // Moves the message's handles into a new object; the source keeps none.
    m.def("move_out", [](PyZorMsg& src) { return new PyZorMsg(src.msg); });
    m.def("has_handle", [](PyZorMsg& msg) { return msg.ptr() != nullptr; });
    m.def("has_container", [](PyZorMsg& msg) { return msg.msg.container_p != nullptr; });
    // The library's own dump, straight from it: what repr must give.
    m.def("library_dump", [](PyZorMsg& msg) {
        std::string buffer(4096, '\0');
        check(zorClient_msg_dump(msg.ptr(), &buffer[0], buffer.size()), "zorClient_msg_dump");
        return py::str(buffer.c_str());
    });

    // Native-only members reached for tests.
    m.def("set_correlation_id", [](PyZorMsg& msg, std::string id) { msg.setCorrlationId(std::move(id)); });
    m.def("get_correlation_id", [](PyZorMsg& msg) { return msg.getCorrlationId(); });
    m.def("set_deliver_to_one", [](PyZorMsg& msg, bool on) { msg.setDeliveryToOne(on); });
    // Any number as the delivery mode, as a received message may carry one
    // that DeliveryMode() refuses.
    m.def("set_delivery_mode_value", [](PyZorMsg& msg, uint32_t mode) {
        check(zorClient_msg_setDeliveryMode(msg.ptr(), mode), "setDeliveryMode");
    });
    m.def("is_deliver_to_one", [](PyZorMsg& msg) { return zorClient_msg_isDeliverToOne(msg.ptr()) != 0; });
    m.def("json_body_message", [](std::string topic, std::string json_text, std::string format) {
        return new PyZorMsg(std::move(topic), json::parse(json_text), std::move(format));
    });
    m.def("native_json_body", [](PyZorMsg& msg) { return msg.msg.getJsonBody().dump(); });

    // Received-style messages.
    m.def("received_map_message", &receivedMapMessage, py::arg("d"), py::arg("content_type") = py::none(),
          py::arg("http_content_type") = py::none(), py::arg("size") = 1 << 20);
#if ZORMSG_TEST_CONTROLS
    m.def("set_http_content_type", [](PyZorMsg& msg, std::string text) {
        check(zorClient_msg_setHttpContentType(msg.ptr(), text.c_str()), "setHttpContentType");
    });
    m.def("set_map_attachment", [](PyZorMsg& msg, py::bytes raw) {
        // A received body replaces the old one: like every body change, not
        // while a conversion reads the message.
        if (msg.msg.converting)
            throw std::runtime_error("ZorMsg: the body cannot change while the message is being converted");
        msg.msg.releaseContainer();
        std::string s = raw;
        check(zorClient_testing_msg_setMapAttachment(msg.ptr(), s.data(), static_cast<zorClient_uint32_t>(s.size())),
              "setMapAttachment");
    });
#endif

    // The dictionary form, and the same without the binding's dispatcher.
    m.def("to_dict", [](PyZorMsg& msg) { return msg.to_dict(); });
    unbound::def<unboundToDict>(m, "unbound_to_dict", "to_dict(msg) called directly.");
    unbound::def<unboundFromDict>(m, "unbound_from_dict", "from_dict(msg, d, format) called directly.");
    m.def(
        "from_dict",
        [](PyZorMsg& msg, py::dict d, std::string format) -> py::object {
            char* heap = msg.from_dict(std::move(d), std::move(format));
            if (heap == nullptr) return py::none();
            return py::cast(new HeapBuffer(heap), py::return_value_policy::take_ownership);
        },
        py::keep_alive<1, 0>());
}
