// The library's message record.
#ifndef ZORCLIENT_SRC_MESSAGE_H
#define ZORCLIENT_SRC_MESSAGE_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "registry.h"
#include "zorclient.h"

namespace zc {

struct DestinationField {
    bool set = false;
    std::int32_t type = 0;
    std::string name;
};

class Message {
public:
    Handle handle = 0;
    DestinationField dest;
    DestinationField replyTo;
    std::uint32_t deliveryMode = ZORCLIENT_DELIVERY_MODE_DIRECT;
    bool reply = false;
    bool eliding = false;
    bool toOne = false;
    bool hasCorrId = false;
    std::string corrId;
    bool hasHttpContentType = false;
    std::string httpContentType;

    std::vector<std::uint8_t> body;  // empty = no body
    bool bodyIsMap = false;          // body bytes are an encoded map
    Handle bodyMap = 0;              // handle handed out for the map body, 0 when none
    Handle userProps = 0;            // the user property map, 0 until created
};

// Test control: the number of message allocations still to refuse.
extern std::atomic<unsigned> gFailAllocs;
// Test control: the number of body copies, user property writes and
// destination names still to refuse as out of memory.
extern std::atomic<unsigned> gFailBodyCopies;
extern std::atomic<unsigned> gFailPropertyCopies;
extern std::atomic<unsigned> gFailDestinationCopies;

// Takes one refusal from a test-control counter; false when none is left.
inline bool takeRefusal(std::atomic<unsigned>& left) noexcept {
    unsigned n = left.load(std::memory_order_relaxed);
    while (n > 0) {
        if (left.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) return true;
    }
    return false;
}

// Makes `bytes` the body (empty = none), invalidating handles to the old one.
void replaceBody(Message& m, std::vector<std::uint8_t>&& bytes, bool isMap);

// Makes a copy of the n bytes at p the body (n == 0: none), reusing the
// body's storage when it fits; p may point into the current body. Throws
// std::bad_alloc and then leaves the body as it was.
void assignBody(Message& m, const std::uint8_t* p, std::uint32_t n, bool isMap);
// Storage beyond twice the new body's size that a message may keep.
constexpr std::size_t kKeptBodySlack = 4096;

// The live message behind `h`, or null.
inline Message* findMessage(const void* h) noexcept {
    return static_cast<Message*>(messageRegistry().find(reinterpret_cast<Handle>(h)));
}

}  // namespace zc

#endif
