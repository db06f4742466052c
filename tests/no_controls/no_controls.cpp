// Linked into the GoogleTest binaries when the client library has no test
// controls (tests/CMakeLists.txt). The stand-in tests are still registered:
// ctest runs them with ZORMSG_STANDIN_SKIP set to the reason, and such a run
// ends before any test with that reason and exit code 77, which ctest reports
// as skipped. A control called from any other test fails that test, naming
// the control: that test needs the stand-in, and its suite's name must say so
// (StandIn..., see tests/CMakeLists.txt).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "zorclient_testing.h"

namespace {

const bool kStandInSkipped = [] {
    if (const char* why = std::getenv("ZORMSG_STANDIN_SKIP")) {
        std::printf("Skipped: %s\n", why);
        std::exit(77);
    }
    return false;
}();

[[noreturn]] void missing(const char* control) {
    const std::string text = std::string(control) +
                             " is a test control of the stand-in, and the client library built in has none: "
                             "this test needs the stand-in: name its suite StandIn...";
    ADD_FAILURE() << text;
    throw std::logic_error(text);
}

}  // namespace

extern "C" {

void zorClient_testing_failAllocs(unsigned) { missing("zorClient_testing_failAllocs"); }

void zorClient_testing_failCopies(zorClient_testing_copy_t, unsigned) { missing("zorClient_testing_failCopies"); }

unsigned zorClient_testing_liveMsgs(void) { missing("zorClient_testing_liveMsgs"); }

unsigned zorClient_testing_liveContainers(void) { missing("zorClient_testing_liveContainers"); }

zorClient_returnCode_t zorClient_testing_msg_setMapAttachment(zorClient_opaqueMsg_pt, const void*, zorClient_uint32_t) {
    missing("zorClient_testing_msg_setMapAttachment");
}

zorClient_returnCode_t zorClient_msg_setHttpContentType(zorClient_opaqueMsg_pt, const char*) {
    missing("zorClient_msg_setHttpContentType");
}

}  // extern "C"
