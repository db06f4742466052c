// Converts library containers and their fields into Python dicts and lists.
// Every function here creates Python objects: call with the GIL held.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

#include "zorclient.h"

// One field of a map as a walk hands it out; the name points into the map.
struct MapField {
    const char* name;
    zorClient_field_t field;
};

// The map's fields as zor2map would leave them in its table (byte-wise name
// order, of equal names the later one), without building the table: the
// fast path for whole bodies. Pure library work: needs no GIL. Throws
// std::runtime_error when the content is damaged.
void readMapFields(std::vector<MapField>& fields, zorClient_opaqueContainer_pt map_p);
// Adds one entry to dict per field, in order; the map must be unchanged since
// readMapFields.
void mapFields2dict(pybind11::dict& dict, const std::vector<MapField>& fields);

// Adds one entry to dict per table entry, in table order. name is unused.
void map2dict(pybind11::dict& dict, const char* name, std::map<std::string, zorClient_field_t>& vals);
// Adds at most one entry under field_name; a field type without conversion
// prints a diagnostic line instead.
void field2dict(pybind11::dict& dict, const char* field_name, zorClient_field_t& field);
// Adds the stream's elements as a new list under name.
void stream2dict(pybind11::dict& dict, const char* name, zorClient_opaqueContainer_pt container_p);
// Appends the field's value; a nested stream's elements are appended one by one.
void field2list(pybind11::list& pylist, zorClient_field_t& field);
// Appends the stream's elements.
void stream2list(pybind11::list& pylist, zorClient_opaqueContainer_pt container_p);
