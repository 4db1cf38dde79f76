// Who holds a device: the kernel lists every flock holder in /proc/locks with
// its process id and the locked file's device and inode; the holder of a
// device is the one whose file is the device's ".occupied" lock file.
//
// Read-only by design: it takes no lock, creates nothing and follows no link,
// so asking never disturbs the owner or a concurrent probe.
#include <zelm/lock.hpp>

#include "locking/file_descriptor.hpp"
#include "locking/lock_directory.hpp"

#include <sys/sysmacros.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace zelm::detail {
namespace {

struct FileIdentity {
    dev_t device;
    ino_t inode;
};

// The identity of "<lock_id>.occupied", found without following links.
std::optional<FileIdentity> ownership_file(std::string const& lock_id) {
    std::error_code error;
    auto const directory_path = std::filesystem::temp_directory_path(error) / lock_directory_name;
    if (error) {
        return std::nullopt;
    }
    FileDescriptor const directory(
        system_calls().open(directory_path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0));
    auto const name = lock_file_name(lock_id, ownership_file_suffix);
    struct stat status {};
    if (!directory || system_calls().fstatat(directory.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    return FileIdentity{status.st_dev, status.st_ino};
}

// One line of /proc/locks, for example
//   "3: FLOCK  ADVISORY  WRITE 4242 08:01:1234 0 EOF"
// Lines of waiters ("3: -> FLOCK ...") do not parse as holders. Only an
// exclusive (WRITE) lock is ownership: a shared (READ) one is a scan's probe
// or query.
std::optional<int> holder_of(std::string const& line, FileIdentity const& file) {
    std::istringstream fields(line);
    std::string number;
    std::string type;
    std::string mode;
    std::string access;
    int pid = 0;
    std::string where;
    if (!(fields >> number >> type >> mode >> access >> pid >> where) || type != "FLOCK" || access != "WRITE" ||
        pid <= 0) {
        return std::nullopt;
    }
    unsigned int major_number = 0;
    unsigned int minor_number = 0;
    unsigned long long inode = 0;
    if (std::sscanf(where.c_str(), "%x:%x:%llu", &major_number, &minor_number, &inode) != 3 ||
        makedev(major_number, minor_number) != file.device || inode != file.inode) {
        return std::nullopt;
    }
    return pid;
}

}  // namespace

std::optional<int> find_device_owner(std::string const& lock_id) {
    auto const file = ownership_file(lock_id);
    if (!file) {
        return std::nullopt;
    }
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        if (auto const pid = holder_of(line, *file)) {
            return pid;
        }
    }
    return std::nullopt;
}

}  // namespace zelm::detail
