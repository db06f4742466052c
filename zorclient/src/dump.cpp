// Readable rendering of a message's header fields.
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "container.h"
#include "errors.h"
#include "message.h"
#include "zorclient.h"

using namespace zc;

namespace {

void appendf(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string& out, const char* fmt, ...) {
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n > 0) out.append(line, std::min<size_t>(static_cast<size_t>(n), sizeof line - 1));
}

const char* destTypeName(std::int32_t t) {
    switch (t) {
        case ZORCLIENT_TOPIC_DESTINATION: return "Topic";
        case ZORCLIENT_QUEUE_DESTINATION: return "Queue";
        case ZORCLIENT_TOPIC_TEMP_DESTINATION: return "Temporary Topic";
        case ZORCLIENT_QUEUE_TEMP_DESTINATION: return "Temporary Queue";
        default: return "Unknown";
    }
}

void appendDest(std::string& out, const char* label, const DestinationField& d) {
    if (d.set)
        appendf(out, "%s: %s '%s'\n", label, destTypeName(d.type), d.name.c_str());
    else
        appendf(out, "%s: (none)\n", label);
}

void appendText(std::string& out, const char* label, bool has, const std::string& text) {
    if (has) {
        out.append(label).append(": '").append(text).append("'\n");
    } else {
        appendf(out, "%s: (none)\n", label);
    }
}

void appendDeliveryMode(std::string& out, std::uint32_t mode) {
    switch (mode) {
        case ZORCLIENT_DELIVERY_MODE_DIRECT: out.append("Delivery Mode: DIRECT\n"); break;
        case ZORCLIENT_DELIVERY_MODE_PERSISTENT: out.append("Delivery Mode: PERSISTENT\n"); break;
        case ZORCLIENT_DELIVERY_MODE_NONPERSISTENT: out.append("Delivery Mode: NONPERSISTENT\n"); break;
        default: appendf(out, "Delivery Mode: 0x%" PRIx32 "\n", mode); break;
    }
}

void appendPropertyValue(std::string& out, const RawField& f) {
    const std::uint8_t* v = f.value;
    switch (f.type) {
        case ZORCLIENT_STRING:
            if (f.flags & kFlagNullString)
                out.append("string (null)");
            else
                out.append("string '").append(reinterpret_cast<const char*>(v)).append("'");
            break;
        case ZORCLIENT_BOOL: appendf(out, "bool %u", v[0]); break;
        case ZORCLIENT_UINT8: appendf(out, "uint8 %u", v[0]); break;
        case ZORCLIENT_INT8: appendf(out, "int8 %d", static_cast<std::int8_t>(v[0])); break;
        case ZORCLIENT_UINT16: appendf(out, "uint16 %u", load<std::uint16_t>(v)); break;
        case ZORCLIENT_INT16: appendf(out, "int16 %d", load<std::int16_t>(v)); break;
        case ZORCLIENT_UINT32: appendf(out, "uint32 %" PRIu32, load<std::uint32_t>(v)); break;
        case ZORCLIENT_INT32: appendf(out, "int32 %" PRId32, load<std::int32_t>(v)); break;
        case ZORCLIENT_UINT64: appendf(out, "uint64 %" PRIu64, load<std::uint64_t>(v)); break;
        case ZORCLIENT_INT64: appendf(out, "int64 %" PRId64, load<std::int64_t>(v)); break;
        case ZORCLIENT_WCHAR: appendf(out, "wchar %" PRIu32, load<std::uint32_t>(v)); break;
        case ZORCLIENT_FLOAT: appendf(out, "float %g", static_cast<double>(load<float>(v))); break;
        case ZORCLIENT_DOUBLE: appendf(out, "double %g", load<double>(v)); break;
        case ZORCLIENT_NULL: out.append("null"); break;
        default: appendf(out, "type %d, %u bytes", f.type, f.valueLen); break;
    }
}

void appendUserProperties(std::string& out, const Message& m) {
    Container* c = findContainer(toOpaque(m.userProps));
    if (!c) {
        out.append("User Property Map: (none)\n");
        return;
    }
    View v;
    if (const char* err = c->view(v)) {
        appendf(out, "User Property Map: unreadable (%s)\n", err);
        return;
    }
    out.append("User Property Map:\n");
    RawField f;
    for (std::uint32_t pos = kContainerHeader; pos < v.n; pos += f.size) {
        if (const char* err = parseField(v.p, v.n, pos, true, f)) {
            appendf(out, "  (corrupt: %s)\n", err);
            return;
        }
        out.append("  ").append(f.name).append(": ");
        appendPropertyValue(out, f);
        out.append("\n");
    }
}

}  // namespace

extern "C" zorClient_returnCode_t zorClient_msg_dump(zorClient_opaqueMsg_pt msg_p, char* buffer, size_t bufSize) {
    Message* m = findMessage(msg_p);
    if (!m) return report(ZORCLIENT_FAIL, "invalid message handle (null, freed or unknown)");
    if (!buffer || bufSize == 0) return fail("no room for the dump");
    try {
        std::string out;
        appendDest(out, "Destination", m->dest);
        appendDest(out, "Reply To", m->replyTo);
        appendDeliveryMode(out, m->deliveryMode);
        appendf(out, "Reply Message: %s\n", m->reply ? "yes" : "no");
        appendf(out, "Eliding Eligible: %s\n", m->eliding ? "yes" : "no");
        appendf(out, "Deliver To One: %s\n", m->toOne ? "yes" : "no");
        appendText(out, "Correlation Id", m->hasCorrId, m->corrId);
        appendText(out, "HTTP Content Type", m->hasHttpContentType, m->httpContentType);
        appendUserProperties(out, *m);
        appendf(out, "Binary Attachment: len=%zu%s\n", m->body.size(), m->bodyIsMap ? " (map)" : "");
        const size_t n = std::min(out.size(), bufSize - 1);
        std::memcpy(buffer, out.data(), n);
        buffer[n] = '\0';
    } catch (const std::bad_alloc&) {
        return fail("out of memory rendering the message");
    }
    return ZORCLIENT_OK;
}
