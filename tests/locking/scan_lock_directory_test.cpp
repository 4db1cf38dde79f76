// The lock directory that a scan keeps open across its devices: whatever
// happens to the directory between two devices (replaced, removed, turned
// into a link, its mode changed, TMPDIR pointed elsewhere), the next device
// must use what a fresh opening would, never the stale descriptor.
#include "locking/lock_directory.hpp"
#include "locking/system_calls.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <optional>

namespace {

namespace fs = std::filesystem;
using zelm::detail::LockFailure;
using zelm::detail::OnExec;
using zelm::detail::ScanLockDirectory;

constexpr char const* probe_name = "device_5ca9.occupied";

mode_t mode_of(fs::path const& path) {
    struct stat status {};
    EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

struct Change {
    char const* name;
    // Acts on the lock directory the scan holds; returns the new TMPDIR, if any.
    std::function<std::optional<fs::path>(fs::path const& lock_directory, fs::path const& elsewhere)> act;
    bool usable_after;  // whether the next device can still be locked
};

void PrintTo(Change const& change, std::ostream* out) { *out << change.name; }

Change const changes[] = {
    {"ReplacedByAnotherDirectory",
     [](fs::path const& directory, fs::path const& elsewhere) -> std::optional<fs::path> {
         fs::rename(directory, elsewhere / "moved_away");
         fs::create_directory(directory);
         return std::nullopt;
     },
     true},
    {"Removed",
     [](fs::path const& directory, fs::path const&) -> std::optional<fs::path> {
         fs::remove_all(directory);
         return std::nullopt;
     },
     true},
    {"TurnedIntoALink",
     [](fs::path const& directory, fs::path const& elsewhere) -> std::optional<fs::path> {
         fs::rename(directory, elsewhere / "target");
         fs::create_directory_symlink(elsewhere / "target", directory);
         return std::nullopt;
     },
     false},
    {"TemporaryDirectoryChanged",
     [](fs::path const&, fs::path const& elsewhere) -> std::optional<fs::path> { return elsewhere; },
     true},
};

class ScanLockDirectoryChange : public testing::TestWithParam<Change> {
protected:
    zelm::test::ScopedTmpdir tmpdir;
    zelm::test::TempDir elsewhere;
};

TEST_P(ScanLockDirectoryChange, NextDeviceNeverUsesTheStaleDirectory) {
    ScanLockDirectory scan;
    ASSERT_TRUE(scan.current().lock_file(probe_name, LOCK_SH | LOCK_NB, OnExec::close)) << "the first device";

    auto const new_tmpdir = GetParam().act(tmpdir.lock_directory(), elsewhere.path());
    if (new_tmpdir) {
        setenv("TMPDIR", new_tmpdir->c_str(), 1);  // ScopedTmpdir restores it
    }
    auto const expected_directory = zelm::test::ownership_lock_file("any").parent_path();  // under TMPDIR as now

    auto const& directory = scan.current();
    EXPECT_EQ(directory.path(), expected_directory);
    auto const locked = directory.lock_file(probe_name, LOCK_SH | LOCK_NB, OnExec::close);
    if (GetParam().usable_after) {
        ASSERT_TRUE(locked) << locked.error().reason;
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(expected_directory / probe_name)))
            << "the lock file must be in the directory the path names now";
        EXPECT_EQ(mode_of(expected_directory), 01777);
    } else {
        ASSERT_FALSE(locked);
        EXPECT_EQ(locked.error().kind, LockFailure::Kind::cannot_open);
        EXPECT_TRUE(locked.error().reason.starts_with("lock directory " + expected_directory.native() + " "))
            << locked.error().reason;
    }
}

INSTANTIATE_TEST_SUITE_P(Changes, ScanLockDirectoryChange, testing::ValuesIn(changes),
                         [](auto const& test_case) { return std::string(test_case.param.name); });

// Opening gives the directory mode 01777 where it differs; so must every
// later use of the directory the scan keeps.
TEST(ScanLockDirectory, ModeChangedBetweenDevicesIsSetAgain) {
    zelm::test::ScopedTmpdir const tmpdir;
    ScanLockDirectory scan;
    ASSERT_TRUE(scan.current().lock_file(probe_name, LOCK_SH | LOCK_NB, OnExec::close));
    fs::permissions(tmpdir.lock_directory(), fs::perms::owner_all, fs::perm_options::replace);

    ASSERT_TRUE(scan.current().lock_file(probe_name, LOCK_SH | LOCK_NB, OnExec::close));
    EXPECT_EQ(mode_of(tmpdir.lock_directory()), 01777);
}

// A directory that becomes unsafe between two devices, and that we may not
// repair, is refused for the next device as a fresh opening would refuse it.
TEST(ScanLockDirectory, DirectoryMadeUnsafeBetweenDevicesIsRefused) {
    zelm::test::ScopedTmpdir const tmpdir;
    ScanLockDirectory scan;
    ASSERT_TRUE(scan.current().lock_file(probe_name, LOCK_SH | LOCK_NB, OnExec::close));
    fs::permissions(tmpdir.lock_directory(), fs::perms::all, fs::perm_options::replace);
    zelm::detail::system_calls().fchmod = [](int, mode_t) {
        errno = EPERM;
        return -1;
    };

    auto const locked = scan.current().lock_file(probe_name, LOCK_SH | LOCK_NB, OnExec::close);
    zelm::detail::system_calls() = zelm::detail::real_system_calls();
    ASSERT_FALSE(locked);
    EXPECT_EQ(locked.error().kind, LockFailure::Kind::unsafe_directory);
    EXPECT_TRUE(locked.error().reason.starts_with("Lock directory " + tmpdir.lock_directory().native() +
                                                  " is not safe: writable by others but not sticky (mode 0777); "))
        << locked.error().reason;
}

}  // namespace
