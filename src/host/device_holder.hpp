// Holder look-ups that the library's own host functions share.
#pragma once

#include <zelm/cluster.hpp>
#include <zelm/holder.hpp>

#include <optional>
#include <string>

namespace zelm::detail {

// The holder that a lab-wide device's key names.
DeviceHolder lab_holder(cluster::Owner const& owner);

// The process holding the device's ownership lock `lock_id` on this machine,
// with this host's id while in a cluster; none when nobody can be named.
// Never asks the cluster. Never throws but std::bad_alloc.
std::optional<DeviceHolder> lock_holder(std::string const& lock_id);

}  // namespace zelm::detail
