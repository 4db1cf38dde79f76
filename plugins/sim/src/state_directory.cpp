// Finding, creating and checking the state directory. Under a shared
// temporary directory another user may have created the name first, as a
// directory of theirs or a link to one: then the state is not kept at all,
// rather than kept where that user could read or plant it.
#include "state_directory.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

namespace zelm::sim {
namespace {

std::string refusal(std::filesystem::path const& path, std::string_view reason) {
    return fmt::format("state directory {} is not usable: {}", path.native(), reason);
}

// Why a directory we opened cannot hold our state, or nothing when it can.
std::optional<std::string> unsafe_because(struct stat const& status) {
    if (!S_ISDIR(status.st_mode)) {
        return "not a directory";
    }
    if (status.st_uid != ::geteuid()) {
        return fmt::format("owned by user {}, not by us; remove it", status.st_uid);
    }
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return fmt::format("its group or others may write to it (mode {:o}); remove it or give it mode 700",
                           status.st_mode & 07777);
    }
    return std::nullopt;
}

}  // namespace

std::filesystem::path state_directory_path() {
    if (char const* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime == '/') {
        return std::filesystem::path(runtime) / "zelm-sim";
    }
    return std::filesystem::temp_directory_path() / fmt::format("zelm-sim-{}", ::geteuid());
}

std::expected<StateDirectory, std::string> open_state_directory() {
    std::filesystem::path path;
    try {
        path = state_directory_path();
    } catch (std::filesystem::filesystem_error const& error) {
        return std::unexpected(fmt::format("no state directory: {}", error.what()));
    }
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        return std::unexpected(refusal(path, std::strerror(errno)));
    }
    FileDescriptor directory(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory) {
        // A link (ELOOP) or anything else that is not a directory (ENOTDIR).
        return std::unexpected(
            refusal(path, errno == ELOOP || errno == ENOTDIR ? "not a directory" : std::strerror(errno)));
    }
    struct stat status {};
    if (::fstat(directory.get(), &status) != 0) {
        return std::unexpected(refusal(path, std::strerror(errno)));
    }
    if (auto const reason = unsafe_because(status)) {
        return std::unexpected(refusal(path, *reason));
    }
    return StateDirectory{std::move(path), std::move(directory)};
}

}  // namespace zelm::sim
