// Reads a library map container into an ordered table of its fields.
#pragma once

#include <map>
#include <string>

#include "zorclient.h"

// Fills vals with every field of the map container, keyed by name (byte-wise
// order; a later field of the same name replaces an earlier one). Nested
// containers are stored as handles, not read. Returns the table's size.
// Makes no Python call, so it may run with the GIL released.
int zor2map(std::map<std::string, zorClient_field_t>& vals, zorClient_opaqueContainer_pt container_p);
