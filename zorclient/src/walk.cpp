// Reading containers: rewind, getNextField, getStringPtr.
#include <cstring>

#include "container.h"
#include "errors.h"
#include "zorclient.h"

using namespace zc;

namespace {

constexpr const char* kBadContainer = "invalid container handle (null, closed or unknown)";

// Fills `out` from a checked field; nested containers get their read handle.
bool toField(Container& c, const RawField& f, zorClient_field_t& out) {
    std::memset(&out, 0, sizeof out);
    out.type = static_cast<zorClient_fieldType_t>(f.type);
    out.length = f.valueLen;
    const std::uint8_t* v = f.value;
    switch (f.type) {
        case ZORCLIENT_BOOL: out.value.boolean = v[0]; break;
        case ZORCLIENT_UINT8: out.value.uint8 = v[0]; break;
        case ZORCLIENT_INT8: out.value.int8 = static_cast<std::int8_t>(v[0]); break;
        case ZORCLIENT_UINT16: out.value.uint16 = load<std::uint16_t>(v); break;
        case ZORCLIENT_INT16: out.value.int16 = load<std::int16_t>(v); break;
        case ZORCLIENT_UINT32: out.value.uint32 = load<std::uint32_t>(v); break;
        case ZORCLIENT_INT32: out.value.int32 = load<std::int32_t>(v); break;
        case ZORCLIENT_UINT64: out.value.uint64 = load<std::uint64_t>(v); break;
        case ZORCLIENT_INT64: out.value.int64 = load<std::int64_t>(v); break;
        case ZORCLIENT_WCHAR: out.value.wchar = load<std::uint32_t>(v); break;
        case ZORCLIENT_FLOAT: out.value.float32 = load<float>(v); break;
        case ZORCLIENT_DOUBLE: out.value.float64 = load<double>(v); break;
        case ZORCLIENT_STRING:
            out.value.string = (f.flags & kFlagNullString) ? nullptr : reinterpret_cast<const char*>(v);
            break;
        case ZORCLIENT_BYTEARRAY: out.value.bytearray = f.valueLen ? v : nullptr; break;
        case ZORCLIENT_SMF: out.value.smf = f.valueLen ? v : nullptr; break;
        case ZORCLIENT_DESTINATION:
            out.value.dest.destType = static_cast<zorClient_destinationType_t>(load<std::int32_t>(v));
            out.value.dest.dest = reinterpret_cast<const char*>(v + sizeof(std::int32_t));
            break;
        case ZORCLIENT_MAP:
        case ZORCLIENT_STREAM: {
            const char kind = f.type == ZORCLIENT_MAP ? kMapKind : kStreamKind;
            Container* n = nestedHandle(c, f.value, f.valueOffset, f.valueLen, kind);
            if (!n) return false;
            if (f.type == ZORCLIENT_MAP)
                out.value.map = toOpaque(n->handle);
            else
                out.value.stream = toOpaque(n->handle);
            break;
        }
        default: break;  // null and unknown types carry no value
    }
    return true;
}

}  // namespace

extern "C" {

zorClient_returnCode_t zorClient_container_rewind(zorClient_opaqueContainer_pt container_p) {
    Container* c = findContainer(container_p);
    if (!c) return report(ZORCLIENT_FAIL, kBadContainer);
    c->cursor = kContainerHeader;
    return ZORCLIENT_OK;
}

zorClient_returnCode_t zorClient_container_getNextField(zorClient_opaqueContainer_pt container_p,
                                                        zorClient_field_t* field_p, size_t fieldSize,
                                                        const char** name_p) {
    Container* c = findContainer(container_p);
    if (!c) return report(ZORCLIENT_FAIL, kBadContainer);
    if (!field_p) return fail("null field record");
    if (fieldSize < sizeof(zorClient_field_t))
        return fail("field record size %zu smaller than %zu", fieldSize, sizeof(zorClient_field_t));
    View v;
    if (const char* err = c->view(v)) return fail("container unreadable: %s", err);
    if (c->cursor < kContainerHeader) c->cursor = kContainerHeader;
    if (c->cursor >= v.n) return ZORCLIENT_EOS;
    RawField f;
    if (const char* err = parseField(v.p, v.n, c->cursor, c->isMap(), f))
        return fail("corrupt field at offset %u: %s", c->cursor, err);
    zorClient_field_t out;
    if (!toField(*c, f, out)) return ZORCLIENT_FAIL;
    std::memcpy(field_p, &out, sizeof out);
    if (name_p) *name_p = f.name;
    c->cursor += f.size;
    return ZORCLIENT_OK;
}

zorClient_returnCode_t zorClient_container_getStringPtr(zorClient_opaqueContainer_pt map_p, const char** value_p,
                                                        const char* name) {
    Container* c = findContainer(map_p);
    if (!c) return report(ZORCLIENT_FAIL, kBadContainer);
    if (!value_p) return fail("null address for the text");
    if (!name) return fail("null field name");
    if (!c->isMap()) return fail("fields of a stream have no names");
    View v;
    if (const char* err = c->view(v)) return fail("container unreadable: %s", err);
    const RawField* found = nullptr;
    RawField f, last;
    for (std::uint32_t pos = kContainerHeader; pos < v.n; pos += f.size) {
        if (const char* err = parseField(v.p, v.n, pos, true, f))
            return fail("corrupt field at offset %u: %s", pos, err);
        if (f.type == ZORCLIENT_STRING && std::strcmp(f.name, name) == 0) {
            last = f;
            found = &last;
        }
    }
    if (!found) return report(ZORCLIENT_NOT_FOUND, "no string field of that name");
    *value_p = (found->flags & kFlagNullString) ? nullptr : reinterpret_cast<const char*>(found->value);
    return ZORCLIENT_OK;
}

}  // extern "C"
