// Texts the converters' errors share: how a field is named, and the nesting
// errors of both directions.
#pragma once

#include <cstddef>
#include <string>

// No cut: the whole name is shown.
constexpr size_t kWholeName = static_cast<size_t>(-1);

// "field 'x'" for the name name[0..len), its first `shown` bytes only (then
// "...'" marks the cut). When the text shown is no UTF-8, or holds a NUL, its
// bytes from 0x80 up and NULs are escaped as \xNN, so the message can become
// a Python str.
std::string fieldLabel(const char* name, size_t len, size_t shown = kWholeName);
// The same for a NUL-terminated name; `unnamed` when name is null.
std::string fieldLabel(const char* name, const char* unnamed, size_t shown = kWholeName);

// RecursionError "<what> nested deeper than <limit> levels <at> <field>",
// the field labelled as fieldLabel(name, unnamed, shown) does. Plain pointers, so
// the hot frames that call it build nothing.
[[noreturn]] __attribute__((cold)) void raiseTooDeep(const char* what, const char* at, const char* name,
                                                     const char* unnamed, size_t shown = kWholeName);
// RecursionError "<what> nested <depth> levels deep <at> <field> need more
// stack than this thread has left": a thread started with a small stack_size
// runs out before the nesting limit, a clean error instead of a crash.
[[noreturn]] __attribute__((cold)) void raiseNoStack(const char* what, int depth, const char* at, const char* name,
                                                     const char* unnamed, size_t shown = kWholeName);
