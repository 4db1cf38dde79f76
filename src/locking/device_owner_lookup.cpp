// The public owner look-up: the holder's process id from the kernel's list of
// flock holders (detail::find_device_owner), with the command name people
// know the process by.
#include <zelm/lock.hpp>
#include <zelm/owner.hpp>

#include "json/utf8_text.hpp"
#include "locking/device_owner_lookup.hpp"
#include "locking/file_descriptor.hpp"
#include "locking/lock_identity.hpp"

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace zelm {
namespace {

// A process that may only hide its name from us (another user's, under a
// restricted /proc) still exists; one that is gone identifies nobody.
bool exists(int pid) { return kill(pid, 0) == 0 || errno == EPERM; }

}  // namespace

namespace detail {

// Read with plain system calls: the process may end while it is read, and
// the standard library's file streams then throw (ESRCH) instead of failing.
// The kernel cuts command names at 15 bytes, possibly inside a UTF-8
// sequence; hosts put the name into JSON and the like, so it is made valid
// UTF-8.
std::optional<std::string> command_of(int pid) {
    detail::FileDescriptor const file(::open(("/proc/" + std::to_string(pid) + "/comm").c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) {
        return std::nullopt;
    }
    char buffer[64];
    auto const length = ::read(file.get(), buffer, sizeof buffer);
    if (length <= 0) {
        return std::nullopt;
    }
    std::string command(buffer, static_cast<std::size_t>(length));
    if (command.back() == '\n') {
        command.pop_back();
    }
    return command.empty() ? std::nullopt : std::optional<std::string>(detail::as_utf8(command));
}

std::string user_name_of(uid_t uid) {
    std::vector<char> buffer(4096);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        return as_utf8(found->pw_name);
    }
    return std::to_string(uid);
}

// /proc/<pid> belongs to the process's effective user.
std::optional<std::string> user_of(int pid) {
    struct stat status {};
    if (::stat(("/proc/" + std::to_string(pid)).c_str(), &status) != 0) {
        return std::nullopt;
    }
    return user_name_of(status.st_uid);
}

std::string utc_text(std::chrono::system_clock::time_point time) {
    auto const seconds = std::chrono::floor<std::chrono::seconds>(time);
    return fmt::format("{:%Y-%m-%dT%H:%M:%SZ}", fmt::gmtime(std::chrono::system_clock::to_time_t(seconds)));
}

std::optional<DeviceOwner> owner_of_lock(std::string const& lock_id) {
    auto const pid = find_device_owner(lock_id);
    if (!pid) {
        return std::nullopt;
    }
    auto command = command_of(*pid);
    if (!command && !exists(*pid)) {
        return std::nullopt;
    }
    return DeviceOwner{*pid, std::move(command)};
}

}  // namespace detail

std::optional<DeviceOwner> find_device_owner(std::filesystem::path const& manager_path, std::string const& description) {
    return detail::owner_of_lock(
        detail::make_lock_id_from_text(manager_path.native(), detail::parse_description(description).dump()));
}

DeviceOccupiedError::DeviceOccupiedError(std::optional<DeviceOwner> owner)
    : std::runtime_error("Device is already occupied"), owner_(std::move(owner)) {}

// Defined here so that the type's identity (type information and virtual
// table) lives in the library, one for every host and plug-in.
DeviceOccupiedError::~DeviceOccupiedError() = default;

}  // namespace zelm
