// Cleaning the lock directory: old files that nobody holds go; files held by
// another process (its owner, a scan's shared hold, a query), recent files
// and everything that is not a lock file stay untouched.
#include <zelm/clean.hpp>
#include <zelm/lock.hpp>

#include "locking/lock_directory.hpp"
#include "locking/ownership_probe.hpp"
#include "locking/query_lock.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <memory>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using zelm::CleanSummary;
using zelm::clean_lock_directory;
using zelm::test::ChildProcess;

constexpr char const* manager_path = "/test/clean_manager.so";

std::string lock_id(int device) {
    return zelm::detail::make_lock_id(manager_path, {{"serial", "CLEAN-" + std::to_string(device)}});
}

ino_t inode_of(fs::path const& path) {
    struct stat status {};
    EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
    return status.st_ino;
}

void make_old(fs::path const& path) {
    struct timespec const two_days_ago[2] = {{time(nullptr) - 2 * 86400, 0}, {time(nullptr) - 2 * 86400, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), two_days_ago, AT_SYMLINK_NOFOLLOW), 0) << path;
}

class Cleaning : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(zelm::detail::is_device_occupied(lock_id(0)));  // creates the directory
    }

    fs::path file(int device, std::string_view suffix) const {
        return tmpdir_.lock_directory() / zelm::detail::lock_file_name(lock_id(device), suffix);
    }
    // A lock file as the library leaves it, last used two days ago.
    fs::path old_file(int device, std::string_view suffix) const {
        auto const path = file(device, suffix);
        std::ofstream{path} << (suffix == zelm::detail::query_file_suffix ? "{}" : "");
        make_old(path);
        return path;
    }

    zelm::test::ScopedTmpdir tmpdir_;
};

void expect_counts(CleanSummary const& summary, std::size_t removed, std::size_t kept) {
    EXPECT_EQ(summary.removed, removed);
    EXPECT_EQ(summary.kept, kept);
    EXPECT_EQ(summary.other_users, 0U);
    for (auto const& failure : summary.failures) {
        ADD_FAILURE() << failure.file << ": " << failure.reason;
    }
}

TEST_F(Cleaning, RemovesOldFilesThatNobodyHoldsAndTheDeviceStaysUsable) {
    auto const occupied = old_file(0, zelm::detail::ownership_file_suffix);
    auto const query = old_file(0, zelm::detail::query_file_suffix);

    expect_counts(clean_lock_directory(), 2, 0);

    EXPECT_FALSE(fs::exists(occupied));
    EXPECT_FALSE(fs::exists(query));
    auto const lock = zelm::detail::OwnershipLock(lock_id(0), true);
    EXPECT_TRUE(lock.held());
    EXPECT_TRUE(fs::exists(occupied)) << "taking the device again creates its file";
}

TEST_F(Cleaning, KeepsRecentFilesAndADryRunRemovesNothing) {
    auto const occupied = file(0, zelm::detail::ownership_file_suffix);  // created just now by SetUp
    auto const query = old_file(1, zelm::detail::query_file_suffix);

    expect_counts(clean_lock_directory(), 1, 1);
    EXPECT_TRUE(fs::exists(occupied));
    EXPECT_FALSE(fs::exists(query));

    expect_counts(clean_lock_directory({.unused_for = 0s, .dry_run = true}), 1, 0);
    EXPECT_TRUE(fs::exists(occupied));
    expect_counts(clean_lock_directory({.unused_for = 0s}), 1, 0);
    EXPECT_FALSE(fs::exists(occupied));
}

TEST_F(Cleaning, AnAcquisitionMarksTheOwnershipFileUsed) {
    auto const occupied = old_file(0, zelm::detail::ownership_file_suffix);
    { zelm::detail::OwnershipLock const owned(lock_id(0), true); }
    expect_counts(clean_lock_directory(), 0, 1);
    EXPECT_TRUE(fs::exists(occupied));
}

// Each way another process holds a lock file keeps it, however old; once the
// holder has let go the file goes.
TEST_F(Cleaning, KeepsFilesThatAnotherProcessHolds) {
    using zelm::detail::LockDirectory;
    struct Case {
        char const* holder;
        std::string_view suffix;
        std::function<std::shared_ptr<void>()> hold;
    };
    std::vector<Case> const cases{
        {"owner", zelm::detail::ownership_file_suffix,
         [] { return std::make_shared<zelm::detail::OwnershipLock>(lock_id(0), true); }},
        {"scan's shared hold", zelm::detail::ownership_file_suffix,
         [] {
             auto hold = zelm::detail::FreeDeviceHold::take(lock_id(0), LockDirectory::open());
             return hold ? std::make_shared<zelm::detail::FreeDeviceHold>(std::move(*hold)) : nullptr;
         }},
        {"query", zelm::detail::query_file_suffix,
         [] { return std::make_shared<zelm::detail::InterprocessLock>(lock_id(0)); }},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.holder);
        for (auto const& entry : fs::directory_iterator(tmpdir_.lock_directory())) {
            fs::remove(entry.path());
        }
        auto const path = old_file(0, c.suffix);
        auto const unheld = old_file(1, c.suffix);
        ChildProcess holder([&](ChildProcess& self) {
            auto const held = c.hold();
            make_old(path);  // an owner marks the file used; only the lock is to keep it here
            self.send(held ? 'h' : 'x');
            self.receive();
            return 0;
        });
        ASSERT_EQ(holder.receive(), 'h');
        auto const inode = inode_of(path);

        expect_counts(clean_lock_directory({.unused_for = 0s}), 1, 1);
        EXPECT_FALSE(fs::exists(unheld));
        ASSERT_TRUE(fs::exists(path));
        EXPECT_EQ(inode_of(path), inode);

        holder.send();
        EXPECT_EQ(holder.wait(), 0);
        expect_counts(clean_lock_directory({.unused_for = 0s}), 1, 0);
        EXPECT_FALSE(fs::exists(path));
    }
}

