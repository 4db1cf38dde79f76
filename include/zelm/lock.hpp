// Device lock identity and the cross-process ownership lock. Hosts do not
// normally call these; ManagedDevice and the scan do.
//
// Lock files live in the lock directory "rezored_izede" under the system
// temporary directory, shared by every process and user of the machine:
// "<identity>.occupied" is a device's ownership lock, "<identity>.lock" its
// query lock and cache. No symbolic link is followed there, and only a
// regular file with a single link is used as a lock file. The directory is
// used only while it protects one user's lock files from another: owned by
// root or by the calling user, and sticky whenever its group or others may
// write to it (the library gives it mode 1777 where it may).
#pragma once

#include <zelm/export.hpp>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace zelm::detail {

// 64-bit FNV-1a hash of the bytes of `data`. Never throws.
ZELM_API std::uint64_t fnv1a_hash(std::string_view const& data);

// "device_" + lower-case hex FNV-1a of the manager path's text, "_" and the
// description's compact JSON text. Throws nlohmann::json::type_error (316)
// for a description holding invalid UTF-8, and std::bad_alloc.
ZELM_API std::string make_lock_id(std::filesystem::path const& manager_path, nlohmann::json const& description);

// An exclusive, non-blocking flock on "<lock_id>.occupied" in the lock
// directory, tried once at construction and released at destruction. The
// descriptor is inherited by child processes (no close-on-exec), so a child
// keeps a device owned until every copy is closed.
class ZELM_API OwnershipLock {
public:
    // Throws std::filesystem::filesystem_error when the system temporary
    // directory cannot be determined. When `throw_if_occupied` is true it also
    // throws zelm::DeviceOccupiedError (<zelm/owner.hpp>, a
    // std::runtime_error "Device is already occupied" naming the holder when
    // it can be identified) when another owner holds the lock,
    // zelm::UnsafeLockDirectoryError "Lock directory <path> is not safe:
    // <reason>; <how to fix it>" when the lock directory is refused (another
    // user owns it, or others may write to it but it is not sticky), and
    // zelm::LockFileError "Cannot open device lock file: <path>: <reason>"
    // when the file cannot be opened safely (<zelm/errors.hpp>); otherwise
    // the object is then simply not held.
    OwnershipLock(std::string const& lock_id, bool throw_if_occupied);
    ~OwnershipLock();
    OwnershipLock(OwnershipLock const&) = delete;
    OwnershipLock& operator=(OwnershipLock const&) = delete;

    bool held() const { return held_; }
    // The locked descriptor, or -1 when not held.
    int fd() const { return fd_; }
    std::filesystem::path const& path() const { return path_; }

private:
    std::filesystem::path path_;
    int fd_ = -1;
    bool held_ = false;
};

// Takes the ownership lock of the device that `description` (JSON text) names
// under the manager path `manager_path`. Returns a held lock, or an empty
// handle (no lock, no file touched) when `description` is empty. Throws
// nlohmann::json::parse_error when `description` is not JSON, and what
// OwnershipLock(…, true) throws.
ZELM_API std::shared_ptr<OwnershipLock> acquire_device_ownership_lock(std::string const& manager_path,
                                                                     std::string const& description);

// True when the device counts as occupied: another lock object, in any
// process, holds its ownership lock, the lock file cannot be opened, or the
// lock directory is not safe (see OwnershipLock). Takes the lock for an
// instant when it is free. Throws std::filesystem::filesystem_error when the
// system temporary directory cannot be determined.
ZELM_API bool is_device_occupied(std::string const& lock_id);

// The process id of the holder of the device's ownership lock, as the kernel
// lists flock holders in /proc/locks. Only an exclusive holder is an owner: a
// scan's shared lock while it probes or queries the device is not. Empty when
// nobody holds it exclusively, when the lock file does not exist (or is a
// link) and when /proc/locks cannot be read. Takes no lock and changes no
// file. A holder that forked before it died may be listed under its own,
// gone, process id. Never throws but std::bad_alloc. Hosts use
// zelm::find_device_owner (<zelm/owner.hpp>), which also names the command.
ZELM_API std::optional<int> find_device_owner(std::string const& lock_id);

}  // namespace zelm::detail
