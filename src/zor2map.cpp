#include "zor2map.h"

#include <stdexcept>

int zor2map(std::map<std::string, zorClient_field_t>& vals, zorClient_opaqueContainer_pt container_p) {
    const char* field_name = nullptr;
    // A handle that denotes no readable container (a message without a map
    // body) reads as empty.
    if (zorClient_container_rewind(container_p) != ZORCLIENT_OK) return static_cast<int>(vals.size());

    zorClient_field_t field;
    zorClient_returnCode_t rc;
    while ((rc = zorClient_container_getNextField(container_p, &field, sizeof(field), &field_name)) ==
           ZORCLIENT_OK) {
        const char* name = field_name ? field_name : "";
        // Maps are often written in name order: then the new entry goes last
        // without a search.
        if (vals.empty() || vals.rbegin()->first.compare(name) < 0) {
            vals.emplace_hint(vals.end(), name, field);
        } else {
            vals.insert_or_assign(std::string(name), field);
        }
    }
    // Anything but the normal end means the content is damaged: a partial
    // table would pass for the whole body.
    if (rc != ZORCLIENT_EOS) {
        throw std::runtime_error(std::string("zor2map: cannot read the map container: ") +
                                 zorClient_getLastErrorInfo()->errorStr);
    }
    return static_cast<int>(vals.size());
}
