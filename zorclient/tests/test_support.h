// Helpers shared by the client library tests. Tests in StandIn... suites check
// the stand-in itself (its test controls, encoding, dump text); the others are
// the contract zormsg relies on from any client library.
#ifndef ZORCLIENT_TESTS_TEST_SUPPORT_H
#define ZORCLIENT_TESTS_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "zorclient.h"
#include "zorclient_testing.h"

namespace zctest {

inline std::string lastError() { return zorClient_getLastErrorInfo()->errorStr; }

// Clears the error text so a test can see that a call wrote one.
inline void clearError() { zorClient_getLastErrorInfo()->errorStr[0] = '\0'; }

// Frees its message on scope exit.
class Msg {
public:
    Msg() { EXPECT_EQ(zorClient_msg_alloc(&h), ZORCLIENT_OK); }
    ~Msg() {
        if (h) zorClient_msg_free(&h);
    }
    Msg(const Msg&) = delete;
    Msg& operator=(const Msg&) = delete;
    zorClient_opaqueMsg_pt h = nullptr;
};

struct Field {
    std::string name;
    zorClient_field_t f;
};

// Rewinds and walks a container; `rc` gets the code that ended the walk.
inline std::vector<Field> walk(zorClient_opaqueContainer_pt c, zorClient_returnCode_t* rc = nullptr) {
    std::vector<Field> out;
    zorClient_container_rewind(c);
    zorClient_field_t f;
    const char* name = nullptr;
    zorClient_returnCode_t r;
    while ((r = zorClient_container_getNextField(c, &f, sizeof f, &name)) == ZORCLIENT_OK)
        out.push_back({name ? name : "", f});
    if (rc) *rc = r;
    return out;
}

// Encodes a container by hand, for received content.
class Bytes {
public:
    explicit Bytes(char kind) : b{static_cast<std::uint8_t>(kind), 0, 0, 0, 0, 0, 0, 0} {}
    Bytes& field(int type, const std::string& name, const std::vector<std::uint8_t>& value, std::uint8_t flags = 0) {
        b.push_back(static_cast<std::uint8_t>(type));
        b.push_back(flags);
        const std::uint16_t nl = name.empty() ? 0 : static_cast<std::uint16_t>(name.size() + 1);
        put16(nl);
        put32(static_cast<std::uint32_t>(value.size()));
        if (nl) b.insert(b.end(), name.c_str(), name.c_str() + nl);
        b.insert(b.end(), value.begin(), value.end());
        return *this;
    }
    // Sets the header's total length to the bytes so far.
    Bytes& seal() {
        const auto n = static_cast<std::uint32_t>(b.size());
        std::memcpy(&b[4], &n, 4);
        return *this;
    }
    void put16(std::uint16_t v) {
        b.insert(b.end(), reinterpret_cast<std::uint8_t*>(&v), reinterpret_cast<std::uint8_t*>(&v) + 2);
    }
    void put32(std::uint32_t v) {
        b.insert(b.end(), reinterpret_cast<std::uint8_t*>(&v), reinterpret_cast<std::uint8_t*>(&v) + 4);
    }
    std::vector<std::uint8_t> b;
};

inline std::vector<std::uint8_t> text(const std::string& s) {
    return std::vector<std::uint8_t>(s.c_str(), s.c_str() + s.size() + 1);
}

}  // namespace zctest

#endif
