// find_device_owner names the process holding a device's ownership lock, and
// only that one, without disturbing anybody.
#include "test_support.hpp"

#include <zelm/lock.hpp>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace zelm {
namespace {

class DeviceOwner : public testing::Test {
protected:
    test::ScopedTmpdir tmpdir_;
    std::string const lock_id_ = detail::make_lock_id("/owner/manager.so", {{"serial", "1"}});
};

TEST_F(DeviceOwner, NoFileNoOwnerAndNothingCreated) {
    EXPECT_EQ(detail::find_device_owner(lock_id_), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(tmpdir_.lock_directory()));
}

TEST_F(DeviceOwner, FreeDeviceHasNoOwner) {
    EXPECT_FALSE(detail::is_device_occupied(lock_id_));
    EXPECT_EQ(detail::find_device_owner(lock_id_), std::nullopt);
}

TEST_F(DeviceOwner, HolderInThisProcessIsFoundAndKeepsItsLock) {
    detail::OwnershipLock const lock(lock_id_, true);
    auto const other = detail::make_lock_id("/owner/manager.so", {{"serial", "2"}});
    detail::OwnershipLock const other_lock(other, true);

    EXPECT_EQ(detail::find_device_owner(lock_id_), getpid());
    EXPECT_TRUE(lock.held());
    EXPECT_TRUE(detail::is_device_occupied(lock_id_));
}

TEST_F(DeviceOwner, HolderInAnotherProcessIsFoundUntilItDies) {
    test::ChildProcess holder([&](test::ChildProcess& self) {
        detail::OwnershipLock const lock(lock_id_, true);
        self.send();
        self.receive();
        return 0;
    });
    holder.receive();

    EXPECT_EQ(detail::find_device_owner(lock_id_), holder.pid());
    holder.kill(SIGKILL);
    holder.wait();
    EXPECT_EQ(detail::find_device_owner(lock_id_), std::nullopt);
}

// A scan holds the ownership file shared while it probes or queries a
// device; only an exclusive holder owns it.
TEST_F(DeviceOwner, OnlyAnExclusiveHolderIsTheOwner) {
    ASSERT_FALSE(detail::is_device_occupied(lock_id_));  // makes the file
    auto const file = test::ownership_lock_file(lock_id_);
    for (int const operation : {LOCK_SH, LOCK_EX}) {
        test::ChildProcess holder([&](test::ChildProcess& self) {
            int const fd = open(file.c_str(), O_RDWR | O_CLOEXEC);
            if (fd < 0 || flock(fd, operation) != 0) {
                return 1;
            }
            self.send();
            self.receive();
            return 0;
        });
        ASSERT_EQ(holder.receive(), '.');

        auto const expected = operation == LOCK_EX ? std::optional<int>(holder.pid()) : std::nullopt;
        EXPECT_EQ(detail::find_device_owner(lock_id_), expected) << (operation == LOCK_EX ? "exclusive" : "shared");
        holder.send();
        EXPECT_EQ(holder.wait(), 0);
    }
}

TEST_F(DeviceOwner, LinkAtTheLockFileIsNotFollowed) {
    test::TempDir elsewhere;
    auto const target = elsewhere.path() / "target";
    detail::OwnershipLock const lock(detail::make_lock_id("/owner/manager.so", {{"serial", "3"}}), true);
    std::filesystem::create_symlink(lock.path(), tmpdir_.lock_directory() / (lock_id_ + ".occupied"));

    EXPECT_EQ(detail::find_device_owner(lock_id_), std::nullopt);
}

}  // namespace
}  // namespace zelm
