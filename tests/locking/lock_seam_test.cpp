// The ownership lock against races and failures that only the system-call
// seam can stage: a lock file replaced between open and flock, one that
// keeps being replaced, one removed by a clean that holds it, and a failing
// open.
#include <zelm/lock.hpp>

#include "locking/lock_directory.hpp"
#include "locking/ownership_probe.hpp"
#include "locking/query_lock.hpp"
#include "locking/system_calls.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

namespace fs = std::filesystem;
using zelm::detail::acquire_device_ownership_lock;
using zelm::detail::is_device_occupied;
using zelm::detail::real_system_calls;
using zelm::detail::system_calls;

constexpr char const* manager_path = "/test/seam_manager.so";
constexpr char const* description = R"({"serial":"SEAM"})";

std::string lock_id() { return zelm::detail::make_lock_id(manager_path, nlohmann::json::parse(description)); }

ino_t inode_of(int fd) {
    struct stat status {};
    EXPECT_EQ(fstat(fd, &status), 0);
    return status.st_ino;
}

ino_t inode_of(fs::path const& path) {
    struct stat status {};
    EXPECT_EQ(stat(path.c_str(), &status), 0) << path;
    return status.st_ino;
}

// What the replacing flock renames over the lock file, and how often.
struct Replacement {
    fs::path lock_file;
    fs::path source;
    int remaining = 0;
    int lock_attempts = 0;
};
Replacement replacement;

void create_file(fs::path const& path) {
    std::ofstream{path};
    chmod(path.c_str(), 0666);
}

// Another process's move, staged between our open and our flock.
int replacing_flock(int fd, int operation) {
    if ((operation & (LOCK_SH | LOCK_EX)) != 0) {
        ++replacement.lock_attempts;
        if (replacement.remaining > 0) {
            --replacement.remaining;
            create_file(replacement.source);
            std::rename(replacement.source.c_str(), replacement.lock_file.c_str());
        }
    }
    return real_system_calls().flock(fd, operation);
}

// Another thread of the host forks while a probe holds the lock; the child
// inherits the probe's descriptor and keeps it until killed.
pid_t forked_child = -1;

int forking_flock(int fd, int operation) {
    int const result = real_system_calls().flock(fd, operation);
    if (result == 0 && (operation & (LOCK_SH | LOCK_EX)) != 0 && forked_child < 0) {
        forked_child = fork();
        if (forked_child == 0) {
            pause();
            _exit(0);
        }
    }
    return result;
}

int failing_openat(int, char const*, int, mode_t) {
    errno = EMFILE;
    return -1;
}

class LockSeam : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(is_device_occupied(lock_id()));  // creates the directory and the file
        replacement = Replacement{lock_file, lock_file.parent_path() / "replacement", 0, 0};
    }
    void TearDown() override { system_calls() = real_system_calls(); }

    zelm::test::ScopedTmpdir tmpdir;
    fs::path const lock_file = zelm::test::ownership_lock_file(lock_id());
};

