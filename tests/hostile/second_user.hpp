// Acting as a second, unprivileged local user (`nobody`) from a test that
// runs as root, and noting what the kernel contributes on this machine.
#pragma once

#include "test_support.hpp"

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace zelm::hostile {

// Drops this (forked) process to `nobody` for good; false when it cannot.
bool become_nobody();
// Runs `body` in a forked child as `nobody`; the exit code, 100 when the
// switch failed.
int run_as_nobody(std::function<int()> const& body);
// The reason a test cannot act as a second user here, if any.
std::optional<std::string> second_user_unavailable();

// What lstat and the content say about a path, to show that it was left alone.
struct Snapshot {
    mode_t mode = 0;
    uid_t owner = 0;
    off_t size = 0;
    nlink_t links = 0;
    timespec modified{};
    std::string content;  // a regular file's bytes, or a directory's names

    bool operator==(Snapshot const& other) const;
};
Snapshot snapshot(std::filesystem::path const& path);
std::ostream& operator<<(std::ostream& out, Snapshot const& snapshot);

// Prints fs.protected_regular once per test program and says what it means
// for the tests that share lock files between users.
void note_protected_regular();

// The kernel's fs.protected_regular rule, applied through the system-call
// seam: O_CREAT without O_EXCL on an existing regular file in a sticky,
// world-writable directory fails with EACCES when the file belongs neither to
// the directory's owner nor to the caller. Lets a machine without the
// setting show that lock files are opened before they are created.
int protected_regular_openat(int directory, char const* name, int flags, mode_t mode);

}  // namespace zelm::hostile
