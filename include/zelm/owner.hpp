// Who owns a device, and the error of an acquisition that finds it owned.
#pragma once

#include <zelm/export.hpp>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

namespace zelm {

// The process that holds a device's ownership lock.
struct DeviceOwner {
    int pid = 0;
    // The process's command name (/proc/<pid>/comm, at most 15 bytes, bytes
    // that are not UTF-8 replaced); none when it cannot be read, for example
    // another user's process under a restricted /proc.
    std::optional<std::string> command;
};

// The owner of the device that `description` (JSON text of one listed
// description, in any spacing or member order) names under the manager path
// `manager_path` (the manager's get_path()): the process holding its
// ownership lock exclusively, as the kernel lists flock holders. None when
// the device is free, when its lock file does not exist, and when the kernel
// names no live process for the lock (a holder in another pid namespace, or
// one that forked and exited, leaving the lock with its child). Takes no
// lock and changes no file. Throws nlohmann::json::parse_error when
// `description` is not JSON, and std::bad_alloc.
ZELM_API std::optional<DeviceOwner> find_device_owner(std::filesystem::path const& manager_path,
                                                      std::string const& description);

// Thrown by every acquisition that finds the device held by another owner
// (detail::OwnershipLock with throw_if_occupied, and so
// detail::acquire_device_ownership_lock, DeviceManager::manage_device and
// DeviceManager::open_managed_device). Its message is always "Device is
// already occupied", so code that catches std::runtime_error keeps working.
class ZELM_API DeviceOccupiedError : public std::runtime_error {
public:
    explicit DeviceOccupiedError(std::optional<DeviceOwner> owner);
    ~DeviceOccupiedError() override;
    DeviceOccupiedError(DeviceOccupiedError const&) = default;
    DeviceOccupiedError& operator=(DeviceOccupiedError const&) = default;

    // The holder, looked up right after the acquisition failed; none when it
    // could not be identified (see find_device_owner) or was gone by then.
    std::optional<DeviceOwner> const& owner() const noexcept { return owner_; }

private:
    std::optional<DeviceOwner> owner_;
};

}  // namespace zelm
