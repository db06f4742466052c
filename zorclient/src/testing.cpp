// Controls for tests: refused allocations, live counts, received map bodies.
// The counters always exist (the library keeps them up to date); the calls
// that reach them are left out of a library built without test controls.
#include <atomic>
#include <new>

#include "container.h"
#include "errors.h"
#include "message.h"
#include "zorclient_testing.h"

namespace zc {
std::atomic<unsigned> gFailAllocs{0};
std::atomic<unsigned> gFailBodyCopies{0};
std::atomic<unsigned> gFailPropertyCopies{0};
std::atomic<unsigned> gFailDestinationCopies{0};
std::atomic<unsigned> gLiveMessages{0};
std::atomic<unsigned> gLiveContainers{0};
}  // namespace zc

#ifndef ZORCLIENT_NO_TEST_CONTROLS
using namespace zc;

extern "C" {

void zorClient_testing_failAllocs(unsigned n) { gFailAllocs.store(n, std::memory_order_relaxed); }

void zorClient_testing_failCopies(zorClient_testing_copy_t what, unsigned n) {
    switch (what) {
        case ZORCLIENT_TESTING_COPY_BODY: gFailBodyCopies.store(n, std::memory_order_relaxed); break;
        case ZORCLIENT_TESTING_COPY_USER_PROPERTIES: gFailPropertyCopies.store(n, std::memory_order_relaxed); break;
        case ZORCLIENT_TESTING_COPY_DESTINATION: gFailDestinationCopies.store(n, std::memory_order_relaxed); break;
    }
}

unsigned zorClient_testing_liveMsgs(void) { return gLiveMessages.load(std::memory_order_relaxed); }

unsigned zorClient_testing_liveContainers(void) { return gLiveContainers.load(std::memory_order_relaxed); }

zorClient_returnCode_t zorClient_testing_msg_setMapAttachment(zorClient_opaqueMsg_pt msg_p, const void* data,
                                                              zorClient_uint32_t size) {
    Message* m = findMessage(msg_p);
    if (!m) return report(ZORCLIENT_FAIL, "invalid message handle (null, freed or unknown)");
    if (!data && size > 0) return fail("null map attachment with size %u", size);
    try {
        const auto* p = static_cast<const std::uint8_t*>(data);
        std::vector<std::uint8_t> bytes(p, p + size);
        replaceBody(*m, std::move(bytes), true);
    } catch (const std::bad_alloc&) {
        return fail("out of memory for a map attachment of %u bytes", size);
    }
    return ZORCLIENT_OK;
}

}  // extern "C"
#endif  // ZORCLIENT_NO_TEST_CONTROLS
