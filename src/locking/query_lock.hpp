// A device's query lock: an exclusive, blocking flock on "<identity>.lock" in
// the lock directory. It serialises the queries of one device across every
// process and thread of the machine; the same file carries the last answer
// (see scan/cache_file.hpp).
#pragma once

#include "locking/lock_directory.hpp"

#include <string>

namespace zelm::detail {

// Held from construction (blocking until every other querier of the device,
// in any process or thread, is done) to destruction. When the file cannot be
// opened safely nothing is held and fd() is -1; the query then runs without
// the file level.
class InterprocessLock {
public:
    // Throws std::filesystem::filesystem_error when the system temporary
    // directory cannot be determined.
    explicit InterprocessLock(std::string const& lock_id);
    // The same with the file in `directory`, which the caller holds.
    InterprocessLock(std::string const& lock_id, LockDirectory const& directory);
    ~InterprocessLock();
    InterprocessLock(InterprocessLock const&) = delete;
    InterprocessLock& operator=(InterprocessLock const&) = delete;

    std::string const& path() const { return path_; }
    int fd() const { return fd_; }

private:
    std::string path_;
    int fd_ = -1;
};

}  // namespace zelm::detail
