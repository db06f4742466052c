// Arbitrary bytes as the map body of a received message, read the two ways
// native code reads it: the field table plus map2dict, and the dictionary
// form (to_dict) under the content types that read map bodies.
//
// Failures the converters report (bad UTF-8, a JSON text orjson rejects, ...)
// are exceptions and fine; a crash, a sanitizer report or a library handle
// left open is not.
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <string>

#include "core/vocabulary.h"
#include "fuzz_python.h"
#include "map2dict.h"
#include "pyzormsg.h"
#include "zor2map.h"
#include "zorclient_testing.h"

namespace py = pybind11;

namespace {

void fuzzOnce(const uint8_t* data, size_t size, const char* contentType) {
    PyZorMsg msg;
    if (msg.ptr() == nullptr) std::abort();
    zorClient_testing_msg_setMapAttachment(msg.ptr(), data, static_cast<zorClient_uint32_t>(size));
    msg.setContentType(contentType);
    try {
        std::map<std::string, zorClient_field_t> table;
        zor2map(table, msg.msg.getBinaryAttachmentMap());
        py::dict d;
        map2dict(d, nullptr, table);
    } catch (const std::exception&) {}
    try {
        py::dict d = msg.to_dict();
    } catch (const std::exception&) {}
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    startPython();
    bindBodyBridge();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxAttachmentSize) return 0;
    const unsigned msgs = zorClient_testing_liveMsgs();
    const unsigned containers = zorClient_testing_liveContainers();
    fuzzOnce(data, size, "");
    fuzzOnce(data, size, ctype::kBytesJson);
    if (zorClient_testing_liveMsgs() != msgs || zorClient_testing_liveContainers() != containers) {
        std::fprintf(stderr, "library handles leaked: msgs %u -> %u, containers %u -> %u\n", msgs,
                     zorClient_testing_liveMsgs(), containers, zorClient_testing_liveContainers());
        std::abort();
    }
    return 0;
}
