// Small helpers shared by the container converters.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "core/vocabulary.h"
#include "zorclient.h"

// True when mainStr begins with toMatch (byte-wise, case-sensitive; an empty
// toMatch always matches).
inline bool startsWith(const std::string& mainStr, const std::string& toMatch) {
    return mainStr.size() >= toMatch.size() && std::memcmp(mainStr.data(), toMatch.data(), toMatch.size()) == 0;
}

// The "bytes" key rule without building strings, for the per-field hot
// paths (core/vocabulary.h holds the rule, the nesting limit and the other
// limits the converters share).
inline bool startsWithBytes(const char* name) { return isBytesKey(name); }

// The type code as stored. Records can come from anywhere (received content,
// native callers) and may hold codes the enumeration does not name; reading
// them through the enum type would be undefined.
inline uint32_t rawType(const zorClient_field_t& field) {
    uint32_t code;
    std::memcpy(&code, &field.type, sizeof code);
    return code;
}

// A nested map or stream: the field carries a container handle.
inline bool isContainerField(const zorClient_field_t& field) {
    const uint32_t code = rawType(field);
    return code == ZORCLIENT_MAP || code == ZORCLIENT_STREAM;
}

// Closes a nested container handle a walk handed out; null is none.
inline void closeNested(zorClient_opaqueContainer_pt handle) {
    if (handle != nullptr) zorClient_container_closeMapStream(&handle);
}
