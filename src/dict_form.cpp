// The dictionary form of a message: to_dict and from_dict, whatever the body's encoding.
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "body_bridge.h"
#include "body_view.h"
#include "core/scope_exit.h"
#include "dict2container.h"
#include "internal/bytes_item.h"
#include "internal/content_type_write.h"
#include "internal/gil.h"
#include "internal/pyref.h"
#include "internal/refusal.h"
#include "internal/scratch.h"
#include "internal/write_checks.h"
#include "map2dict.h"
#include "pyzormsg.h"

namespace py = pybind11;

namespace {

// Maps up to this size are built in a buffer the message owns; larger ones in
// a heap buffer that goes to the caller.
constexpr size_t kSmallMapBuffer = 32768;

// Marks the message as being converted for the life of the guard. A
// conversion holds pointers into the body while Python code runs (any
// allocation may run a finalizer or switch threads), so a second conversion
// or a body change meanwhile would have it read freed or foreign memory.
class Converting {
public:
    explicit Converting(ZorMsg& msg) : scope_(claim(msg)) {}

private:
    static ConversionMark& claim(ZorMsg& msg) {
        if (msg.converting)
            throw std::runtime_error(
                "ZorMsg: the message is already being converted (to_dict/from_dict); one conversion at a time");
        return msg.converting;
    }
    ConversionScope scope_;
};

// The embedded JSON text of a map body read as `d`: the value of the first
// item whose key begins with "bytes", when that value is text (a str as it
// is, bytes decoded as UTF-8). Null when there is no such item or its value
// is no text (a number field named "bytesReceived", say): the map is then
// its own body. The keys are the str map2dict made of the field names.
py::object firstBytesText(const py::dict& d) {
    std::string spare;  // unused: the keys map2dict makes are str that encode
    PyObject* value = firstBytesItem(d.ptr(), spare).value;
    if (value == nullptr) return py::object();
    if (PyUnicode_Check(value)) return py::reinterpret_borrow<py::object>(value);
    if (PyBytes_Check(value))
        return stealOrThrow(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value), nullptr));
    return py::object();
}

}  // namespace

py::dict PyZorMsg::to_dict() {
    BodyBridge& bridge = bodyBridge();
    Converting converting(msg);
    py::dict result;
    // The body's fields, read straight into a list kept per thread (taken
    // out while in use, for Python code that runs meanwhile and converts
    // another body) instead of a table with a node and a name copy per field.
    std::vector<MapField> fields;
    std::vector<MapField>& kept = conversionScratch().bodyFields;
    fields.swap(kept);
    ScopeExit giveBack([&] {
        if (fields.capacity() <= kKeptFields && fields.capacity() > kept.capacity()) kept.swap(fields);
    });

    GilRelease nogil;
    const BodyForm form = bodyFormOf(msg.getContentType());
    if (form == BodyForm::BytesJson || form == BodyForm::Map) {
        readMapFields(fields, msg.getBinaryAttachmentMap());
        nogil.reacquire();
        mapFields2dict(result, fields);
        py::object text = firstBytesText(result);
        if (!text && form == BodyForm::BytesJson) {
            // No "bytes" text: the empty text, whose decoding error says so.
            text = stealOrThrow(PyUnicode_FromStringAndSize("", 0));
        }
        if (text) result = bridge.loadJsonText(text);
    } else if (form == BodyForm::Json) {
        nogil.reacquire();
        result = bridge.decodeJson(bodySource(*this));
    } else if (form == BodyForm::Msgpack) {
        nogil.reacquire();
        result = bridge.decodeMsgpack(bodySource(*this));
    }
    return result;
}

char* PyZorMsg::from_dict(py::dict d, std::string format) {
    BodyBridge& bridge = bodyBridge();
    Converting converting(msg);
    checkNoNul(format, "format");
    if (format != ctype::kJson && format != ctype::kMsgpack && format != ctype::kBytesJson) {
        msg.setContentType(format);  // no body to write: like the content_type setter
        return nullptr;
    }
    checkBodyUnviewed(msg);
    // A refused write leaves content type and body as they were.
    const ContentTypeWrite announced(msg, format.c_str(), "from_dict", nullptr, ContentTypeWrite::kAnnounceIfAbandoned);
    if (format == ctype::kJson || format == ctype::kMsgpack) {
        py::object encoded = format == ctype::kJson ? bridge.encodeJson(d) : bridge.encodeMsgpack(d);
        checkBodyStillWritable(msg, &announced.undo(), true);  // the encoder ran Python code
        bridge.writeBody(msg, encoded, format.c_str(), &announced.undo(), "from_dict");
        return nullptr;
    }

    py::object encoded = bridge.dumpJson(d);
    if (!PyBytes_Check(encoded.ptr())) throw std::runtime_error("Unable to extract bytes contents!");
    checkBodyStillWritable(msg, &announced.undo(), true);  // the encoder ran Python code
    const std::string json_str(PyBytes_AS_STRING(encoded.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr())));

    // Every write builds a fresh map holding only the new field: adding to a
    // map kept from an earlier write would carry that payload on the wire.
    msg.releaseContainer();
    const size_t buffsize = json_str.size() + kMapFieldSlack;
    std::unique_ptr<char[]> heap;
    std::unique_ptr<char[]> small;
    zorClient_returnCode_t rc;
    {
        // Only the map is built without the GIL: it lives in a buffer of its
        // own, so Python threads reading this message meanwhile touch nothing
        // that changes. The message itself changes below, with the GIL held.
        GilRelease nogil;
        char* buff;
        if (buffsize > kSmallMapBuffer) {
            heap.reset(new char[buffsize]);
            buff = heap.get();
        } else {
            // Zero-filled, and only as large as the map: the library never
            // touches the buffer past `buffsize`, and the message keeps it for
            // as long as it keeps the map.
            small = std::make_unique<char[]>(buffsize);
            buff = small.get();
        }
        rc = msg.createContainerMap(buff, buffsize);
        if (rc == ZORCLIENT_OK) rc = msg.addContainerString(buff, buffsize, ctype::kBytesJson, json_str);
    }
    // The small buffer goes to the message, to live exactly as long as the map.
    if (small && msg.container_p != nullptr) msg.adoptContainerBuffer(std::move(small));
    if (rc == ZORCLIENT_OK && msg.body_views != 0) {
        // Another thread took a view while the GIL was released.
        msg.releaseContainer();
        checkBodyStillWritable(msg, &announced.undo(), true);
    }
    if (rc == ZORCLIENT_OK) rc = msg.attachmentContainerMap();
    if (rc == ZORCLIENT_OK) rc = announced.commit();
    if (rc != ZORCLIENT_OK) {
        const zorClient_errorInfo_t refusal = *zorClient_getLastErrorInfo();
        // Nothing may keep pointing into a buffer about to be freed.
        msg.releaseContainer();
        announced.refused(refusal);
    }
    return heap.release();
}
