// The ownership lock: acquisition and probe, in one process and across real
// processes, and the lock directory's refusal of whatever another local user
// may plant there.
#include <zelm/lock.hpp>

#include "test_support.hpp"

#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <stdexcept>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using zelm::detail::acquire_device_ownership_lock;
using zelm::detail::is_device_occupied;

constexpr char const* manager_path = "/test/ownership_manager.so";
constexpr char const* description = R"({"serial":"OL-1","port":3})";

std::string lock_id(std::string const& text = description) {
    return zelm::detail::make_lock_id(manager_path, json::parse(text));
}

mode_t mode_of(fs::path const& path) {
    struct stat status {};
    EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

// The message of the std::runtime_error that acquiring `text` throws.
std::string acquisition_error(std::string const& text = description) {
    try {
        acquire_device_ownership_lock(manager_path, text);
    } catch (std::runtime_error const& error) {
        return error.what();
    }
    ADD_FAILURE() << "acquisition did not throw";
    return {};
}

class OwnershipLock : public ::testing::Test {
protected:
    zelm::test::ScopedTmpdir tmpdir;
    fs::path const lock_file = zelm::test::ownership_lock_file(lock_id());
};

class Umask {
public:
    explicit Umask(mode_t mask) : previous_(umask(mask)) {}
    ~Umask() { umask(previous_); }
    Umask(Umask const&) = delete;
    Umask& operator=(Umask const&) = delete;

private:
    mode_t previous_;
};

TEST_F(OwnershipLock, AcquisitionCreatesASharedEmptyFileWhateverTheUmask) {
    Umask const mask(077);
    auto lock = acquire_device_ownership_lock(manager_path, description);
    ASSERT_NE(lock, nullptr);
    EXPECT_TRUE(lock->held());
    EXPECT_GT(lock->fd(), 2);
    EXPECT_EQ(lock->path(), lock_file);
    EXPECT_EQ(mode_of(lock_file), 0666);
    EXPECT_EQ(mode_of(tmpdir.lock_directory()), 01777);

    lock.reset();
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(lock_file))) << "the file stays";
    EXPECT_EQ(fs::file_size(lock_file), 0u);
}

TEST_F(OwnershipLock, ModesOfExistingDirectoryAndFileAreRepaired) {
    fs::create_directory(tmpdir.lock_directory());
    chmod(tmpdir.lock_directory().c_str(), 0700);
    std::ofstream{lock_file};
    chmod(lock_file.c_str(), 0600);

    auto const lock = acquire_device_ownership_lock(manager_path, description);
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(mode_of(tmpdir.lock_directory()), 01777);
    EXPECT_EQ(mode_of(lock_file), 0666);
}

TEST_F(OwnershipLock, SecondAcquisitionInOneProcessIsOccupiedUntilRelease) {
    auto first = acquire_device_ownership_lock(manager_path, description);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(acquisition_error(), "Device is already occupied");
    // The same device, written another way.
    EXPECT_EQ(acquisition_error(R"({ "port": 3, "serial": "OL-1" })"), "Device is already occupied");
    EXPECT_TRUE(first->held()) << "the failed attempts left the holder alone";

    first.reset();
    auto const second = acquire_device_ownership_lock(manager_path, description);
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(second->held());
}

TEST_F(OwnershipLock, EmptyDescriptionTakesNoLockAndTouchesNothing) {
    EXPECT_EQ(acquire_device_ownership_lock(manager_path, ""), nullptr);
    EXPECT_FALSE(fs::exists(tmpdir.lock_directory()));
}

TEST_F(OwnershipLock, DescriptionThatIsNotJsonIsAParseErrorAndTouchesNothing) {
    for (std::string const text : {"{", "   ", "not json", R"({"a":1} trailing)", "/* c */ {}"}) {
        EXPECT_THROW(acquire_device_ownership_lock(manager_path, text), json::parse_error) << text;
    }
    EXPECT_FALSE(fs::exists(tmpdir.lock_directory()));
}

