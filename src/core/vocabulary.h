// The message vocabulary: the content types that name a body's encoding, the
// "bytes" key rule of map bodies, and the limits every layer shares. Plain
// C++, so the core, the converters, the binding, the test module and the fuzz
// targets all take them from here.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

// Content types, kept as the string field "ct" of the user property map.
constexpr const char* kContentTypeKey = "ct";
namespace ctype {
constexpr const char* kJson = "json";
constexpr const char* kApplicationJson = "application/json";
constexpr const char* kMsgpack = "msgpack";
constexpr const char* kBytesJson = "bytes/json";
constexpr const char* kSdt = "sdt";
}  // namespace ctype

// How a body is held, by its content type (compared exactly).
enum class BodyForm {
    Json,       // "json", "application/json": JSON text
    Msgpack,    // "msgpack": one MessagePack item
    BytesJson,  // "bytes/json": a map whose "bytes..." field holds JSON text
    Map,        // "" or "sdt": a library map, maybe with embedded JSON
    Other,      // anything else: no body the dictionary form reads
};

inline BodyForm bodyFormOf(const std::string& ct) {
    if (ct.empty() || ct == ctype::kSdt) return BodyForm::Map;
    if (ct == ctype::kJson || ct == ctype::kApplicationJson) return BodyForm::Json;
    if (ct == ctype::kMsgpack) return BodyForm::Msgpack;
    if (ct == ctype::kBytesJson) return BodyForm::BytesJson;
    return BodyForm::Other;
}

// Map fields whose name begins with "bytes" carry byte strings, and the first
// of them in a map body may hold the body's JSON text (byte-wise, case-sensitive).
constexpr const char* kBytesKeyPrefix = "bytes";
constexpr size_t kBytesKeyPrefixLen = 5;
inline bool isBytesKey(const char* name, size_t len) {
    return name != nullptr && len >= kBytesKeyPrefixLen && std::memcmp(name, kBytesKeyPrefix, kBytesKeyPrefixLen) == 0;
}
inline bool isBytesKey(const char* name) {
    return name != nullptr && std::strncmp(name, kBytesKeyPrefix, kBytesKeyPrefixLen) == 0;
}

// Room a map needs beyond the text of its one "bytes/json" field.
constexpr size_t kMapFieldSlack = 128;

// Deepest nesting of maps, streams and structured bodies followed, in either
// direction. Each level costs native stack (the encoders and converters
// recurse), so input from Python, from native callers or from the wire must
// not be able to recurse without bound; Python's own default recursion limit
// is of the same order.
constexpr int kMaxNestingDepth = 500;

// The library stores attachment and field lengths in 32 bits.
constexpr size_t kMaxAttachmentSize = 0xFFFFFFFFu;
