// Byte layout of maps and streams (little-endian, unaligned, read with memcpy).
//
//   container: kind ('M' map, 'S' stream), 3 reserved bytes, uint32 total
//              length (header included), then the fields back to back.
//   field:     int8 type, uint8 flags, uint16 name length with its NUL (0 when
//              unnamed), uint32 value length, name bytes, value bytes.
//
// Values: fixed-size numbers as stored; strings with their NUL (flag bit 0 and
// no bytes for a null string); byte arrays and smf as given; a nested map or
// stream as its complete container encoding; a destination as int32 type and
// the NUL-terminated name; null without bytes.
#ifndef ZORCLIENT_SRC_ENCODING_H
#define ZORCLIENT_SRC_ENCODING_H

#include <cstdint>
#include <cstring>

#include "zorclient.h"

namespace zc {

constexpr std::uint32_t kContainerHeader = 8;
constexpr std::uint32_t kFieldHeader = 8;
constexpr std::uint8_t kFlagNullString = 0x01;
constexpr char kMapKind = 'M';
constexpr char kStreamKind = 'S';

static_assert(kContainerHeader == ZORCLIENT_CONTAINER_HEADER_SIZE, "header size is published");
static_assert(kFieldHeader == ZORCLIENT_FIELD_HEADER_SIZE, "field header size is published");

template <typename T>
inline T load(const std::uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename T>
inline void store(std::uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

inline void writeHeader(std::uint8_t* p, char kind, std::uint32_t total) {
    p[0] = static_cast<std::uint8_t>(kind);
    p[1] = p[2] = p[3] = 0;
    store<std::uint32_t>(p + 4, total);
}

// Checks the container header at `p` against the `avail` bytes there.
// Returns null and sets `total` and `kind`, or returns the reason it is unusable.
const char* checkHeader(const std::uint8_t* p, std::uint64_t avail, std::uint32_t& total, char& kind);

// One field as found in the bytes; pointers point into the container.
struct RawField {
    int type = ZORCLIENT_UNKNOWN;  // ZORCLIENT_UNKNOWN for a type code this library does not know
    std::uint8_t flags = 0;
    const char* name = nullptr;  // null when unnamed
    const std::uint8_t* value = nullptr;
    std::uint32_t valueLen = 0;
    std::uint32_t valueOffset = 0;  // from the container's first byte
    std::uint32_t size = 0;         // bytes of the whole field
};

// Reads and checks the field at `pos` of the container `c` of `total` bytes
// (pos < total). `named` demands a name (maps). Nested containers are checked
// only as far as their header. Returns null on success, else the reason.
const char* parseField(const std::uint8_t* c, std::uint32_t total, std::uint32_t pos, bool named, RawField& f);

// Bytes needed by a field with a name of `nameLen` bytes (NUL included) and a
// value of `valueLen` bytes.
inline std::uint64_t fieldSize(std::uint64_t nameLen, std::uint64_t valueLen) {
    return kFieldHeader + nameLen + valueLen;
}

// Writes one field at `p`; the value is the two pieces one after the other.
void writeField(std::uint8_t* p, int type, std::uint8_t flags, const char* name, std::uint16_t nameLen, const void* v1,
                std::uint32_t l1, const void* v2, std::uint32_t l2);

}  // namespace zc

#endif
