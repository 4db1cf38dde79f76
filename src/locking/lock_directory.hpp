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
// user's lock files; files are 0666 so every user can lock them. A directory
// that does not give that protection (owned by another user, who could empty
// it at will, or writable by others without the sticky bit) is refused.
#pragma once

#include "locking/file_descriptor.hpp"

#include <algorithm>
#include <array>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace zelm::detail {

// The lock directory's name under the system temporary directory.
inline constexpr char lock_directory_name[] = "rezored_izede";

// What follows a device's lock identity in the names of its two files: the
// ownership lock, and the query lock that carries the cached answer.
inline constexpr std::string_view ownership_file_suffix = ".occupied";
inline constexpr std::string_view query_file_suffix = ".lock";

// "<lock_id><suffix>", the name of one of a device's lock files, built with
// one allocation: a scan names two files per device.
inline std::string lock_file_name(std::string_view lock_id, std::string_view suffix) {
    std::string name;
    name.reserve(lock_id.size() + suffix.size());
    name.append(lock_id).append(suffix);
    return name;
}

// The same name as a C string, without allocating when it is short (as every
// identity that make_lock_id gives is): the probe runs for every device of
// every scan.
class ShortLockFileName {
public:
    ShortLockFileName(std::string_view lock_id, std::string_view suffix) {
        if (lock_id.size() + suffix.size() < buffer_.size()) {
            auto* end = std::ranges::copy(suffix, std::ranges::copy(lock_id, buffer_.data()).out).out;
            *end = '\0';
        } else {
            long_name_ = lock_file_name(lock_id, suffix);
        }
    }
    ShortLockFileName(ShortLockFileName const&) = delete;
    ShortLockFileName& operator=(ShortLockFileName const&) = delete;

    char const* c_str() const { return long_name_.empty() ? buffer_.data() : long_name_.c_str(); }

private:
    std::array<char, 48> buffer_;
    std::string long_name_;
};

// "<system temporary directory>/rezored_izede". Throws
// std::filesystem::filesystem_error when the temporary directory cannot be
// determined.
std::filesystem::path lock_directory_path();

struct LockFailure {
    enum class Kind {
        cannot_open,       // the file could not be opened, or was refused as unsafe
        busy,              // flock failed: another open file description holds it
        unsafe_directory,  // the lock directory itself was refused
    };
    Kind kind;
    // One line: what was refused, or the system's error text; for
    // unsafe_directory the whole message, "Lock directory <path> is not safe:
    // <reason>; <how to fix it>".
    std::string reason;
};

// Whether a lock file's descriptor survives exec. A device's ownership is
// handed down to the programs its owner starts; a query lock, held only
// while one device is asked, must not be kept by a plug-in's helper program
// (every later query of the device would wait for that program).
enum class OnExec {
    inherit,
    close,
};

class LockDirectory {
public:
    // Opens (creating it when missing) the lock directory and gives it mode
    // 01777 where it differs and we may. A directory that is still unsafe
    // after that (its owner neither root nor us, or writable by its group or
    // others without the sticky bit) is not used. Throws
    // std::filesystem::filesystem_error only when the system temporary
    // directory cannot be determined; an unusable or unsafe directory makes
    // every lock_file fail instead.
    static LockDirectory open();
    // The same for the lock directory under `temporary`, the system temporary
    // directory as it was just determined.
    static LockDirectory open_under(std::filesystem::path const& temporary);

    std::filesystem::path const& path() const { return path_; }

    // Whether the lock directory under `temporary` (the temporary directory's
    // text) is still the directory held: the temporary directory is the one it
    // was found under and still a directory (one stat), and one lstat finds
    // the lock directory's path to be a directory (not a link) with the
    // device and inode of the descriptor. Gives it mode 01777 where it differs
    // and we may, as opening does. False for an unusable directory, or one
    // that has become unsafe, so that it is tried again (and refused).
    bool still_current(char const* temporary) const;

    // Opens `name` in the directory (creating it, mode 0666, when missing) and
    // takes flock(`operation`) on it. Returns the locked descriptor, kept or
    // closed across exec as `on_exec` says. Starts over when the name was
    // removed or replaced between opening and locking (zelm clean removes
    // unused files, always while it holds their lock), and when a lock that
    // is busy turns out to be on a file that no longer has the name.
    std::expected<FileDescriptor, LockFailure> lock_file(char const* name, int operation, OnExec on_exec) const;

    // An opened lock file and its status as the fstat that checked it saw it.
    struct OpenedFile {
        FileDescriptor fd;
        struct stat status;
    };
    // Opens the existing `name` read-only, close-on-exec, without blocking or
    // following a link, and takes its status, which the caller must check
    // (unusable_because) before it trusts the file. Fails with the errno.
    std::expected<OpenedFile, int> open_existing(char const* name) const;

    // The directory's descriptor, for work on the files in it; -1 when the
    // directory is unusable, and failure() says why.
    int descriptor() const { return directory_.get(); }
    LockFailure const& failure() const { return failure_; }
    // The directory's owner, who may remove any file in it.
    uid_t owner() const { return owner_; }

    // Whether `name` in the directory still refers to the file whose status
    // `held` is (same device and inode, found without following a link).
    bool still_names(char const* name, struct stat const& held) const;

private:
    LockDirectory(std::filesystem::path temporary, std::filesystem::path path, FileDescriptor directory,
                  LockFailure failure);

    std::expected<OpenedFile, std::string> open_file(char const* name, OnExec on_exec) const;

    std::filesystem::path temporary_;  // the temporary directory it was found under
    std::filesystem::path path_;
    FileDescriptor directory_;
    dev_t device_ = 0;  // identity of the directory held, for still_current
    ino_t inode_ = 0;
    uid_t owner_ = 0;
    LockFailure failure_;  // why the directory is unusable, when directory_ is not open
};

// Why a file with this status is not used as a lock file (a FIFO, a device,
// a directory, a link to some other file's inode), or none when it may be.
std::optional<std::string> unusable_because(struct stat const& status);

// The lock directory as the devices of one scan use it, one after another. It
// is opened once; before each further use the temporary-directory query is
// made again and one lstat checks that the path still names the directory
// held (LockDirectory::still_current). When it does not (the temporary
// directory changed, or the lock directory was removed, replaced, moved or
// turned into a link) the directory is opened afresh, so a stale one is never
// used. Its descriptor lives no longer than the scan.
class ScanLockDirectory {
public:
    // The directory to use for the next device. Throws
    // std::filesystem::filesystem_error when the system temporary directory
    // cannot be determined.
    LockDirectory const& current();

private:
    std::optional<LockDirectory> directory_;
    // Whether the environment gives the temporary directory that the
    // standard library gave when the directory was opened (see
    // environment_temporary_directory); when not, every use asks it.
    bool environment_agrees_ = false;
};

}  // namespace zelm::detail
