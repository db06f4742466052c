// Byte layout of the stand-in's maps and streams: writing and parsing fields.
#include "encoding.h"

namespace zc {

const char* checkHeader(const std::uint8_t* p, std::uint64_t avail, std::uint32_t& total, char& kind) {
    if (p == nullptr || avail < kContainerHeader) return "container shorter than its header";
    const char k = static_cast<char>(p[0]);
    if (k != kMapKind && k != kStreamKind) return "unknown container kind";
    const std::uint32_t t = load<std::uint32_t>(p + 4);
    if (t < kContainerHeader) return "container length smaller than its header";
    if (t > avail) return "container length exceeds its bytes";
    total = t;
    kind = k;
    return nullptr;
}

namespace {

// Expected value length of fixed-size types; 0 for variable-size types.
std::uint32_t fixedSize(int type) {
    switch (type) {
        case ZORCLIENT_BOOL:
        case ZORCLIENT_UINT8:
        case ZORCLIENT_INT8: return 1;
        case ZORCLIENT_UINT16:
        case ZORCLIENT_INT16: return 2;
        case ZORCLIENT_UINT32:
        case ZORCLIENT_INT32:
        case ZORCLIENT_WCHAR:
        case ZORCLIENT_FLOAT: return 4;
        case ZORCLIENT_UINT64:
        case ZORCLIENT_INT64:
        case ZORCLIENT_DOUBLE: return 8;
        default: return 0;
    }
}

}  // namespace

const char* parseField(const std::uint8_t* c, std::uint32_t total, std::uint32_t pos, bool named, RawField& f) {
    if (pos >= total || total - pos < kFieldHeader) return "field header runs past the end of the container";
    const std::uint8_t* h = c + pos;
    // The type byte is a signed code (-1 for unknown), in two's complement.
    const int type = h[0] >= 0x80 ? static_cast<int>(h[0]) - 0x100 : static_cast<int>(h[0]);
    const std::uint8_t flags = h[1];
    const std::uint16_t nameLen = load<std::uint16_t>(h + 2);
    const std::uint32_t valueLen = load<std::uint32_t>(h + 4);
    const std::uint64_t end = std::uint64_t{pos} + fieldSize(nameLen, valueLen);
    if (end > total) return "field runs past the end of the container";

    const char* name = nullptr;
    if (named) {
        if (nameLen == 0) return "map field without a name";
        if (h[kFieldHeader + nameLen - 1] != 0) return "field name not NUL-terminated";
        name = reinterpret_cast<const char*>(h + kFieldHeader);
    }
    const std::uint8_t* value = h + kFieldHeader + nameLen;

    if ((flags & kFlagNullString) && type != ZORCLIENT_STRING) return "null flag on a field that is not a string";
    if (const std::uint32_t want = fixedSize(type)) {
        if (valueLen != want) return "fixed-size value of the wrong length";
    }
    switch (type) {
        case ZORCLIENT_STRING:
            if (flags & kFlagNullString) {
                if (valueLen != 0) return "null string with value bytes";
            } else if (valueLen == 0 || value[valueLen - 1] != 0) {
                return "string value not NUL-terminated";
            }
            break;
        case ZORCLIENT_DESTINATION:
            if (valueLen < sizeof(std::int32_t) + 1 || value[valueLen - 1] != 0) return "destination value malformed";
            // Walks hand the type out as the enum: only its values may pass.
            if (const std::int32_t dt = load<std::int32_t>(value);
                dt < ZORCLIENT_NULL_DESTINATION || dt > ZORCLIENT_QUEUE_TEMP_DESTINATION)
                return "destination type out of range";
            break;
        case ZORCLIENT_NULL:
            if (valueLen != 0) return "null field with value bytes";
            break;
        case ZORCLIENT_MAP:
        case ZORCLIENT_STREAM: {
            std::uint32_t nestedTotal = 0;
            char kind = 0;
            if (const char* err = checkHeader(value, valueLen, nestedTotal, kind)) return err;
            if (nestedTotal != valueLen) return "nested container length differs from its field";
            if (kind != (type == ZORCLIENT_MAP ? kMapKind : kStreamKind))
                return "nested container kind differs from its field type";
            break;
        }
        default: break;
    }

    f.type = (type >= ZORCLIENT_BOOL && type <= ZORCLIENT_SMF) ? type : ZORCLIENT_UNKNOWN;
    f.flags = flags;
    f.name = name;
    f.value = value;
    f.valueLen = valueLen;
    f.valueOffset = static_cast<std::uint32_t>(value - c);
    f.size = static_cast<std::uint32_t>(end - pos);
    return nullptr;
}

void writeField(std::uint8_t* p, int type, std::uint8_t flags, const char* name, std::uint16_t nameLen, const void* v1,
                std::uint32_t l1, const void* v2, std::uint32_t l2) {
    p[0] = static_cast<std::uint8_t>(static_cast<std::int8_t>(type));
    p[1] = flags;
    store<std::uint16_t>(p + 2, nameLen);
    store<std::uint32_t>(p + 4, l1 + l2);
    std::uint8_t* q = p + kFieldHeader;
    if (nameLen) {
        std::memcpy(q, name, nameLen - 1u);
        q[nameLen - 1u] = 0;
        q += nameLen;
    }
    if (l1) std::memcpy(q, v1, l1);
    if (l2) std::memcpy(q + l1, v2, l2);
}

}  // namespace zc
