// The occupancy probe against a lock directory that the caller already
// holds (the scan keeps one open across its devices, ScanLockDirectory), and
// the hold a scan keeps on a free device while it queries it.
#pragma once

#include "locking/file_descriptor.hpp"
#include "locking/lock_directory.hpp"

#include <optional>
#include <string>

namespace zelm::detail {

// is_device_occupied, with the lock file opened in `directory`.
bool is_device_occupied(std::string const& lock_id, LockDirectory const& directory);

// A shared lock on a device's ownership lock file, held while a scan opens
// and queries the device: no owner can take the device meanwhile (its
// acquisition fails "Device is already occupied", as it may during a
// probe), and none holds it now. Probes of other scans share it.
class FreeDeviceHold {
public:
    // The hold, or nothing when the device is occupied (or its lock file
    // cannot be opened, which a probe counts as occupied too).
    static std::optional<FreeDeviceHold> take(std::string const& lock_id, LockDirectory const& directory);

    FreeDeviceHold(FreeDeviceHold&&) noexcept = default;
    FreeDeviceHold& operator=(FreeDeviceHold&&) noexcept = default;
    // Unlocks before closing: a child forked meanwhile by another thread
    // must not keep the hold.
    ~FreeDeviceHold();

private:
    explicit FreeDeviceHold(FileDescriptor fd) : fd_(std::move(fd)) {}
    FileDescriptor fd_;
};

}  // namespace zelm::detail
