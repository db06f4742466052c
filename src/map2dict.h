// Converts library containers and their fields into Python dicts and lists.
// Every function here creates Python objects: call with the GIL held.
//
// Nested handles. A walk of a container opens a library handle for each
// nested map or stream it hands out. The conversions close every such handle
// their own walks open, as soon as its contents are converted (also when the
// conversion fails part-way), so converting a body leaves no handle open but
// the ones it was given. Handles the caller passes in (a container, or a
// nested map or stream in a field record or field table) stay open and stay
// the caller's. The library hands out the same handle for the same nested
// container to every walk of its parent while that handle is open, so a
// handle a caller got from an earlier walk (zor2map, say) of a container is
// closed too when a conversion walks that container again: read such a
// table before converting its container another way. A nested map or stream
// in a field or table whose handle can no longer be read raises
// std::runtime_error; a top-level container that cannot be read (a message
// without a map body) reads as empty.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

#include "core/map_field.h"
#include "zorclient.h"

// The map's fields as zor2map would leave them in its table (byte-wise name
// order, of equal names the later one), without building the table: the
// fast path for whole bodies. Pure library work: needs no GIL. Throws
// std::runtime_error when the content is damaged. The handles of nested maps
// and streams among the fields are left open for mapFields2dict to convert
// and close: hand the list to it (dropping it instead leaves those handles
// open until the map goes).
void readMapFields(std::vector<MapField>& fields, zorClient_opaqueContainer_pt map_p);
// Adds one entry to dict per field, in order; the map must be unchanged since
// readMapFields. Closes the nested handles readMapFields left open, on every
// way out, so the list can be converted only once.
void mapFields2dict(pybind11::dict& dict, const std::vector<MapField>& fields);

// Adds one entry to dict per table entry, in table order. name is unused.
// The table's nested handles are the caller's and stay open.
void map2dict(pybind11::dict& dict, const char* name, std::map<std::string, zorClient_field_t>& vals);
// Adds at most one entry under field_name; a field type without conversion
// prints a diagnostic line instead. A byte array becomes bytes. A nested
// handle in field stays open.
void field2dict(pybind11::dict& dict, const char* field_name, zorClient_field_t& field);
// Adds the stream's elements as a new list under name.
void stream2dict(pybind11::dict& dict, const char* name, zorClient_opaqueContainer_pt container_p);
// Appends the field's value; a nested stream's elements are appended one by
// one. A nested handle in field stays open.
void field2list(pybind11::list& pylist, zorClient_field_t& field);
// Appends the stream's elements.
void stream2list(pybind11::list& pylist, zorClient_opaqueContainer_pt container_p);
