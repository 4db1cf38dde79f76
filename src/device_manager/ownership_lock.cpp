// The ownership lock: an exclusive, non-blocking flock on
// "<identity>.occupied" in the lock directory. It belongs to the open file
// description, so two lock objects for one device exclude each other inside
// one process as well as across processes, and a process that dies releases
// it at once.
#include <zelm/lock.hpp>

#include "device_manager/lock_directory.hpp"

#include <stdexcept>

namespace zelm::detail {

OwnershipLock::OwnershipLock(std::string const& lock_id, bool throw_if_occupied) {
    auto const directory = LockDirectory::open();
    auto const name = lock_id + ".occupied";
    path_ = directory.path() / name;

    auto locked = directory.lock_file(name, LOCK_EX | LOCK_NB);
    if (locked) {
        fd_ = locked->release();
        held_ = true;
        return;
    }
    if (!throw_if_occupied) {
        return;
    }
    if (locked.error().kind == LockFailure::Kind::busy) {
        throw std::runtime_error("Device is already occupied");
    }
    throw std::runtime_error("Cannot open device lock file: " + path_.native() + ": " + locked.error().reason);
}

OwnershipLock::~OwnershipLock() {
    if (fd_ != -1) {
        system_calls().flock(fd_, LOCK_UN);
        system_calls().close(fd_);
    }
}

std::shared_ptr<OwnershipLock> acquire_device_ownership_lock(std::string const& manager_path,
                                                             std::string const& description) {
    if (description.empty()) {
        return {};
    }
    auto const lock_id = make_lock_id(manager_path, nlohmann::json::parse(description));
    return std::make_shared<OwnershipLock>(lock_id, true);
}

bool is_device_occupied(std::string const& lock_id) {
    OwnershipLock const probe(lock_id, false);
    return !probe.held();
}

}  // namespace zelm::detail
