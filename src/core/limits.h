// Limits that the message core and the converters share.
#pragma once

#include <cstddef>
#include <cstdint>

// Deepest nesting of maps, streams and structured bodies followed, in either
// direction. Each level costs native stack (the encoders and converters
// recurse), so input from Python, from native callers or from the wire must
// not be able to recurse without bound; Python's own default recursion limit
// is of the same order.
constexpr int kMaxNestingDepth = 500;

// The library stores attachment lengths in 32 bits.
constexpr size_t kMaxAttachmentSize = 0xFFFFFFFFu;
