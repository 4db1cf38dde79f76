// Removing the lock directory's files that nobody uses any more. The library
// creates two small files per device it ever scanned or owned and never
// removes them itself; hosts (and `zelm clean`) call this now and then.
//
// It is safe while other processes use the library: a file is removed only
// while this process holds its lock exclusively, so nobody owns, probes or
// queries that device meanwhile, and every process that locks a lock file
// checks afterwards that the name still refers to the file it locked and
// otherwise starts over on the file that has the name now.
#pragma once

#include <zelm/export.hpp>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace zelm {

struct CleanOptions {
    // A file is removed only when its last use lies at least this far back.
    // A query lock file is used by every live query of its device (which
    // rewrites the cached answer), an ownership file by every acquisition;
    // the modification time records both. A time in the future counts as
    // recent.
    std::chrono::seconds unused_for = std::chrono::hours(24);
    // Only count what would be removed.
    bool dry_run = false;
};

// A lock file that could not be looked at or removed.
struct CleanFailure {
    std::string file;    // its name in the lock directory
    std::string reason;  // one line
};

struct CleanSummary {
    std::size_t removed = 0;      // files removed (in a dry run: that would be)
    std::size_t kept = 0;         // held by some process, or used within `unused_for`
    std::size_t other_users = 0;  // other users' files, which only they, root and the directory's owner may remove
    std::vector<CleanFailure> failures;
};

// Removes the files of the lock directory (see <zelm/lock.hpp>) that nobody
// holds and nobody has used for `options.unused_for`. Only regular files with
// one link whose names are a lock identity followed by ".occupied" or ".lock"
// are considered; anything else there (links, directories, FIFOs, other
// names) is neither opened nor counted. A missing lock directory is not
// created: there is nothing to clean. Throws
// std::filesystem::filesystem_error when the system temporary directory
// cannot be determined, std::runtime_error "Lock directory <path> is not
// safe: <reason>; <how to fix it>" when the directory is refused as for
// locking, "Cannot clean: lock directory <path> <what is wrong>" when it
// cannot be opened or read, and std::bad_alloc. A file that cannot be looked
// at or removed is no exception: it is listed in the summary's failures.
ZELM_API CleanSummary clean_lock_directory(CleanOptions const& options = {});

}  // namespace zelm
