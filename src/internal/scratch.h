// Working memory that conversions on this thread keep between calls, so a
// conversion costs no allocation once it has grown: one object per thread.
// A call takes what it uses out of the pool and owns it until it gives it
// back, so no two live calls share a part, whatever order they end in: a
// conversion that Python code re-enters on the same thread (a finalizer
// converting another message), or greenlets switching inside conversions.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "core/map_field.h"
#include "internal/stack_room.h"

// What a call leaves kept for the next one; more is released, so one odd
// message does not pin memory for good: the nesting levels with scratch of
// their own (read lists, working areas), and the entries a kept field list
// may hold (the body's and each nested map's).
constexpr size_t kKeptLevels = 16;
constexpr size_t kKeptFields = 4096;

// A working area in which dict2container builds one nested container.
struct WriteArea {
    std::unique_ptr<char[]> buf;
    size_t size = 0;
};

struct WriteAreas {
    std::vector<WriteArea> free;  // areas no build holds now
    int calls = 0;                // public entry points running now
    bool oversized = false;       // something to trim when the last call ends
    size_t iterations = 0;        // iterators of other sequences run: when Python code may have run
};

struct ConversionScratch {
    // to_dict: the fields of the body's map.
    std::vector<MapField> bodyFields;
    // map2dict: read lists of nested maps, one per nesting level.
    std::vector<std::vector<MapField>> mapLevels;
    // map2dict: nesting depth of the read running now, bounded by
    // kMaxNestingDepth because received content decides it.
    int readDepth = 0;
    // dict2container: working areas of nested containers.
    WriteAreas areas;
    // The converters' stack check: this thread's bounds, learnt by the
    // first conversion that checks.
    StackRoom stack;
};

// This thread's scratch.
inline ConversionScratch& conversionScratch() {
    thread_local ConversionScratch scratch;
    return scratch;
}
