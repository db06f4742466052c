// Building maps and streams: create, add, close.
#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "container.h"
#include "errors.h"
#include "message.h"
#include "zorclient.h"

using namespace zc;

namespace {

constexpr const char* kBadContainer = "invalid container handle (null, closed or unknown)";
constexpr std::uint64_t kMaxLen = std::numeric_limits<std::uint32_t>::max();

zorClient_returnCode_t create(zorClient_opaqueContainer_pt* h_p, char* buffer, size_t size, char kind) {
    if (!h_p) return fail("null address for the container handle");
    if (!buffer) return fail("null container buffer");
    if (size < kContainerHeader) return fail("buffer of %zu bytes too small for a container", size);
    std::unique_ptr<Container> c(new (std::nothrow) Container(Role::Created, kind));
    if (!c) return fail("out of memory for a container handle");
    c->ext = reinterpret_cast<std::uint8_t*>(buffer);
    c->cap = static_cast<std::uint32_t>(std::min<std::uint64_t>(size, kMaxLen));
    c->used = kContainerHeader;
    const Handle h = registerContainer(std::move(c));
    if (h == 0) return ZORCLIENT_FAIL;
    writeHeader(reinterpret_cast<std::uint8_t*>(buffer), kind, kContainerHeader);
    *h_p = toOpaque(h);
    return ZORCLIENT_OK;
}

// True when [p, p + n) shares a byte with the container's own bytes.
bool overlapsOwn(const Container& c, const void* p, std::uint64_t n) {
    if (p == nullptr || n == 0 || c.own.empty()) return false;
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    const auto b = reinterpret_cast<std::uintptr_t>(c.own.data());
    return a < b + c.own.size() && b < a + n;
}

// The user property map keeps one field per name: the fields of that name are
// removed, then the new field is appended. Usually done in place, so setting
// the same property again costs no allocation; a name or value that points
// into the map's own bytes makes it rebuild into new bytes instead.
zorClient_returnCode_t addReplacing(Container& c, int type, std::uint8_t flags, const char* name, std::uint16_t nameLen,
                                    const void* v1, std::uint32_t l1, const void* v2, std::uint32_t l2) {
    if (takeRefusal(gFailPropertyCopies)) return fail("out of memory growing the user property map (test control)");
    View v;
    if (const char* err = c.view(v)) return fail("user property map unreadable: %s", err);
    const std::uint64_t added = fieldSize(nameLen, std::uint64_t{l1} + l2);
    // One checking pass first, so a corrupt map is left as it was.
    std::uint32_t removedBytes = 0, removedBeforeCursor = 0, firstRemoved = 0;
    for (std::uint32_t pos = kContainerHeader; pos < v.n;) {
        RawField f;
        if (const char* err = parseField(v.p, v.n, pos, true, f)) return fail("user property map corrupt: %s", err);
        if (std::strcmp(f.name, name) == 0) {
            if (removedBytes == 0) firstRemoved = pos;
            removedBytes += f.size;
            if (pos < c.cursor) removedBeforeCursor += f.size;
        }
        pos += f.size;
    }
    const std::uint64_t total = v.n - removedBytes + added;
    if (total > kMaxLen) return fail("user property map would exceed %llu bytes", (unsigned long long)kMaxLen);
    const bool removed = removedBytes != 0;

    if (overlapsOwn(c, name, nameLen) || overlapsOwn(c, v1, l1) || overlapsOwn(c, v2, l2)) {
        std::vector<std::uint8_t> next;
        try {
            next.reserve(total);
            next.resize(kContainerHeader);
            for (std::uint32_t pos = kContainerHeader; pos < v.n;) {
                RawField f;
                parseField(v.p, v.n, pos, true, f);  // checked above
                if (std::strcmp(f.name, name) != 0) next.insert(next.end(), v.p + pos, v.p + pos + f.size);
                pos += f.size;
            }
            const std::size_t at = next.size();
            next.resize(total);
            writeField(next.data() + at, type, flags, name, nameLen, v1, l1, v2, l2);
        } catch (const std::bad_alloc&) {
            return fail("out of memory growing the user property map");
        }
        c.own.swap(next);
    } else {
        try {
            if (c.own.capacity() < total) c.own.reserve(std::max<std::uint64_t>(total, 2 * c.own.capacity()));
        } catch (const std::bad_alloc&) {
            return fail("out of memory growing the user property map");
        }
        std::uint8_t* base = c.own.data();
        std::uint32_t out = kContainerHeader;
        if (removed && firstRemoved + removedBytes == v.n) {
            out = firstRemoved;  // only the last field goes, as when a property is set again
        } else if (removed) {
            for (std::uint32_t pos = kContainerHeader; pos < v.n;) {
                RawField f;
                parseField(base, v.n, pos, true, f);  // checked above
                if (std::strcmp(f.name, name) != 0) {
                    if (out != pos) std::memmove(base + out, base + pos, f.size);
                    out += f.size;
                }
                pos += f.size;
            }
        } else {
            out = v.n;
        }
        c.own.resize(total);  // within capacity: cannot throw
        writeField(c.own.data() + out, type, flags, name, nameLen, v1, l1, v2, l2);
    }
    writeHeader(c.own.data(), kMapKind, static_cast<std::uint32_t>(total));
    // Offsets moved: nested handles handed out before would read other bytes.
    if (removed) releaseNested(c);
    c.used = static_cast<std::uint32_t>(c.own.size());
    c.cursor -= removedBeforeCursor;
    return ZORCLIENT_OK;
}

zorClient_returnCode_t add(zorClient_opaqueContainer_pt h, int type, std::uint8_t flags, const char* name,
                           const void* v1, std::uint64_t l1, const void* v2 = nullptr, std::uint64_t l2 = 0) {
    Container* c = findContainer(h);
    if (!c) return report(ZORCLIENT_FAIL, kBadContainer);
    if (!c->writable()) return fail("container is read-only");
    std::uint64_t nameLen = 0;
    if (c->isMap()) {
        if (!name) return fail("a map field needs a name");
        nameLen = std::strlen(name) + 1;
        if (nameLen > std::numeric_limits<std::uint16_t>::max())
            return fail("field name longer than %u bytes", std::numeric_limits<std::uint16_t>::max() - 1u);
    }
    if (l1 + l2 > kMaxLen) return fail("field value longer than %llu bytes", (unsigned long long)kMaxLen);
    const auto nl = static_cast<std::uint16_t>(nameLen);
    const auto s1 = static_cast<std::uint32_t>(l1), s2 = static_cast<std::uint32_t>(l2);
    if (c->role == Role::UserProps) return addReplacing(*c, type, flags, name, nl, v1, s1, v2, s2);

    const std::uint64_t need = fieldSize(nameLen, l1 + l2);
    if (c->used + need > c->cap)
        return fail("field of %llu bytes does not fit: %u of %u bytes free", (unsigned long long)need, c->cap - c->used,
                    c->cap);
    writeField(c->ext + c->used, type, flags, name, nl, v1, s1, v2, s2);
    c->used += static_cast<std::uint32_t>(need);
    writeHeader(c->ext, c->kind, c->used);
    return ZORCLIENT_OK;
}

template <typename T>
zorClient_returnCode_t addValue(zorClient_opaqueContainer_pt h, int type, T value, const char* name) {
    return add(h, type, 0, name, &value, sizeof value);
}

}  // namespace

