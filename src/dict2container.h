// Writes Python dicts and sequences into library containers.
// Every function here reads Python objects: call with the GIL held.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>

#include <pybind11/pybind11.h>

#include "zorclient.h"

// Adds one field per item of d to the open map container_p (str keys as
// UTF-8, bytes keys as they are). Nested dicts become map fields, sequences
// stream fields; each Python value, and each element of a sequence, is read
// once. Raises ValueError (std::length_error) naming the field when
// container_p has no room for it (nested containers grow as needed),
// RecursionError beyond the nesting limit, and ValueError for a key, or a str
// value, that holds a NUL character (container names and text end at the
// first NUL). Fields written before an error stay in container_p.
void dict2container(zorClient_opaqueContainer_pt container_p, pybind11::dict d);
// str/bytes, bool, int, float as one field; a value of no supported kind
// prints "Key: <key> value type not support". key is null in a stream.
// Text is a string field; bytes holding a NUL become a byte-array field.
void value2container(zorClient_opaqueContainer_pt container_p, const char* key, pybind11::handle value);
// A sequence (not str/bytes) as a nested stream field; anything else: nothing.
void list2container(zorClient_opaqueContainer_pt container_p, const char* key, pybind11::handle value);
// A dict as a nested map field; anything else: nothing.
void subdict2container(zorClient_opaqueContainer_pt container_p, const char* key, pybind11::handle value);
// The first item whose key begins with "bytes": (value length + 128, key,
// value), or (0, "", "") when there is none.
std::tuple<uint64_t, std::string, std::string> getBytesString(pybind11::dict d);
