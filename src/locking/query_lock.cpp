// The query lock file of one device.
#include "locking/query_lock.hpp"

namespace zelm::detail {

InterprocessLock::InterprocessLock(std::string const& lock_id) : InterprocessLock(lock_id, LockDirectory::open()) {}

InterprocessLock::InterprocessLock(std::string const& lock_id, LockDirectory const& directory) {
    // The file's name is the end of its path: one string serves both.
    auto const& directory_path = directory.path().native();
    path_.reserve(directory_path.size() + 1 + lock_id.size() + query_file_suffix.size());
    path_.append(directory_path).append(1, '/').append(lock_id).append(query_file_suffix);
    auto const* name = path_.c_str() + directory_path.size() + 1;
    // Close-on-exec: a helper program that a plug-in starts during the query
    // and that outlives it must not keep every later query of the device waiting.
    if (auto locked = directory.lock_file(name, LOCK_EX, OnExec::close)) {
        fd_ = locked->release();
    }
}

InterprocessLock::~InterprocessLock() {
    if (fd_ != -1) {
        system_calls().flock(fd_, LOCK_UN);
        system_calls().close(fd_);
    }
}

}  // namespace zelm::detail
