// MapField: one field of a library map as a walk hands it out, its name pointing into the map.
#pragma once

#include <zorclient.h>

struct MapField {
    const char* name;
    zorClient_field_t field;
};