TEST_F(OwnershipLock, ProbeOfAFreeDeviceCreatesTheFileAndLeavesItFree) {
    EXPECT_FALSE(is_device_occupied(lock_id()));
    EXPECT_TRUE(fs::is_regular_file(lock_file));
    EXPECT_EQ(mode_of(lock_file), 0666);
    EXPECT_FALSE(is_device_occupied(lock_id()));
    auto const lock = acquire_device_ownership_lock(manager_path, description);
    ASSERT_NE(lock, nullptr);
    EXPECT_TRUE(lock->held());
}

TEST_F(OwnershipLock, ProbeSeesAHolderAndNeverDisturbsIt) {
    auto const holder = acquire_device_ownership_lock(manager_path, description);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(is_device_occupied(lock_id()));
    }
    EXPECT_EQ(acquisition_error(), "Device is already occupied");
    EXPECT_EQ(zelm::test::run_in_child([&] { return is_device_occupied(lock_id()) ? 0 : 1; }), 0)
        << "another process sees the device occupied";
    EXPECT_TRUE(is_device_occupied(lock_id()));
}

TEST_F(OwnershipLock, HolderInAnotherProcessExcludesThisOne) {
    zelm::test::ChildProcess holder([](zelm::test::ChildProcess& self) {
        auto lock = acquire_device_ownership_lock(manager_path, description);
        self.send('h');
        self.receive();
        lock.reset();
        self.send('r');
        self.receive();
        return 0;
    });
    ASSERT_EQ(holder.receive(), 'h');
    EXPECT_TRUE(is_device_occupied(lock_id()));
    EXPECT_EQ(acquisition_error(), "Device is already occupied");

    holder.send();
    ASSERT_EQ(holder.receive(), 'r');
    EXPECT_FALSE(is_device_occupied(lock_id())) << "released while the process still runs";
    holder.send();
    EXPECT_EQ(holder.wait(), 0);
}

TEST_F(OwnershipLock, KilledHolderFreesTheDeviceAtOnce) {
    zelm::test::ChildProcess holder([](zelm::test::ChildProcess& self) {
        auto const lock = acquire_device_ownership_lock(manager_path, description);
        self.send('h');
        self.receive();  // never answered: the parent kills us
        return 0;
    });
    ASSERT_EQ(holder.receive(), 'h');
    EXPECT_TRUE(is_device_occupied(lock_id()));
    holder.kill(SIGKILL);
    EXPECT_EQ(holder.wait(), 128 + SIGKILL);
    EXPECT_FALSE(is_device_occupied(lock_id()));
    auto const lock = acquire_device_ownership_lock(manager_path, description);
    ASSERT_NE(lock, nullptr);
    EXPECT_TRUE(lock->held());
}

TEST_F(OwnershipLock, ChildThatInheritedTheDescriptorKeepsOwnershipUntilItClosesToo) {
    auto lock = acquire_device_ownership_lock(manager_path, description);
    ASSERT_NE(lock, nullptr);
    zelm::test::ChildProcess child([](zelm::test::ChildProcess& self) {
        self.receive();
        return 0;
    });
    lock.reset();
    EXPECT_TRUE(is_device_occupied(lock_id())) << "the child's copy of the descriptor still holds the device";
    child.send();
    EXPECT_EQ(child.wait(), 0);
    EXPECT_FALSE(is_device_occupied(lock_id()));
}

TEST_F(OwnershipLock, UndeterminableTemporaryDirectoryIsAFileSystemError) {
    setenv("TMPDIR", (tmpdir.path() / "missing").c_str(), 1);
    EXPECT_THROW(acquire_device_ownership_lock(manager_path, description), fs::filesystem_error);
    EXPECT_THROW(is_device_occupied(lock_id()), fs::filesystem_error);
    EXPECT_THROW(zelm::detail::OwnershipLock(lock_id(), false), fs::filesystem_error);
}

