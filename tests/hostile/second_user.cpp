// Switching to a second user, snapshots of planted things, and the emulated
// protected_regular rule.
#include "second_user.hpp"

#include "locking/system_calls.hpp"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iostream>
#include <sstream>
#include <vector>

namespace zelm::hostile {

bool become_nobody() {
    passwd const* const nobody = getpwnam("nobody");
    return nobody != nullptr && setgroups(0, nullptr) == 0 && setgid(nobody->pw_gid) == 0 &&
           setuid(nobody->pw_uid) == 0;
}

int run_as_nobody(std::function<int()> const& body) {
    return test::run_in_child([&body] { return become_nobody() ? body() : 100; });
}

std::optional<std::string> second_user_unavailable() {
    if (geteuid() != 0) {
        return "needs root to act as a second user";
    }
    if (getpwnam("nobody") == nullptr) {
        return "no user nobody on this machine";
    }
    return std::nullopt;
}

bool Snapshot::operator==(Snapshot const& other) const {
    return mode == other.mode && owner == other.owner && size == other.size && links == other.links &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
           content == other.content;
}

Snapshot snapshot(std::filesystem::path const& path) {
    Snapshot taken;
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) {
        taken.content = "<missing>";
        return taken;
    }
    taken.mode = status.st_mode;
    taken.owner = status.st_uid;
    taken.size = status.st_size;
    taken.links = status.st_nlink;
    taken.modified = status.st_mtim;
    if (S_ISREG(status.st_mode)) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        taken.content = bytes.str();
    } else if (S_ISDIR(status.st_mode)) {
        std::vector<std::string> names;
        for (auto const& entry : std::filesystem::directory_iterator(path)) {
            names.push_back(entry.path().filename());
        }
        std::ranges::sort(names);
        for (auto const& name : names) {
            taken.content += name + "\n";
        }
    }
    return taken;
}

std::ostream& operator<<(std::ostream& out, Snapshot const& snapshot) {
    return out << "mode " << std::oct << snapshot.mode << std::dec << ", owner " << snapshot.owner << ", size "
               << snapshot.size << ", links " << snapshot.links << ", mtime " << snapshot.modified.tv_sec << "."
               << snapshot.modified.tv_nsec << ", content \"" << snapshot.content.substr(0, 64) << "\"";
}

void note_protected_regular() {
    static bool noted = false;
    if (std::exchange(noted, true)) {
        return;
    }
    std::ifstream in("/proc/sys/fs/protected_regular");
    int setting = -1;
    in >> setting;
    std::cout << "[ note     ] fs.protected_regular = " << setting
              << (setting > 0 ? ": set, so the kernel itself refuses O_CREAT on another user's lock file here"
                              : ": not set, so the tests apply the kernel's rule through the system-call seam")
              << '\n';
}

int protected_regular_openat(int directory, char const* name, int flags, mode_t mode) {
    auto const& real = detail::real_system_calls();
    if ((flags & O_CREAT) != 0 && (flags & O_EXCL) == 0) {
        struct stat parent {};
        struct stat file {};
        if (real.fstat(directory, &parent) == 0 && real.fstatat(directory, name, &file, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(file.st_mode) && (parent.st_mode & S_ISVTX) != 0 && (parent.st_mode & S_IWOTH) != 0 &&
            file.st_uid != parent.st_uid && file.st_uid != geteuid()) {
            errno = EACCES;
            return -1;
        }
    }
    return real.openat(directory, name, flags, mode);
}

}  // namespace zelm::hostile
