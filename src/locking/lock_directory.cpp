// Safe opening of the shared lock directory and its lock files.
#include "locking/lock_directory.hpp"

#include <fmt/format.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace zelm::detail {
namespace {

constexpr mode_t directory_mode = 01777;
constexpr mode_t file_mode = 0666;
// Bounds the retries when the directory's content keeps changing under us.
constexpr int max_attempts = 8;

std::string error_text(int error) {
    switch (error) {
    case ELOOP:
        return "is a symbolic link";
    case ENOTDIR:
        return "is not a directory";
    default:
        return std::strerror(error);
    }
}

void set_mode_if_different(int fd, struct stat const& status, mode_t mode) {
    if ((status.st_mode & 07777) != mode) {
        system_calls().fchmod(fd, mode);  // fails for another user's file; the lock still works
    }
}

// The directory's status once it has been given mode 01777 where it differs
// and we may: the status as found when the mode is right, else as it is after
// the attempt. False when the status cannot be had.
bool repair_directory(int fd, struct stat& status) {
    if ((status.st_mode & 07777) == directory_mode) {
        return true;
    }
    system_calls().fchmod(fd, directory_mode);  // only root and the owner may
    return system_calls().fstat(fd, &status) == 0;
}

// Why a lock directory with this status does not protect one user's lock
// files from another: its owner may rename or delete any file in it, and so
// may everyone who can write to it unless it is sticky.
std::optional<std::string> unsafe_because(struct stat const& status) {
    if (status.st_uid != 0 && status.st_uid != ::geteuid()) {
        return fmt::format("owned by uid {}, neither root nor you", status.st_uid);
    }
    if ((status.st_mode & S_ISVTX) == 0 && (status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return fmt::format("writable by {} but not sticky (mode {:04o})",
                           (status.st_mode & S_IWOTH) != 0 ? "others" : "its group", status.st_mode & 07777);
    }
    return std::nullopt;
}

std::string unsafe_directory_message(std::filesystem::path const& path, std::string_view reason) {
    return fmt::format("Lock directory {} is not safe: {}; remove it (as its owner or root), or have root create it "
                       "with mode 1777, for example with the systemd-tmpfiles snippet zelm.conf",
                       path.native(), reason);
}

// Moves `fd` above the standard streams: a host that closed them would
// otherwise have its log output written into a lock file, and a scan keeps
// the directory's descriptor while plug-ins open files of their own. The
// duplicate keeps the original's close-on-exec choice.
int above_standard_streams(int fd, OnExec on_exec) {
    if (fd < 0 || fd > STDERR_FILENO) {
        return fd;
    }
    auto const duplicate = on_exec == OnExec::close ? system_calls().dup_above_cloexec : system_calls().dup_above;
    int const moved = duplicate(fd, STDERR_FILENO + 1);
    int const error = errno;
    system_calls().close(fd);
    errno = error;
    return moved;
}

int open_directory(std::filesystem::path const& path) {
    // Close-on-exec is right for the directory, unlike for ownership files.
    int const flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = system_calls().open(path.c_str(), flags, 0);
    if (fd < 0 && errno == ENOENT) {
        // The temporary directory exists (finding it checks that); only the
        // lock directory may be missing. Losing a race to create it is fine.
        if (system_calls().mkdir(path.c_str(), directory_mode) == 0 || errno == EEXIST) {
            fd = system_calls().open(path.c_str(), flags, 0);
        }
    }
    return above_standard_streams(fd, OnExec::close);
}

bool is_symbolic_link(std::filesystem::path const& path) {
    struct stat status {};
    return system_calls().fstatat(AT_FDCWD, path.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISLNK(status.st_mode);
}

// The text of the system temporary directory as the standard library reads
// it (the first of TMPDIR, TMP, TEMP and TEMPDIR that is set, else /tmp),
// without building a path: a scan asks for it before every device. Only a
// shortcut: ScanLockDirectory uses it only while it agrees with what the
// standard library itself answered when the directory was opened.
char const* environment_temporary_directory() {
    for (char const* name : {"TMPDIR", "TMP", "TEMP", "TEMPDIR"}) {
        if (char const* value = ::secure_getenv(name)) {
            return value;
        }
    }
    return "/tmp";
}

}  // namespace

std::filesystem::path lock_directory_path() { return std::filesystem::temp_directory_path() / lock_directory_name; }

LockDirectory::LockDirectory(std::filesystem::path temporary, std::filesystem::path path, FileDescriptor directory,
                             LockFailure failure)
    : temporary_(std::move(temporary)),
      path_(std::move(path)),
      directory_(std::move(directory)),
      failure_(std::move(failure)) {}

LockDirectory LockDirectory::open() { return open_under(std::filesystem::temp_directory_path()); }

LockDirectory LockDirectory::open_under(std::filesystem::path const& temporary) {
    auto path = temporary / lock_directory_name;
    auto refused = [&](LockFailure::Kind kind, std::string reason) {
        return LockDirectory(temporary, path, FileDescriptor(), LockFailure{kind, std::move(reason)});
    };
    FileDescriptor directory(open_directory(path));
    if (!directory) {
        int const error_number = errno;
        // O_DIRECTORY | O_NOFOLLOW gives ENOTDIR, not ELOOP, for a link.
        bool const link = error_number == ENOTDIR && is_symbolic_link(path);
        return refused(LockFailure::Kind::cannot_open,
                       "lock directory " + path.native() + " " + error_text(link ? ELOOP : error_number));
    }
    // A directory whose safety cannot be checked is not used either.
    struct stat status {};
    if (system_calls().fstat(directory.get(), &status) != 0 || !repair_directory(directory.get(), status)) {
        return refused(LockFailure::Kind::cannot_open, "lock directory " + path.native() + " " + error_text(errno));
    }
    if (auto const reason = unsafe_because(status)) {
        return refused(LockFailure::Kind::unsafe_directory, unsafe_directory_message(path, *reason));
    }
    LockDirectory opened(temporary, std::move(path), std::move(directory), {});
    opened.device_ = status.st_dev;
    opened.inode_ = status.st_ino;
    opened.owner_ = status.st_uid;
    return opened;
}

bool LockDirectory::still_current(char const* temporary) const {
    if (!directory_ || temporary_.native() != temporary) {
        return false;
    }
    struct stat status {};
    if (system_calls().fstatat(AT_FDCWD, temporary, &status, 0) != 0 || !S_ISDIR(status.st_mode)) {
        return false;
    }
    if (system_calls().fstatat(AT_FDCWD, path_.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(status.st_mode) || status.st_dev != device_ || status.st_ino != inode_) {
        return false;
    }
    return repair_directory(directory_.get(), status) && !unsafe_because(status);
}

LockDirectory const& ScanLockDirectory::current() {
    if (directory_ && environment_agrees_ && directory_->still_current(environment_temporary_directory())) {
        return *directory_;
    }
    // Opened afresh, through the standard library's own query, which also
    // throws its own error when the temporary directory cannot be determined.
    auto const temporary = std::filesystem::temp_directory_path();
    directory_.reset();  // the stale descriptor goes first
    directory_.emplace(LockDirectory::open_under(temporary));
    environment_agrees_ = temporary.native() == environment_temporary_directory();
    return *directory_;
}

std::expected<LockDirectory::OpenedFile, std::string> LockDirectory::open_file(char const* name,
                                                                             OnExec on_exec) const {
    int const flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | (on_exec == OnExec::close ? O_CLOEXEC : 0);
    int fd = -1;
    // Open an existing file without O_CREAT first: in a sticky directory the
    // kernel's protected_regular refuses O_CREAT on another user's file.
    for (int attempt = 0; fd < 0 && attempt < max_attempts; ++attempt) {
        fd = system_calls().openat(directory_.get(), name, flags, 0);
        if (fd < 0 && errno == ENOENT) {
            fd = system_calls().openat(directory_.get(), name, flags | O_CREAT | O_EXCL, file_mode);
        }
        if (fd < 0 && errno != ENOENT && errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        return std::unexpected(error_text(errno));
    }
    FileDescriptor file(above_standard_streams(fd, on_exec));
    if (!file) {
        return std::unexpected(error_text(errno));
    }
    struct stat status {};
    if (system_calls().fstat(file.get(), &status) != 0) {
        return std::unexpected(error_text(errno));
    }
    if (auto reason = unusable_because(status)) {
        return std::unexpected(std::move(*reason));
    }
    set_mode_if_different(file.get(), status, file_mode);
    return OpenedFile{std::move(file), status};
}

std::expected<LockDirectory::OpenedFile, int> LockDirectory::open_existing(char const* name) const {
    int const flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    FileDescriptor file(above_standard_streams(system_calls().openat(directory_.get(), name, flags, 0), OnExec::close));
    struct stat status {};
    if (!file || system_calls().fstat(file.get(), &status) != 0) {
        return std::unexpected(errno);
    }
    return OpenedFile{std::move(file), status};
}

std::optional<std::string> unusable_because(struct stat const& status) {
    if (!S_ISREG(status.st_mode)) {
        return "is not a regular file";
    }
    // No link at all is a file removed since it was opened (by zelm clean,
    // under its lock): the check of the name after locking starts over.
    if (status.st_nlink > 1) {
        return "has " + std::to_string(status.st_nlink) + " hard links";
    }
    return std::nullopt;
}

// `held` is the descriptor's status from before the lock: an open file's
// device and inode never change, so no second fstat is needed.
bool LockDirectory::still_names(char const* name, struct stat const& held) const {
    struct stat named {};
    return system_calls().fstatat(directory_.get(), name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

std::expected<FileDescriptor, LockFailure> LockDirectory::lock_file(char const* name, int operation,
                                                                    OnExec on_exec) const {
    if (!directory_) {
        return std::unexpected(failure_);
    }
    for (int attempt = 0; attempt < max_attempts; ++attempt) {
        auto file = open_file(name, on_exec);
        if (!file) {
            return std::unexpected(LockFailure{LockFailure::Kind::cannot_open, std::move(file.error())});
        }
        int result = system_calls().flock(file->fd.get(), operation);
        while (result != 0 && errno == EINTR) {
            result = system_calls().flock(file->fd.get(), operation);
        }
        int const error = errno;
        bool const named = still_names(name, file->status);
        if (result != 0 && named) {
            return std::unexpected(LockFailure{LockFailure::Kind::busy, std::strerror(error)});
        }
        if (result == 0 && named) {
            return std::move(file->fd);
        }
        // Removed or replaced meanwhile: closing releases the stale lock. A
        // busy one was held by whoever removed it, or by nobody who still
        // counts, so the file that now has the name decides.
    }
    return std::unexpected(LockFailure{LockFailure::Kind::cannot_open, "keeps being replaced"});
}

}  // namespace zelm::detail