TEST_F(OwnershipLock, LockNeverLandsOnAStandardStream) {
    // A host that closed its standard streams would otherwise write its log
    // output into the lock file.
    int const result = zelm::test::run_in_child([] {
        close(STDIN_FILENO);
        close(STDOUT_FILENO);
        close(STDERR_FILENO);
        auto const lock = acquire_device_ownership_lock(manager_path, description);
        if (lock == nullptr || !lock->held()) {
            return 1;
        }
        return lock->fd() > STDERR_FILENO ? 0 : 2;
    });
    EXPECT_EQ(result, 0);
}

// Something another local user planted where the lock directory or the lock
// file belongs. Planting returns a check that whatever the plant points to
// was left untouched.
struct Obstacle {
    char const* name;
    std::function<std::function<void()>(fs::path const& tmpdir, fs::path const& lock_file)> plant;
    char const* reason;  // what the error message says was refused
};

// A file of ours that a planted link points to, and the check that it kept
// its mode, size, time and content.
std::function<void()> precious_file(fs::path const& path, mode_t mode) {
    std::ofstream(path) << "keep me";
    chmod(path.c_str(), mode);
    auto const time = fs::file_time_type::clock::now() - std::chrono::hours(24 * 365);
    fs::last_write_time(path, time);
    return [path, mode, time] {
        EXPECT_EQ(mode_of(path), mode);
        EXPECT_EQ(fs::file_size(path), 7u);
        EXPECT_EQ(fs::last_write_time(path), time);
        std::string content;
        std::getline(std::ifstream(path), content);
        EXPECT_EQ(content, "keep me");
    };
}

void make_lock_directory(fs::path const& lock_file) {
    fs::create_directories(lock_file.parent_path());
    chmod(lock_file.parent_path().c_str(), 01777);
}

Obstacle const obstacles[] = {
    {"symlink_at_directory",
     [](fs::path const& tmpdir, fs::path const& lock_file) -> std::function<void()> {
         auto const target = tmpdir / "home";
         fs::create_directory(target);
         chmod(target.c_str(), 0700);
         fs::create_directory_symlink(target, lock_file.parent_path());
         return [target] {
             EXPECT_EQ(mode_of(target), 0700);
             EXPECT_TRUE(fs::is_empty(target));
         };
     },
     // Linux reports a link met with O_DIRECTORY | O_NOFOLLOW as "not a
     // directory"; what matters is that the lock directory was refused.
     "lock directory"},
    {"file_at_directory",
     [](fs::path const&, fs::path const& lock_file) { return precious_file(lock_file.parent_path(), 0600); },
     "is not a directory"},
    {"symlink_at_file",
     [](fs::path const& tmpdir, fs::path const& lock_file) {
         make_lock_directory(lock_file);
         auto check = precious_file(tmpdir / "precious", 0600);
         fs::create_symlink(tmpdir / "precious", lock_file);
         return check;
     },
     "is a symbolic link"},
    {"dangling_symlink_at_file",
     [](fs::path const& tmpdir, fs::path const& lock_file) -> std::function<void()> {
         make_lock_directory(lock_file);
         fs::create_symlink(tmpdir / "planted", lock_file);
         return [tmpdir] { EXPECT_FALSE(fs::exists(fs::symlink_status(tmpdir / "planted"))); };
     },
     "is a symbolic link"},
    {"fifo_at_file",
     [](fs::path const&, fs::path const& lock_file) -> std::function<void()> {
         make_lock_directory(lock_file);
         EXPECT_EQ(mkfifo(lock_file.c_str(), 0666), 0);
         return [lock_file] { EXPECT_TRUE(fs::is_fifo(lock_file)); };
     },
     "is not a regular file"},
    {"hard_link_at_file",
     [](fs::path const& tmpdir, fs::path const& lock_file) {
         make_lock_directory(lock_file);
         auto check = precious_file(tmpdir / "linked", 0600);
         fs::create_hard_link(tmpdir / "linked", lock_file);
         return check;
     },
     "has 2 hard links"},
    {"directory_at_file",
     [](fs::path const&, fs::path const& lock_file) -> std::function<void()> {
         make_lock_directory(lock_file);
         fs::create_directory(lock_file);
         return [lock_file] { EXPECT_TRUE(fs::is_empty(lock_file)); };
     },
     "Is a directory"},
};

