// A device owned by another process: every acquisition fails with
// zelm::DeviceOccupiedError naming the holder, and find_device_owner names it
// too, for a description in any spacing or member order.
#include <zelm/managed_device.hpp>
#include <zelm/owner.hpp>

#include "test_support.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <ostream>
#include <string>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string const listed = R"({"model":"m","serial":"O1"})";
std::string const typed = R"({ "serial" : "O1", "model" : "m" })";

// This test program's command name, which a forked holder shares.
std::string own_command() {
    auto command = zelm::test::read_file("/proc/self/comm");
    if (!command.empty() && command.back() == '\n') {
        command.pop_back();
    }
    return command;
}

class OccupiedDevice : public ::testing::Test {
protected:
    void SetUp() override {
        plugin_ = zelm::test::install_test_plugin(plugins_.path(), "occupied_manager.so", json::object());
        manager_ = zelm::get_device_manager(plugin_);
        holder_.emplace([this](zelm::test::ChildProcess& self) {
            auto const device = manager_->open_managed_device(listed);
            self.send();
            self.receive();
            return 0;
        });
        ASSERT_EQ(holder_->receive(), '.') << "the holder could not own the device";
    }

    zelm::test::ScopedTmpdir tmpdir_;
    zelm::test::TempDir plugins_;
    fs::path plugin_;
    std::shared_ptr<zelm::DeviceManager> manager_;
    std::optional<zelm::test::ChildProcess> holder_;
};

struct Acquisition {
    char const* name;
    std::function<void(zelm::DeviceManager&)> acquire;
};

void PrintTo(Acquisition const& acquisition, std::ostream* out) { *out << acquisition.name; }

class EveryAcquisition : public OccupiedDevice, public ::testing::WithParamInterface<Acquisition> {};

TEST_P(EveryAcquisition, ThrowsDeviceOccupiedErrorNamingTheHolder) {
    try {
        GetParam().acquire(*manager_);
        FAIL() << "the device was acquired while another process owns it";
    } catch (zelm::DeviceOccupiedError const& error) {
        EXPECT_STREQ(error.what(), "Device is already occupied");
        ASSERT_TRUE(error.owner().has_value());
        EXPECT_EQ(error.owner()->pid, holder_->pid());
        EXPECT_EQ(error.owner()->command, own_command());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ownership, EveryAcquisition,
    ::testing::Values(
        Acquisition{"OpenManagedDevice", [](zelm::DeviceManager& manager) { manager.open_managed_device(typed); }},
        Acquisition{"ManageDevice",
                    [](zelm::DeviceManager& manager) { manager.manage_device(manager.open_device(listed), typed); }},
        Acquisition{"AcquireOwnershipLock",
                    [](zelm::DeviceManager& manager) {
                        zelm::detail::acquire_device_ownership_lock(manager.get_path().native(), typed);
                    }}),
    [](auto const& param_info) { return std::string(param_info.param.name); });

// Hosts that knew only std::runtime_error keep catching it.
TEST_F(OccupiedDevice, IsStillARuntimeError) {
    EXPECT_EQ(zelm::test::runtime_error_of([&] { manager_->open_managed_device(listed); }),
              "Device is already occupied");
}

TEST_F(OccupiedDevice, FindDeviceOwnerNamesTheHolderUntilItLetsGo) {
    auto const owner = zelm::find_device_owner(manager_->get_path(), typed);
    ASSERT_TRUE(owner.has_value());
    EXPECT_EQ(owner->pid, holder_->pid());
    EXPECT_EQ(owner->command, own_command());

    holder_->kill(SIGKILL);
    holder_->wait();
    EXPECT_EQ(zelm::find_device_owner(manager_->get_path(), typed), std::nullopt);
    EXPECT_NE(manager_->open_managed_device(typed), nullptr);
}

TEST_F(OccupiedDevice, FindDeviceOwnerRefusesTextThatIsNotJson) {
    EXPECT_THROW(zelm::find_device_owner(manager_->get_path(), "{serial: O1}"), json::parse_error);
}

}  // namespace
