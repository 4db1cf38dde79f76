#include "cluster/lab_wide.hpp"

#include <zelm/cluster.hpp>

namespace zelm::detail {

LabWideQuery lab_wide_query_of(DeviceManager const& manager) noexcept {
    return plugin_capabilities_of(manager).is_lab_wide;
}

bool marks_lab_wide(LabWideQuery query, DeviceManager& manager, std::string const& compact_description) noexcept {
    return query != nullptr && query(&manager, compact_description.c_str()) != 0;
}

std::string owner_key_of(std::string const& manager_path, std::string const& compact_description) {
    return std::string(cluster::owners_prefix) + manager_path + "/" + compact_description;
}

}  // namespace zelm::detail
