// Small helpers shared by the container converters.
#pragma once

#include <cstring>
#include <string>

// True when mainStr begins with toMatch (byte-wise, case-sensitive; an empty
// toMatch always matches).
inline bool startsWith(std::string mainStr, std::string toMatch) {
    return mainStr.size() >= toMatch.size() &&
           std::memcmp(mainStr.data(), toMatch.data(), toMatch.size()) == 0;
}

// Same test without building strings, for the per-field hot paths.
inline bool startsWithBytes(const char* name) {
    return name != nullptr && std::strncmp(name, "bytes", 5) == 0;
}

// Deepest nesting of maps and streams the converters follow, in either
// direction. Each level costs native stack, so input from Python or from the
// wire must not be able to recurse without bound; Python's own default
// recursion limit is of the same order.
constexpr int kMaxNestingDepth = 500;
