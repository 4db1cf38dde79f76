// The holder of an occupied scan result.
#include "occupied_owner.hpp"

#include <zelm/cluster.hpp>
#include <zelm/owner.hpp>

#include <exception>

namespace zelm::tool {

std::optional<DeviceOwner> occupied_owner(DeviceOccupied const& occupied,
                                          std::optional<std::filesystem::path> const& manager_path) {
    if (auto const lab_owner = cluster::scanned_lab_owner(occupied)) {
        return lab_holder(*lab_owner);
    }
    if (!manager_path) {
        return std::nullopt;
    }
    try {
        return local_holder(find_device_owner(*manager_path, occupied.description));
    } catch (std::exception const&) {
        return std::nullopt;  // a description that is not JSON names no lock
    }
}

}  // namespace zelm::tool
