// The body codecs' stack guard: room for orjson and msgpack, checked before each call.
//
// Both packages recurse once per nesting level of the data (msgpack's decoder
// instead keeps a large fixed frame), and the data decides the depth: a
// received body is its sender's choice. A worker thread started with a small
// stack (threading.stack_size) must get RecursionError, not a signal. Where
// the stack left holds what the codec needs at its own deepest, a call costs
// one compare; only a thread short of that measures the data's depth, without
// recursion and without running Python code.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>

#include "internal/stack_room.h"

// What one codec needs of the C stack below the check: `base` for the call
// and its first levels, `perLevel` for each further level, up to `maxLevels`,
// past which the codec refuses the data by itself. The numbers are the
// largest measured on the pinned releases of each package on every CPython
// line, with a margin.
struct CodecStack {
    const char* package;
    size_t base;
    size_t perLevel;
    size_t maxLevels;
    size_t worst;  // base + perLevel * maxLevels, plus kCodecReserve: the one compare
};

// Room kept below the codec's own need for what runs inside it without a
// check of ours: an allocation's collection, a finalizer's first frames.
constexpr size_t kCodecReserve = size_t(8) << 10;

constexpr CodecStack codecStack(const char* package, size_t base, size_t perLevel, size_t maxLevels) {
    return {package, base, perLevel, maxLevels, base + perLevel * maxLevels + kCodecReserve};
}

// orjson.dumps: up to 319 bytes a level (orjson 3.10 and 3.11); refuses past 255 levels with its TypeError.
constexpr CodecStack kJsonEncodeStack = codecStack("orjson", size_t(6) << 10, 352, 256);
// msgpack.dumps: up to 432 bytes a level (msgpack 1.2); refuses past 512 (1.0, 1.1) or 1025 (1.2) levels.
constexpr CodecStack kMsgpackEncodeStack = codecStack("msgpack", size_t(8) << 10, 480, 1040);
// msgpack.loads: about 43 KiB at any depth (its decoding stack lives in its frame).
constexpr CodecStack kMsgpackDecodeStack = codecStack("msgpack", size_t(50) << 10, 0, 0);
// orjson.loads: up to 96 bytes a level; its own limit is learnt when the bridge binds (jsonDecodeStack()).
constexpr size_t kJsonDecodeBase = size_t(6) << 10;
constexpr size_t kJsonDecodePerLevel = 112;

// This thread's stack bounds for these checks: trivially destructible and
// constant-initialised, so reaching it costs no initialisation check.
inline StackRoom& codecStackRoom() {
    thread_local StackRoom room;
    return room;
}

// The main thread's stack, learnt when the bridge binds there (learnMainStack):
// a frame inside it needs no per-thread look-up, and that stack lives as long
// as the process. Empty until then.
struct MainStack {
    uintptr_t low = 0;
    uintptr_t size = 0;
};
extern MainStack g_mainStack;
void learnMainStack();

// Bytes of stack left below the caller's frame, as StackRoom::left().
__attribute__((always_inline)) inline size_t codecStackLeft() {
    volatile char here = 0;
    const uintptr_t offset = reinterpret_cast<uintptr_t>(&here) - g_mainStack.low;
    if (offset < g_mainStack.size) return offset;
    StackRoom& room = codecStackRoom();
    room.learn();
    return room.left();
}

namespace bodystack {
// The slow paths, for a thread `left` bytes short of the codec's worst case.
void checkValue(const CodecStack& codec, PyObject* value, size_t left);
void checkJsonText(const CodecStack& codec, PyObject* data, size_t left);
void checkFixed(const CodecStack& codec, size_t left);
}  // namespace bodystack

// orjson.loads' needs, with the limit learnt by learnJsonDecodeLimit().
const CodecStack& jsonDecodeStack();

// Learns from orjson's version ("3.10.15") whether its decoder refuses
// nesting past 1024 levels, as it does from 3.9.15 on; older releases have no
// limit, and then the length of the text bounds its depth. An unreadable
// version counts as an old one. Also learns the main thread's stack when
// called there. Call once, when binding.
void learnJsonDecodeLimit(const char* version);

// Each raises RecursionError (as pybind11::error_already_set) when this
// thread's stack is too short for the codec on that data; nothing else.
inline void checkEncodeRoom(const CodecStack& codec, PyObject* value) {
    const size_t left = codecStackLeft();
    if (left >= codec.worst) return;
    bodystack::checkValue(codec, value, left);
}

// `data`: bytes, a buffer (a view of the attachment) or str.
inline void checkJsonDecodeRoom(PyObject* data) {
    const size_t left = codecStackLeft();
    const CodecStack& codec = jsonDecodeStack();
    if (left >= codec.worst) return;
    bodystack::checkJsonText(codec, data, left);
}

inline void checkMsgpackDecodeRoom() {
    const size_t left = codecStackLeft();
    if (left >= kMsgpackDecodeStack.worst) return;
    bodystack::checkFixed(kMsgpackDecodeStack, left);
}