// What is not a lock file of the library is neither opened nor removed nor
// counted, however old: a link (even to an old lock file elsewhere), a
// directory, a FIFO, a file with a second link, and names that are not a lock
// identity and a suffix.
TEST_F(Cleaning, LeavesEverythingButLockFilesUntouched) {
    zelm::test::TempDir const elsewhere;
    auto const target = elsewhere.path() / "target.lock";
    std::ofstream{target} << "keep";
    make_old(target);
    auto const directory = tmpdir_.lock_directory();
    fs::remove(file(0, zelm::detail::ownership_file_suffix));

    fs::create_symlink(target, file(1, zelm::detail::query_file_suffix));
    fs::create_directory(file(2, zelm::detail::query_file_suffix));
    ASSERT_EQ(mkfifo(file(3, zelm::detail::ownership_file_suffix).c_str(), 0666), 0);
    auto const linked = old_file(4, zelm::detail::query_file_suffix);
    fs::create_hard_link(linked, elsewhere.path() / "second link");
    std::vector<fs::path> const other_names{
        directory / "notes.txt",
        directory / (lock_id(5) + ".lock.bak"),
        directory / (lock_id(5) + ".other"),
        directory / "device_.lock",
        directory / "device_0a.lock",                // a leading zero
        directory / "device_ABC.occupied",           // upper case
        directory / "device_123456789abcdef01.lock", // more than 64 bits
        directory / "prefix_device_1.lock",
    };
    for (auto const& name : other_names) {
        std::ofstream{name} << "keep";
        make_old(name);
    }
    make_old(file(1, zelm::detail::query_file_suffix));
    make_old(file(2, zelm::detail::query_file_suffix));
    make_old(file(3, zelm::detail::ownership_file_suffix));

    std::vector<std::pair<fs::path, ino_t>> before;
    for (auto const& entry : fs::directory_iterator(directory)) {
        before.emplace_back(entry.path(), inode_of(entry.path()));
    }

    expect_counts(clean_lock_directory({.unused_for = 0s}), 0, 0);

    for (auto const& [path, inode] : before) {
        EXPECT_TRUE(fs::exists(fs::symlink_status(path))) << path;
        EXPECT_EQ(inode_of(path), inode) << path;
    }
    EXPECT_EQ(zelm::test::read_file(target), "keep");
}

TEST_F(Cleaning, MissingDirectoryIsNotCreated) {
    fs::remove_all(tmpdir_.lock_directory());
    expect_counts(clean_lock_directory({.unused_for = 0s}), 0, 0);
    EXPECT_FALSE(fs::exists(tmpdir_.lock_directory()));
}

TEST_F(Cleaning, LinkAtTheDirectoryIsRefused) {
    zelm::test::TempDir const elsewhere;
    fs::rename(tmpdir_.lock_directory(), elsewhere.path() / "moved");
    auto const moved_file =
        elsewhere.path() / "moved" / zelm::detail::lock_file_name(lock_id(0), zelm::detail::ownership_file_suffix);
    make_old(moved_file);
    fs::create_directory_symlink(elsewhere.path() / "moved", tmpdir_.lock_directory());

    EXPECT_EQ(zelm::test::runtime_error_of([] { clean_lock_directory({.unused_for = 0s}); }),
              "Cannot clean: lock directory " + tmpdir_.lock_directory().native() + " is a symbolic link");
    EXPECT_TRUE(fs::exists(moved_file));
}

TEST_F(Cleaning, UnsafeDirectoryIsRefusedAsForLocking) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "giving the directory to another user needs root";
    }
    auto const query = old_file(0, zelm::detail::query_file_suffix);
    ASSERT_EQ(chown(tmpdir_.lock_directory().c_str(), 65534, 65534), 0);
    auto const message = zelm::test::runtime_error_of([] { clean_lock_directory({.unused_for = 0s}); });
    EXPECT_TRUE(message.starts_with("Lock directory " + tmpdir_.lock_directory().native() +
                                    " is not safe: owned by uid 65534"))
        << message;
    EXPECT_TRUE(fs::exists(query));
}

}  // namespace
