// A lock directory that does not protect one user's lock files from another
// is refused: one that another user owns (its owner may rename or delete any
// lock file in it) and one that others may write without the sticky bit
// (then anyone may). Otherwise a user could move an owner's ".occupied" file
// aside and a second process would own the device too. Each case is acted
// out by a real process, as nobody where the directory must belong to
// someone else; cases that need a second user skip themselves when the suite
// does not run as root.
#include "second_user.hpp"

#include "locking/system_calls.hpp"

#include <zelm/zelm.hpp>

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

namespace zelm {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using hostile::snapshot;

enum class Who { caller, root, nobody };

struct Safety {
    char const* name;
    Who owner;       // of the lock directory, made before the test's process starts
    mode_t mode;     // the directory's mode then
    Who actor;       // who probes, scans and tries to own
    // False: the actor may not change the directory's mode, as when it is
    // root's; staged through the seam, so that it needs no second user.
    bool may_chmod;
    // Why the directory is refused ("{nobody}" stands for nobody's uid);
    // empty when it is used.
    char const* reason;
    mode_t mode_after;
};

void PrintTo(Safety const& safety, std::ostream* out) { *out << safety.name; }

uid_t nobody_uid() { return getpwnam("nobody")->pw_uid; }

char letter_of(ScanResult const& result) {
    return std::holds_alternative<DeviceOccupied>(result) ? 'O' : std::holds_alternative<DeviceFound>(result) ? 'F' : 'Q';
}

// What the actor saw, in one line: "<probe> <scan letters> <report letters>
// <acquisition>", where the report shows a device whose lock could not be
// used as 'L'.
std::string act(fs::path const& plugin, std::string const& lock_id, json const& device) {
    std::string seen = detail::is_device_occupied(lock_id) ? "occupied " : "free ";
    for (auto const& result : scan_devices({plugin})) {
        seen += letter_of(result);
    }
    seen += ' ';
    for (auto const& scanned : scan_devices_report({plugin}).devices) {
        seen += scanned.lock_error ? 'L' : letter_of(scanned.result);
    }
    try {
        auto const manager = get_device_manager(plugin);
        auto const owned = manager->manage_device(manager->open_device(device.dump()), device.dump());
        seen += " owned";
    } catch (UnsafeLockDirectoryError const& error) {
        seen += std::string(" refused: ") + error.what();
    } catch (std::runtime_error const& error) {
        seen += std::string(" failed otherwise: ") + error.what();
    }
    return seen;
}

int failing_fchmod(int, mode_t) {
    errno = EPERM;
    return -1;
}

class LockDirectorySafety : public testing::TestWithParam<Safety> {
protected:
    void SetUp() override {
        auto const& safety = GetParam();
        if (safety.owner != Who::caller || safety.actor != Who::caller) {
            if (auto const reason = hostile::second_user_unavailable()) {
                GTEST_SKIP() << *reason;
            }
        }
        chmod(tmpdir_.path().c_str(), 01777);  // like /tmp
        chmod(plugins_.path().c_str(), 0755);
        plugin_ = test::install_test_plugin(plugins_.path(), "safety_manager.so", {{"devices", {device_, other_}}});
        lock_id_ = detail::make_lock_id(get_device_manager(plugin_)->get_path(), device_);

        auto const directory = tmpdir_.lock_directory();
        ASSERT_TRUE(fs::create_directory(directory));
        ASSERT_EQ(chmod(directory.c_str(), safety.mode), 0);
        if (safety.owner == Who::nobody) {
            ASSERT_EQ(chown(directory.c_str(), nobody_uid(), static_cast<gid_t>(-1)), 0);
        }
        if (!safety.may_chmod) {
            detail::system_calls().fchmod = failing_fchmod;
        }
    }
    void TearDown() override { detail::system_calls() = detail::real_system_calls(); }

    // Runs act() as the case's actor in a child process and returns what it saw.
    std::string seen_by_actor() const {
        int channel[2];
        EXPECT_EQ(pipe(channel), 0);
        bool const as_nobody = GetParam().actor == Who::nobody;
        int const code = test::run_in_child([&] {
            close(channel[0]);
            if (as_nobody && !hostile::become_nobody()) {
                return 100;
            }
            auto const seen = act(plugin_, lock_id_, device_);
            return write(channel[1], seen.data(), seen.size()) == static_cast<ssize_t>(seen.size()) ? 0 : 1;
        });
        close(channel[1]);
        std::string seen;
        char buffer[512];
        for (ssize_t got; (got = read(channel[0], buffer, sizeof buffer)) > 0;) {
            seen.append(buffer, static_cast<std::size_t>(got));
        }
        close(channel[0]);
        EXPECT_EQ(code, 0) << "the actor's process failed";
        return seen;
    }

    test::ScopedTmpdir tmpdir_;
    test::TempDir plugins_;
    fs::path plugin_;
    json const device_ = {{"serial", "device"}};
    json const other_ = {{"serial", "other"}};
    std::string lock_id_;
};

TEST_P(LockDirectorySafety, IsUsedOnlyWhenItProtectsLockFiles) {
    auto const& safety = GetParam();
    auto const directory = tmpdir_.lock_directory();
    std::string reason = safety.reason;
    if (auto const at = reason.find("{nobody}"); at != std::string::npos) {
        reason.replace(at, std::string_view("{nobody}").size(), std::to_string(nobody_uid()));
    }

    auto const seen = seen_by_actor();

    if (reason.empty()) {
        EXPECT_EQ(seen, "free FF FF owned");
    } else {
        auto const refusal = "occupied OO LL refused: Lock directory " + directory.native() + " is not safe: " + reason + "; ";
        EXPECT_TRUE(seen.starts_with(refusal)) << seen << "\nexpected it to start with: " << refusal;
        EXPECT_NE(seen.find("1777", refusal.size()), std::string::npos) << "says how to fix it: " << seen;
        EXPECT_EQ(seen.find('\n'), std::string::npos) << seen;
        EXPECT_TRUE(fs::is_empty(directory)) << "no lock file is made in a refused directory";
    }
    EXPECT_EQ(snapshot(directory).mode & 07777, safety.mode_after);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LockDirectorySafety,
    testing::Values(
        Safety{"OursNotStickyNotRepairable", Who::caller, 0777, Who::caller, false,
               "writable by others but not sticky (mode 0777)", 0777},
        Safety{"OursGroupWritableNotRepairable", Who::caller, 0770, Who::caller, false,
               "writable by its group but not sticky (mode 0770)", 0770},
        Safety{"OwnedByAnotherUser", Who::nobody, 01777, Who::caller, true, "owned by uid {nobody}, neither root nor you",
               01777},
        Safety{"RootsNotSticky", Who::root, 0777, Who::nobody, true, "writable by others but not sticky (mode 0777)",
               0777},
        Safety{"RootsSticky", Who::root, 01777, Who::nobody, true, "", 01777},
        Safety{"OursRepaired", Who::caller, 0700, Who::caller, true, "", 01777}),
    [](auto const& test_case) { return std::string(test_case.param.name); });

}  // namespace
}  // namespace zelm
