// Per-thread record of the last failure.
#ifndef ZORCLIENT_SRC_ERRORS_H
#define ZORCLIENT_SRC_ERRORS_H

#include "zorclient.h"

namespace zc {

// Formats the failure text for the calling thread; returns ZORCLIENT_FAIL.
zorClient_returnCode_t fail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Records a constant text with `rc`; no formatting, so hot getters stay cheap.
zorClient_returnCode_t report(zorClient_returnCode_t rc, const char* text) noexcept;

}  // namespace zc

#endif
