// The lock directory "rezored_izede" under the system temporary directory,
// shared by every process and every user of the machine, and the safe opening
// and locking of the files in it.
//
// Every user can write there, so nothing in it is trusted: no symbolic link
// is followed (neither at the directory nor at a file), only a regular file
// with a single link is used, files are opened without blocking (a planted
// FIFO must not hang us) and never on descriptors 0 to 2, and a file is only
// held once its name is seen to still refer to it after the lock was taken.
// The directory is sticky (01777) so no user can delete or replace another
// user's lock files; files are 0666 so every user can lock them.
#pragma once

#include "device_manager/file_descriptor.hpp"

#include <expected>
#include <filesystem>
#include <string>

namespace zelm::detail {

// "<system temporary directory>/rezored_izede". Throws
// std::filesystem::filesystem_error when the temporary directory cannot be
// determined.
std::filesystem::path lock_directory_path();

struct LockFailure {
    enum class Kind {
        cannot_open,  // the file could not be opened, or was refused as unsafe
        busy,         // flock failed: another open file description holds it
    };
    Kind kind;
    std::string reason;  // one line: what was refused, or the system's error text
};

class LockDirectory {
public:
    // Opens (creating it when missing) the lock directory and gives it mode
    // 01777 where it differs and we may. Throws std::filesystem::filesystem_error
    // only when the system temporary directory cannot be determined; an
    // unusable directory makes every lock_file fail instead.
    static LockDirectory open();

    std::filesystem::path const& path() const { return path_; }

    // Opens `name` in the directory (creating it, mode 0666, when missing) and
    // takes flock(`operation`) on it. Returns the locked descriptor, inherited
    // by child processes. Starts over when the name was replaced between
    // opening and locking.
    std::expected<FileDescriptor, LockFailure> lock_file(std::string const& name, int operation) const;

private:
    LockDirectory(std::filesystem::path path, FileDescriptor directory, std::string error);

    std::expected<FileDescriptor, std::string> open_file(std::string const& name) const;
    bool still_names(std::string const& name, int fd) const;

    std::filesystem::path path_;
    FileDescriptor directory_;
    std::string error_;  // why the directory is unusable, when directory_ is not open
};

}  // namespace zelm::detail
