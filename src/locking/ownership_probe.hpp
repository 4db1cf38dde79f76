// The occupancy probe against a lock directory that the caller already
// holds: the scan keeps one open across its devices (ScanLockDirectory).
#pragma once

#include "locking/lock_directory.hpp"

#include <string>

namespace zelm::detail {

// is_device_occupied, with the lock file opened in `directory`.
bool is_device_occupied(std::string const& lock_id, LockDirectory const& directory);

}  // namespace zelm::detail
