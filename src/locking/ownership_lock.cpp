// The ownership lock: an exclusive, non-blocking flock on
// "<identity>.occupied" in the lock directory. It belongs to the open file
// description, so two lock objects for one device exclude each other inside
// one process as well as across processes, and a process that dies releases
// it at once.
#include <zelm/errors.hpp>
#include <zelm/lock.hpp>

#include "locking/device_owner_lookup.hpp"
#include "locking/lock_directory.hpp"
#include "locking/lock_identity.hpp"
#include "locking/ownership_probe.hpp"

#include <stdexcept>

namespace zelm::detail {

OwnershipLock::OwnershipLock(std::string const& lock_id, bool throw_if_occupied) {
    auto const directory = LockDirectory::open();
    auto const name = lock_file_name(lock_id, ownership_file_suffix);
    path_ = directory.path() / name;

    auto locked = directory.lock_file(name.c_str(), LOCK_EX | LOCK_NB, OnExec::inherit);
    if (locked) {
        fd_ = locked->release();
        held_ = true;
        // The file's modification time marks its last ownership: zelm clean
        // leaves a file used recently in place. Nothing depends on it.
        system_calls().futimens(fd_, nullptr);
        return;
    }
    if (!throw_if_occupied) {
        return;
    }
    switch (locked.error().kind) {
    case LockFailure::Kind::busy:
        // Looked up after the failure: the holder named is the one that
        // made it fail, unless it let go in between.
        throw DeviceOccupiedError(owner_of_lock(lock_id));
    case LockFailure::Kind::unsafe_directory:
        throw UnsafeLockDirectoryError(locked.error().reason, directory.path());
    case LockFailure::Kind::cannot_open:
        break;
    }
    throw LockFileError("Cannot open device lock file: " + path_.native() + ": " + locked.error().reason, path_);
}

// Closing alone releases the lock once no copy of the descriptor is left. An
// explicit unlock would also take it from child processes that inherited the
// descriptor, which keep the device owned until they close it too.
OwnershipLock::~OwnershipLock() {
    if (fd_ != -1) {
        system_calls().close(fd_);
    }
}

std::shared_ptr<OwnershipLock> acquire_device_ownership_lock(std::string const& manager_path,
                                                             std::string const& description) {
    if (description.empty()) {
        return {};
    }
    auto const lock_id = make_lock_id(manager_path, parse_description(description));
    return std::make_shared<OwnershipLock>(lock_id, true);
}

bool is_device_occupied(std::string const& lock_id, LockDirectory const& directory) {
    // Shared: it meets an owner's exclusive lock, but not the probes of other
    // scans at the same moment, which would otherwise see each other as owners.
    ShortLockFileName const name(lock_id, ownership_file_suffix);
    auto const probe = directory.lock_file(name.c_str(), LOCK_SH | LOCK_NB, OnExec::close);
    if (!probe) {
        return true;  // held through another descriptor, or the file (or directory) refused
    }
    // The probe only borrows the lock: a child forked meanwhile by another
    // thread must not keep it.
    system_calls().flock(probe->get(), LOCK_UN);
    return false;
}

bool is_device_occupied(std::string const& lock_id) { return is_device_occupied(lock_id, LockDirectory::open()); }

}  // namespace zelm::detail
