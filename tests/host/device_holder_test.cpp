// find_device_holder and holder_of name the process that holds a device on
// this machine, with what people know it by.
#include "test_support.hpp"

#include <zelm/zelm.hpp>

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <ctime>

namespace zelm {
namespace {

using nlohmann::json;

class DeviceHolderLookup : public testing::Test {
protected:
    test::ScopedTmpdir tmpdir_;
    test::TempDir plugins_;
    std::filesystem::path const plugin_ = test::install_test_plugin(plugins_.path(), "h_manager.so", json::object());
    std::string const description_ = R"({"serial":"H1"})";
};

std::string this_user() {
    auto const* entry = getpwuid(geteuid());
    return entry != nullptr ? entry->pw_name : std::to_string(geteuid());
}

// ISO 8601 in UTC to the second, which orders as text does.
std::string utc_text(std::chrono::system_clock::time_point time) {
    auto const seconds = std::chrono::system_clock::to_time_t(time);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

TEST_F(DeviceHolderLookup, FreeDeviceHasNone) {
    auto const manager = get_device_manager(plugin_);
    EXPECT_EQ(find_device_holder(manager->get_path(), description_), std::nullopt);
    EXPECT_EQ(holder_text(std::nullopt), "unknown");
}

TEST_F(DeviceHolderLookup, NamesAProcessHoldingItHereWithUserAndTime) {
    auto const manager = get_device_manager(plugin_);
    auto const before = std::chrono::system_clock::now() - std::chrono::seconds(1);
    test::ChildProcess holder([&](test::ChildProcess& self) {
        auto const owned = manager->open_managed_device(description_);
        self.send();
        self.receive();
        return 0;
    });
    ASSERT_EQ(holder.receive(), '.');

    // Any spacing or member order names the same device.
    auto const holder_found = find_device_holder(manager->get_path(), R"( { "serial" : "H1" } )");
    ASSERT_TRUE(holder_found);
    EXPECT_EQ(holder_found->pid, holder.pid());
    EXPECT_TRUE(holder_found->command.has_value());
    EXPECT_EQ(holder_found->user, this_user());
    EXPECT_EQ(holder_found->host, std::nullopt) << "outside a cluster";
    EXPECT_FALSE(holder_found->lab_wide);
    ASSERT_TRUE(holder_found->since);
    EXPECT_GE(*holder_found->since, utc_text(before));
    EXPECT_EQ(holder_text(holder_found), std::to_string(holder.pid()) + " (" + *holder_found->command + ")");

    try {
        manager->open_managed_device(description_);
        FAIL();
    } catch (DeviceOccupiedError const& error) {
        auto const from_error = holder_of(error);
        ASSERT_TRUE(from_error);
        EXPECT_EQ(from_error->pid, holder.pid());
        EXPECT_EQ(from_error->command, holder_found->command);
    }
    holder.send();
    EXPECT_EQ(holder.wait(), 0);
    EXPECT_EQ(find_device_holder(manager->get_path(), description_), std::nullopt);
}

TEST_F(DeviceHolderLookup, DescriptionThatIsNotJsonThrows) {
    EXPECT_THROW(find_device_holder("/x", "{"), nlohmann::json::parse_error);
}

TEST(HolderText, NamesPidCommandAndHost) {
    DeviceHolder holder;
    holder.pid = 42;
    EXPECT_EQ(holder_text(holder), "42");
    holder.command = "zelm";
    holder.host = "lab-b";
    EXPECT_EQ(holder_text(holder), "42 (zelm) on lab-b");
}

}  // namespace
}  // namespace zelm