void PrintTo(Obstacle const& obstacle, std::ostream* out) { *out << obstacle.name; }

class PlantedObstacle : public ::testing::TestWithParam<Obstacle> {
protected:
    zelm::test::ScopedTmpdir tmpdir;
};

TEST_P(PlantedObstacle, IsRefusedAndLeftAlone) {
    auto const lock_file = zelm::test::ownership_lock_file(lock_id());
    auto const untouched = GetParam().plant(tmpdir.path(), lock_file);

    EXPECT_TRUE(is_device_occupied(lock_id()));
    auto const message = acquisition_error();
    auto const prefix = "Cannot open device lock file: " + lock_file.native() + ": ";
    EXPECT_TRUE(message.starts_with(prefix)) << message;
    EXPECT_NE(message.find(GetParam().reason, prefix.size()), std::string::npos) << message;
    EXPECT_THROW(zelm::detail::OwnershipLock(lock_id(), true), std::runtime_error);
    EXPECT_FALSE(zelm::detail::OwnershipLock(lock_id(), false).held());
    untouched();
}

INSTANTIATE_TEST_SUITE_P(LockDirectory, PlantedObstacle, ::testing::ValuesIn(obstacles),
                         [](auto const& test_case) { return std::string(test_case.param.name); });

// Runs `body` in a child process as the user nobody; its result is the exit code.
int run_as_nobody(std::function<int()> const& body) {
    return zelm::test::run_in_child([&body] {
        passwd const* nobody = getpwnam("nobody");
        if (nobody == nullptr || setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 ||
            setuid(nobody->pw_uid) != 0) {
            return 100;
        }
        return body();
    });
}

class OtherUser : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root to act as another user";
        }
        // mkdtemp made it 0700; the other user must reach the lock directory.
        chmod(tmpdir.path().c_str(), 0755);
    }

    zelm::test::ScopedTmpdir tmpdir;
};

TEST_F(OtherUser, LockDirectoryWithoutWriteAccessMakesEveryDeviceUnavailable) {
    fs::create_directory(tmpdir.lock_directory());
    chmod(tmpdir.lock_directory().c_str(), 0755);
    auto const expected = "Cannot open device lock file: " + zelm::test::ownership_lock_file(lock_id()).native() +
                          ": Permission denied";
    int const result = run_as_nobody([&expected] {
        if (!is_device_occupied(lock_id())) {
            return 1;
        }
        try {
            acquire_device_ownership_lock(manager_path, description);
            return 2;
        } catch (std::runtime_error const& error) {
            if (error.what() != expected) {
                std::fprintf(stderr, "unexpected message: %s\n", error.what());
                return 3;
            }
        }
        return 0;
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(mode_of(tmpdir.lock_directory()), 0755) << "another user's directory keeps its mode";
    EXPECT_TRUE(fs::is_empty(tmpdir.lock_directory()));
}

TEST_F(OtherUser, LockFilesAreSharedBetweenUsers) {
    Umask const mask(077);
    auto lock = acquire_device_ownership_lock(manager_path, description);
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(run_as_nobody([] { return is_device_occupied(lock_id()) ? 0 : 1; }), 0);

    lock.reset();
    int const result = run_as_nobody([] {
        auto const own = acquire_device_ownership_lock(manager_path, description);
        return own != nullptr && own->held() ? 0 : 1;
    });
    EXPECT_EQ(result, 0) << "a file root created can be locked by another user";
}

}  // namespace
