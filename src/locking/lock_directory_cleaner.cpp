// Removal of the lock files that nobody holds and nobody has used for a
// while. A file is removed only while this process holds its lock
// exclusively: whoever opened it before the removal and locks it after finds
// that its name has gone (LockDirectory::lock_file checks that after every
// lock) and starts over on the file that has the name now, so two processes
// never hold two different files of one device.
#include <zelm/clean.hpp>

#include "locking/lock_directory.hpp"
#include "locking/lock_identity.hpp"

#include <dirent.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <expected>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace zelm {
namespace {

using detail::FileDescriptor;
using detail::LockDirectory;
using detail::system_calls;

// What became of one file.
enum class Outcome { removed, kept, other_user, ignored };

bool is_lock_file_name(std::string_view name) {
    return std::ranges::any_of(std::array{detail::ownership_file_suffix, detail::query_file_suffix},
                               [name](std::string_view suffix) {
                                   return name.ends_with(suffix) &&
                                          detail::is_lock_id(name.substr(0, name.size() - suffix.size()));
                               });
}

[[noreturn]] void cannot_read(LockDirectory const& directory, int error) {
    throw std::runtime_error("Cannot clean: lock directory " + directory.path().native() +
                             " cannot be read: " + std::strerror(error));
}

// The names of the lock files in the directory, read through a descriptor of
// its own: the directory's is shared with every lock taken in it.
std::vector<std::string> lock_file_names(LockDirectory const& directory) {
    int const fd = system_calls().openat(directory.descriptor(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) {
        cannot_read(directory, errno);
    }
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(fd), ::closedir);
    if (!listing) {
        int const error = errno;
        system_calls().close(fd);
        cannot_read(directory, error);
    }
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        dirent const* entry = ::readdir(listing.get());
        if (entry == nullptr) {
            if (errno != 0) {
                cannot_read(directory, errno);
            }
            return names;
        }
        if (is_lock_file_name(entry->d_name)) {
            names.emplace_back(entry->d_name);
        }
    }
}

// Whether a file last modified at `modified` has gone unused for `limit` by
// `now`. Compared in whole seconds first, where no time stamp, however far
// off, overflows; a time in the future is recent.
bool unused_for(struct timespec const& modified, std::chrono::seconds limit, struct timespec const& now) {
    if (modified.tv_sec > now.tv_sec) {
        return false;
    }
    auto const age = now.tv_sec - std::max<time_t>(modified.tv_sec, 0);
    auto const bound = std::max<std::chrono::seconds::rep>(limit.count(), 0);
    if (age != bound) {
        return age > bound;
    }
    return now.tv_nsec >= modified.tv_nsec;
}

// A lock taken for the removal, given back before the file is closed: a child
// forked meanwhile by another thread must not keep a file that stays.
class ExclusiveHold {
public:
    explicit ExclusiveHold(int fd) : fd_(fd) {}
    ~ExclusiveHold() { system_calls().flock(fd_, LOCK_UN); }
    ExclusiveHold(ExclusiveHold const&) = delete;
    ExclusiveHold& operator=(ExclusiveHold const&) = delete;

private:
    int fd_;
};

class Cleaner {
public:
    Cleaner(LockDirectory const& directory, CleanOptions const& options)
        : directory_(directory), options_(options), user_(::geteuid()) {
        ::clock_gettime(CLOCK_REALTIME, &now_);
    }

    // What became of `name`, or why it could not be looked at or removed.
    std::expected<Outcome, std::string> clean(char const* name) const {
        struct stat found {};
        if (system_calls().fstatat(directory_.descriptor(), name, &found, AT_SYMLINK_NOFOLLOW) != 0) {
            return gone_or_failed(errno);
        }
        // Looked at before opening: a link, a FIFO or another user's file is
        // never opened, and a recent file is not even locked.
        if (detail::unusable_because(found)) {
            return Outcome::ignored;
        }
        if (!may_remove(found)) {
            return Outcome::other_user;
        }
        if (!unused(found)) {
            return Outcome::kept;
        }
        auto const file = directory_.open_existing(name);
        if (!file) {
            return gone_or_failed(file.error());
        }
        if (detail::unusable_because(file->status)) {
            return Outcome::ignored;  // replaced by something else meanwhile
        }
        return clean_opened(name, *file);
    }

private:
    std::expected<Outcome, std::string> clean_opened(char const* name, LockDirectory::OpenedFile const& file) const {
        int const fd = file.fd.get();
        if (system_calls().flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK) {
                return Outcome::kept;  // held: owned, probed or queried right now
            }
            return std::unexpected(std::string("cannot lock: ") + std::strerror(errno));
        }
        ExclusiveHold const hold(fd);
        // Nobody else holds the file now; its last use is final until we let go.
        struct stat locked {};
        if (system_calls().fstat(fd, &locked) != 0) {
            return std::unexpected(std::strerror(errno));
        }
        if (!directory_.still_names(name, file.status)) {
            return Outcome::ignored;  // another clean removed it first
        }
        if (!unused(locked)) {
            return Outcome::kept;  // used between the first look and the lock
        }
        if (options_.dry_run) {
            return Outcome::removed;
        }
        if (system_calls().unlinkat(directory_.descriptor(), name, 0) != 0) {
            return gone_or_failed(errno);
        }
        return Outcome::removed;
    }

    // The sticky directory lets only a file's owner, the directory's owner
    // and root remove a file.
    bool may_remove(struct stat const& status) const {
        return user_ == 0 || status.st_uid == user_ || directory_.owner() == user_;
    }

    bool unused(struct stat const& status) const { return unused_for(status.st_mtim, options_.unused_for, now_); }

    static std::expected<Outcome, std::string> gone_or_failed(int error) {
        if (error == ENOENT) {
            return Outcome::ignored;  // removed by someone else meanwhile
        }
        return std::unexpected(std::string(std::strerror(error)));
    }

    LockDirectory const& directory_;
    CleanOptions const& options_;
    uid_t user_;
    struct timespec now_ {};
};

void count(CleanSummary& summary, Outcome outcome) {
    switch (outcome) {
    case Outcome::removed:
        ++summary.removed;
        break;
    case Outcome::kept:
        ++summary.kept;
        break;
    case Outcome::other_user:
        ++summary.other_users;
        break;
    case Outcome::ignored:
        break;
    }
}

// Whether `path` names nothing at all, so that there is nothing to clean and
// nothing to create.
bool missing(std::filesystem::path const& path) {
    struct stat status {};
    return system_calls().fstatat(AT_FDCWD, path.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
}

}  // namespace

CleanSummary clean_lock_directory(CleanOptions const& options) {
    auto const temporary = std::filesystem::temp_directory_path();
    if (missing(temporary / detail::lock_directory_name)) {
        return {};
    }
    auto const directory = LockDirectory::open_under(temporary);
    if (directory.descriptor() < 0) {
        auto const& failure = directory.failure();
        throw std::runtime_error(failure.kind == detail::LockFailure::Kind::unsafe_directory
                                     ? failure.reason
                                     : "Cannot clean: " + failure.reason);
    }
    Cleaner const cleaner(directory, options);
    CleanSummary summary;
    for (auto const& name : lock_file_names(directory)) {
        auto const outcome = cleaner.clean(name.c_str());
        if (outcome) {
            count(summary, *outcome);
        } else {
            summary.failures.push_back({name, outcome.error()});
        }
    }
    return summary;
}

}  // namespace zelm
