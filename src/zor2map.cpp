// zor2map: a library map read into a field table.
#include "zor2map.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "utils.h"

int zor2map(std::map<std::string, zorClient_field_t>& vals, zorClient_opaqueContainer_pt container_p) {
    const char* field_name = nullptr;
    // A handle that denotes no readable container (a message without a map
    // body) reads as empty.
    if (zorClient_container_rewind(container_p) != ZORCLIENT_OK) return static_cast<int>(vals.size());

    // Nested handles the caller put in the table before: never closed here.
    std::vector<zorClient_opaqueContainer_pt> callers;
    for (auto& entry : vals) {
        if (isContainerField(entry.second)) callers.push_back(entry.second.value.map);
    }
    std::sort(callers.begin(), callers.end());

    zorClient_field_t field;
    zorClient_returnCode_t rc;
    while ((rc = zorClient_container_getNextField(container_p, &field, sizeof(field), &field_name)) == ZORCLIENT_OK) {
        const char* name = field_name ? field_name : "";
        // Maps are often written in name order: then the new entry goes last
        // without a search.
        if (vals.empty() || vals.rbegin()->first.compare(name) < 0) {
            vals.emplace_hint(vals.end(), name, field);
            continue;
        }
        auto placed = vals.try_emplace(std::string(name), field);
        if (placed.second) continue;
        const zorClient_field_t replaced = placed.first->second;
        placed.first->second = field;
        // Nobody could reach the replaced handle any more.
        if (isContainerField(replaced) && replaced.value.map != field.value.map &&
            !std::binary_search(callers.begin(), callers.end(), replaced.value.map)) {
            closeNested(replaced.value.map);
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
