// The value of a lab-wide owner's key: who holds the device, as JSON text.
#pragma once

#include <zelm/cluster.hpp>

#include <string>

namespace zelm::detail {

// This process as the holder of a device taken now, under `host_id`.
cluster::Owner this_process_as_owner(std::string const& host_id);

// {"host":…,"pid":…,"command":…,"user":…,"since":…}
std::string owner_record(cluster::Owner const& owner);

// The owner a key's value names; members that are missing or of the wrong
// type stay empty, so a foreign or damaged value still reads as held.
cluster::Owner parse_owner_record(std::string const& value);

}  // namespace zelm::detail
