// The per-thread record of the stand-in's last failure.
#include "errors.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {
thread_local zorClient_errorInfo_t tlsError = {ZORCLIENT_OK, 0, {0}};
}

extern "C" zorClient_errorInfo_pt zorClient_getLastErrorInfo(void) { return &tlsError; }

namespace zc {

zorClient_returnCode_t fail(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(tlsError.errorStr, sizeof tlsError.errorStr, fmt, ap);
    va_end(ap);
    if (n < 0) tlsError.errorStr[0] = '\0';
    tlsError.sdkReturnCode = ZORCLIENT_FAIL;
    tlsError.subCode = 0;
    return ZORCLIENT_FAIL;
}

zorClient_returnCode_t report(zorClient_returnCode_t rc, const char* text) noexcept {
    size_t n = strnlen(text, sizeof tlsError.errorStr - 1);
    std::memcpy(tlsError.errorStr, text, n);
    tlsError.errorStr[n] = '\0';
    tlsError.sdkReturnCode = rc;
    tlsError.subCode = 0;
    return rc;
}

}  // namespace zc
