// Reads a library map container into an ordered table of its fields.
#pragma once

#include <map>
#include <string>

#include "zorclient.h"

// Fills vals with every field of the map container, keyed by name (byte-wise
// order; a later field of the same name replaces an earlier one). Nested
// containers are stored as open handles, not read: they are the caller's
// (map2dict leaves them open; they live until closed or until the map goes).
// A nested handle this walk opened and then replaced by a later field of the
// same name is closed again. On an error the table keeps what was read.
// Returns the table's size. Makes no Python call, so it may run with the GIL
// released.
int zor2map(std::map<std::string, zorClient_field_t>& vals, zorClient_opaqueContainer_pt container_p);