TEST_F(LockSeam, FileReplacedBetweenOpenAndLockIsLockedUnderItsNewName) {
    int const original = open(lock_file.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(original, 0);
    replacement.remaining = 1;
    system_calls().flock = replacing_flock;

    auto const lock = acquire_device_ownership_lock(manager_path, description);
    system_calls() = real_system_calls();

    ASSERT_NE(lock, nullptr);
    EXPECT_TRUE(lock->held());
    EXPECT_EQ(replacement.lock_attempts, 2) << "one more attempt on the new file";
    EXPECT_NE(inode_of(original), inode_of(lock_file));
    EXPECT_EQ(inode_of(lock->fd()), inode_of(lock_file)) << "the lock is on the file the name refers to";
    EXPECT_TRUE(is_device_occupied(lock_id()));
    EXPECT_EQ(flock(original, LOCK_EX | LOCK_NB), 0) << "the lock on the replaced file was let go";
    close(original);
}

TEST_F(LockSeam, FileThatKeepsBeingReplacedIsGivenUp) {
    replacement.remaining = 1000;
    system_calls().flock = replacing_flock;

    try {
        acquire_device_ownership_lock(manager_path, description);
        ADD_FAILURE() << "no exception";
    } catch (std::runtime_error const& error) {
        EXPECT_EQ(std::string(error.what()),
                  "Cannot open device lock file: " + lock_file.native() + ": keeps being replaced");
    }
    EXPECT_TRUE(is_device_occupied(lock_id()));
    system_calls() = real_system_calls();
    EXPECT_FALSE(is_device_occupied(lock_id())) << "no attempt kept its lock";
}

TEST_F(LockSeam, ProbeLeavesNoLockToAChildForkedMeanwhile) {
    forked_child = -1;
    system_calls().flock = forking_flock;
    EXPECT_FALSE(is_device_occupied(lock_id()));
    system_calls() = real_system_calls();
    ASSERT_GT(forked_child, 0);
    EXPECT_FALSE(is_device_occupied(lock_id())) << "the child's inherited descriptor still holds the lock";
    kill(forked_child, SIGKILL);
    waitpid(forked_child, nullptr, 0);
}

TEST_F(LockSeam, FailingOpenNamesTheFileAndTheSystemError) {
    system_calls().openat = failing_openat;
    try {
        acquire_device_ownership_lock(manager_path, description);
        ADD_FAILURE() << "no exception";
    } catch (std::runtime_error const& error) {
        EXPECT_EQ(std::string(error.what()),
                  "Cannot open device lock file: " + lock_file.native() + ": " + std::strerror(EMFILE));
    }
    EXPECT_TRUE(is_device_occupied(lock_id()));
}

// A clean of the lock directory, staged between an acquirer's open and its
// flock: it locks the file, removes it and, unless `holding`, lets go again
// before the acquirer's flock comes.
struct Removal {
    fs::path file;
    bool holding = false;
    int remaining = 0;
    int lock_attempts = 0;
    int holder = -1;  // the clean's descriptor while it still holds the removed file
};
Removal removal;

int removing_flock(int fd, int operation) {
    if ((operation & (LOCK_SH | LOCK_EX)) != 0) {
        ++removal.lock_attempts;
        if (removal.remaining > 0) {
            --removal.remaining;
            int const clean = open(removal.file.c_str(), O_RDONLY | O_CLOEXEC);
            EXPECT_EQ(flock(clean, LOCK_EX | LOCK_NB), 0);
            EXPECT_EQ(unlink(removal.file.c_str()), 0);
            if (removal.holding) {
                removal.holder = clean;
            } else {
                close(clean);
            }
        }
    }
    return real_system_calls().flock(fd, operation);
}

// Every way a lock file is locked, each giving what it holds (nothing for a
// probe, which lets go at once); null when it did not get the lock.
struct Acquirer {
    char const* name;
    std::string_view suffix;
    bool blocking;
    std::function<std::shared_ptr<void>()> acquire;
};

std::vector<Acquirer> acquirers() {
    using zelm::detail::FreeDeviceHold;
    using zelm::detail::InterprocessLock;
    using zelm::detail::LockDirectory;
    return {
        {"ownership", zelm::detail::ownership_file_suffix, false,
         []() -> std::shared_ptr<void> {
             auto lock = acquire_device_ownership_lock(manager_path, description);
             return lock->held() ? lock : nullptr;
         }},
        {"probe", zelm::detail::ownership_file_suffix, false,
         []() -> std::shared_ptr<void> { return is_device_occupied(lock_id()) ? nullptr : std::make_shared<int>(); }},
        {"free device hold", zelm::detail::ownership_file_suffix, false,
         []() -> std::shared_ptr<void> {
             auto hold = FreeDeviceHold::take(lock_id(), LockDirectory::open());
             return hold ? std::make_shared<FreeDeviceHold>(std::move(*hold)) : nullptr;
         }},
        {"query lock", zelm::detail::query_file_suffix, true,
         []() -> std::shared_ptr<void> {
             auto lock = std::make_shared<InterprocessLock>(lock_id());
             return lock->fd() != -1 ? lock : nullptr;
         }},
    };
}

// Whether some descriptor holds a lock on the file that `path` names now.
bool is_locked(fs::path const& path) {
    int const fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    bool const locked = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    return locked;
}

// Each acquirer, when the file it opened is removed before it locks (the
// clean let go already) or while it locks (the clean still holds it; a
// blocking acquirer just waits for that), starts over on the new file and
// holds that one.
TEST_F(LockSeam, FileRemovedByACleanIsLockedUnderItsNewName) {
    for (auto const& acquirer : acquirers()) {
        for (bool const holding : {false, true}) {
            if (holding && acquirer.blocking) {
                continue;
            }
            SCOPED_TRACE(std::string(acquirer.name) + (holding ? ", clean holds it" : ", clean let go"));
            auto const file = lock_file.parent_path() / zelm::detail::lock_file_name(lock_id(), acquirer.suffix);
            create_file(file);
            int const removed = open(file.c_str(), O_RDONLY | O_CLOEXEC);  // keeps its inode from reuse
            auto const removed_inode = inode_of(removed);
            removal = Removal{file, holding, 1, 0, -1};
            system_calls().flock = removing_flock;

            auto const held = acquirer.acquire();
            system_calls() = real_system_calls();

            EXPECT_NE(held, nullptr) << "did not get the lock";
            EXPECT_EQ(removal.lock_attempts, 2) << "one more attempt on the new file";
            ASSERT_TRUE(fs::exists(file)) << "no new file";
            EXPECT_NE(inode_of(file), removed_inode);
            if (acquirer.name != std::string_view("probe")) {
                EXPECT_TRUE(is_locked(file)) << "the lock is not on the file the name refers to";
            }
            close(removed);
            if (removal.holder >= 0) {
                close(removal.holder);
            }
        }
    }
}

}  // namespace
