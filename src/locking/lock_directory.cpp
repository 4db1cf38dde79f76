// Safe opening of the shared lock directory and its lock files.
#include "locking/lock_directory.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

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

// A scan keeps the directory's descriptor while it queries devices, whose
// plug-ins may open files of their own: in a host that closed its standard
// streams, it is moved above them, so that no plug-in file lands on one.
int off_standard_streams(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) {
        return fd;
    }
    int const moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    int const error = errno;
    system_calls().close(fd);
    errno = error;
    return moved;
}

int open_directory(std::filesystem::path const& path) {
    // Close-on-exec is right for the directory, unlike for lock files.
    int const flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = system_calls().open(path.c_str(), flags, 0);
    if (fd < 0 && errno == ENOENT) {
        std::error_code ignored;
        std::filesystem::create_directories(path, ignored);
        fd = system_calls().open(path.c_str(), flags, 0);
    }
    return off_standard_streams(fd);
}

// Moves `fd` above the standard streams: a host that closed them would
// otherwise have its log output written into a lock file.
int above_standard_streams(int fd) {
    if (fd > STDERR_FILENO) {
        return fd;
    }
    int const moved = system_calls().dup_above(fd, STDERR_FILENO + 1);
    int const error = errno;
    system_calls().close(fd);
    errno = error;
    return moved;
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

std::filesystem::path lock_directory_path() { return std::filesystem::temp_directory_path() / "rezored_izede"; }

LockDirectory::LockDirectory(std::filesystem::path temporary, std::filesystem::path path, FileDescriptor directory,
                             std::string error)
    : temporary_(std::move(temporary)),
      path_(std::move(path)),
      directory_(std::move(directory)),
      error_(std::move(error)) {}

LockDirectory LockDirectory::open() { return open_under(std::filesystem::temp_directory_path()); }

LockDirectory LockDirectory::open_under(std::filesystem::path const& temporary) {
    auto path = temporary / "rezored_izede";
    FileDescriptor directory(open_directory(path));
    if (!directory) {
        int const error_number = errno;
        std::error_code ignored;
        // O_DIRECTORY | O_NOFOLLOW gives ENOTDIR, not ELOOP, for a link.
        auto error = "lock directory " + path.native() + " " +
                     error_text(error_number == ENOTDIR && std::filesystem::is_symlink(path, ignored) ? ELOOP
                                                                                                   : error_number);
        return LockDirectory(temporary, std::move(path), FileDescriptor(), std::move(error));
    }
    struct stat status {};
    bool const identified = system_calls().fstat(directory.get(), &status) == 0;
    if (identified) {
        set_mode_if_different(directory.get(), status, directory_mode);
    }
    LockDirectory opened(temporary, std::move(path), std::move(directory), {});
    opened.device_ = status.st_dev;
    opened.inode_ = status.st_ino;
    opened.identified_ = identified;
    return opened;
}

bool LockDirectory::still_current(char const* temporary) const {
    if (!directory_ || !identified_ || temporary_.native() != temporary) {
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
    set_mode_if_different(directory_.get(), status, directory_mode);
    return true;
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

std::expected<LockDirectory::OpenedFile, std::string> LockDirectory::open_file(char const* name) const {
    // No O_CLOEXEC: a child process inherits the ownership it was started with.
    int const flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK;
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
    FileDescriptor file(above_standard_streams(fd));
    if (!file) {
        return std::unexpected(error_text(errno));
    }
    struct stat status {};
    if (system_calls().fstat(file.get(), &status) != 0) {
        return std::unexpected(error_text(errno));
    }
    if (!S_ISREG(status.st_mode)) {
        return std::unexpected("is not a regular file");
    }
    if (status.st_nlink != 1) {
        return std::unexpected("has " + std::to_string(status.st_nlink) + " hard links");
    }
    set_mode_if_different(file.get(), status, file_mode);
    return OpenedFile{std::move(file), status};
}

// `held` is the descriptor's status from before the lock: an open file's
// device and inode never change, so no second fstat is needed.
bool LockDirectory::still_names(char const* name, struct stat const& held) const {
    struct stat named {};
    return system_calls().fstatat(directory_.get(), name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

std::expected<FileDescriptor, LockFailure> LockDirectory::lock_file(char const* name, int operation) const {
    if (!directory_) {
        return std::unexpected(LockFailure{LockFailure::Kind::cannot_open, error_});
    }
    for (int attempt = 0; attempt < max_attempts; ++attempt) {
        auto file = open_file(name);
        if (!file) {
            return std::unexpected(LockFailure{LockFailure::Kind::cannot_open, std::move(file.error())});
        }
        int result = system_calls().flock(file->fd.get(), operation);
        while (result != 0 && errno == EINTR) {
            result = system_calls().flock(file->fd.get(), operation);
        }
        if (result != 0) {
            return std::unexpected(LockFailure{LockFailure::Kind::busy, std::strerror(errno)});
        }
        if (still_names(name, file->status)) {
            return std::move(file->fd);
        }
        // Replaced between open and lock: closing releases the stale lock.
    }
    return std::unexpected(LockFailure{LockFailure::Kind::cannot_open, "keeps being replaced"});
}

}  // namespace zelm::detail
