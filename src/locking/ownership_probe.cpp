// The hold a scan keeps on a free device while it queries it.
#include "locking/ownership_probe.hpp"

namespace zelm::detail {

std::optional<FreeDeviceHold> FreeDeviceHold::take(std::string const& lock_id, LockDirectory const& directory) {
    ShortLockFileName const name(lock_id, ownership_file_suffix);
    auto held = directory.lock_file(name.c_str(), LOCK_SH | LOCK_NB, OnExec::close);
    if (!held) {
        return std::nullopt;
    }
    return FreeDeviceHold(std::move(*held));
}

FreeDeviceHold::~FreeDeviceHold() {
    if (fd_) {
        system_calls().flock(fd_.get(), LOCK_UN);
    }
}

}  // namespace zelm::detail