extern "C" {

zorClient_returnCode_t zorClient_container_createMap(zorClient_opaqueContainer_pt* map_p, char* buffer, size_t size) {
    return create(map_p, buffer, size, kMapKind);
}

zorClient_returnCode_t zorClient_container_createStream(zorClient_opaqueContainer_pt* stream_p, char* buffer,
                                                        size_t size) {
    return create(stream_p, buffer, size, kStreamKind);
}

zorClient_returnCode_t zorClient_container_closeMapStream(zorClient_opaqueContainer_pt* container_p) {
    if (!container_p) return fail("null address for the container handle");
    Container* c = findContainer(*container_p);
    if (!c) return report(ZORCLIENT_FAIL, kBadContainer);
    // The user property map belongs to its message: only the caller's copy of
    // the handle goes away. Nothing else reads or writes the caller's buffer,
    // which may already be gone.
    if (c->role != Role::UserProps) releaseContainer(c);
    *container_p = nullptr;
    return ZORCLIENT_OK;
}

zorClient_returnCode_t zorClient_container_addBoolean(zorClient_opaqueContainer_pt c, zorClient_bool_t v,
                                                      const char* name) {
    return addValue(c, ZORCLIENT_BOOL, v, name);
}
zorClient_returnCode_t zorClient_container_addUint8(zorClient_opaqueContainer_pt c, zorClient_uint8_t v,
                                                    const char* name) {
    return addValue(c, ZORCLIENT_UINT8, v, name);
}
zorClient_returnCode_t zorClient_container_addInt8(zorClient_opaqueContainer_pt c, zorClient_int8_t v,
                                                   const char* name) {
    return addValue(c, ZORCLIENT_INT8, v, name);
}
zorClient_returnCode_t zorClient_container_addUint16(zorClient_opaqueContainer_pt c, zorClient_uint16_t v,
                                                     const char* name) {
    return addValue(c, ZORCLIENT_UINT16, v, name);
}
zorClient_returnCode_t zorClient_container_addInt16(zorClient_opaqueContainer_pt c, zorClient_int16_t v,
                                                    const char* name) {
    return addValue(c, ZORCLIENT_INT16, v, name);
}
zorClient_returnCode_t zorClient_container_addUint32(zorClient_opaqueContainer_pt c, zorClient_uint32_t v,
                                                     const char* name) {
    return addValue(c, ZORCLIENT_UINT32, v, name);
}
zorClient_returnCode_t zorClient_container_addInt32(zorClient_opaqueContainer_pt c, zorClient_int32_t v,
                                                    const char* name) {
    return addValue(c, ZORCLIENT_INT32, v, name);
}
zorClient_returnCode_t zorClient_container_addUint64(zorClient_opaqueContainer_pt c, zorClient_uint64_t v,
                                                     const char* name) {
    return addValue(c, ZORCLIENT_UINT64, v, name);
}
zorClient_returnCode_t zorClient_container_addInt64(zorClient_opaqueContainer_pt c, zorClient_int64_t v,
                                                    const char* name) {
    return addValue(c, ZORCLIENT_INT64, v, name);
}
zorClient_returnCode_t zorClient_container_addWchar(zorClient_opaqueContainer_pt c, zorClient_wchar_t v,
                                                    const char* name) {
    return addValue(c, ZORCLIENT_WCHAR, v, name);
}
zorClient_returnCode_t zorClient_container_addFloat(zorClient_opaqueContainer_pt c, float v, const char* name) {
    return addValue(c, ZORCLIENT_FLOAT, v, name);
}
zorClient_returnCode_t zorClient_container_addDouble(zorClient_opaqueContainer_pt c, double v, const char* name) {
    return addValue(c, ZORCLIENT_DOUBLE, v, name);
}

zorClient_returnCode_t zorClient_container_addString(zorClient_opaqueContainer_pt c, const char* value,
                                                     const char* name) {
    if (!value) return add(c, ZORCLIENT_STRING, kFlagNullString, name, nullptr, 0);
    return add(c, ZORCLIENT_STRING, 0, name, value, std::strlen(value) + 1);
}

zorClient_returnCode_t zorClient_container_addByteArray(zorClient_opaqueContainer_pt c, const zorClient_uint8_t* value,
                                                        zorClient_uint32_t length, const char* name) {
    if (!value && length > 0) return fail("null byte array with length %u", length);
    return add(c, ZORCLIENT_BYTEARRAY, 0, name, value, length);
}

zorClient_returnCode_t zorClient_container_addSmf(zorClient_opaqueContainer_pt c, const zorClient_uint8_t* value,
                                                  zorClient_uint32_t length, const char* name) {
    if (!value && length > 0) return fail("null smf data with length %u", length);
    return add(c, ZORCLIENT_SMF, 0, name, value, length);
}

zorClient_returnCode_t zorClient_container_addNull(zorClient_opaqueContainer_pt c, const char* name) {
    return add(c, ZORCLIENT_NULL, 0, name, nullptr, 0);
}

zorClient_returnCode_t zorClient_container_addDestination(zorClient_opaqueContainer_pt c,
                                                          const zorClient_destination_t* value, const char* name) {
    if (!value || !value->dest) return fail("null destination");
    // Read as a plain int (see zorClient_msg_setDestination), and keep the
    // encoded type within the enum so that a walk hands back a valid one.
    std::int32_t type;
    std::memcpy(&type, &value->destType, sizeof type);
    if (type < ZORCLIENT_NULL_DESTINATION || type > ZORCLIENT_QUEUE_TEMP_DESTINATION)
        return fail("invalid destination type %d", static_cast<int>(type));
    return add(c, ZORCLIENT_DESTINATION, 0, name, &type, sizeof type, value->dest, std::strlen(value->dest) + 1);
}

zorClient_returnCode_t zorClient_container_addContainer(zorClient_opaqueContainer_pt c,
                                                        zorClient_opaqueContainer_pt sub_p, const char* name) {
    Container* sub = findContainer(sub_p);
    if (!sub) return fail("invalid nested container handle (null, closed or unknown)");
    View v;
    if (const char* err = sub->view(v)) return fail("nested container unreadable: %s", err);
    return add(c, sub->isMap() ? ZORCLIENT_MAP : ZORCLIENT_STREAM, 0, name, v.p, v.n);
}

}  // extern "C"
