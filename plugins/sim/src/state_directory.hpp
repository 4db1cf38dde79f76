// The directory where simulated devices keep their state between processes:
// one per user, of the family's own, that no other user can write to.
#pragma once

#include <zelm/plugin/file_descriptor.hpp>

#include <expected>
#include <filesystem>
#include <string>

namespace zelm::sim {

using plugin::FileDescriptor;

// "$XDG_RUNTIME_DIR/zelm-sim" when XDG_RUNTIME_DIR is an absolute path, else
// "<system temporary directory>/zelm-sim-<uid>". Throws
// std::filesystem::filesystem_error when the temporary directory cannot be
// determined.
std::filesystem::path state_directory_path();

// Opens the state directory, creating it with mode 0700 when missing, without
// following a symbolic link. Every file of the state is then used relative
// to the descriptor. A directory that another user could have filled (not
// ours, or writable by the group or others), or that is not a directory, is
// refused: the message is one line naming the directory and the reason.
struct StateDirectory {
    std::filesystem::path path;  // for messages
    FileDescriptor descriptor;
};
std::expected<StateDirectory, std::string> open_state_directory();

}  // namespace zelm::sim
