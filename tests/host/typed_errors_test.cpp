// The failures a host acts on come as types, with the messages as before.
#include "test_support.hpp"

#include <zelm/zelm.hpp>

#include <gtest/gtest.h>

#include <unistd.h>

namespace zelm {
namespace {

using nlohmann::json;

struct LoadCase {
    char const* name;
    std::filesystem::path plugin;
    char const* message_start;
    char const* reason;
};

void PrintTo(LoadCase const& test_case, std::ostream* out) { *out << test_case.name; }

class PluginLoadFailure : public testing::TestWithParam<LoadCase> {};

TEST_P(PluginLoadFailure, IsAPluginLoadErrorWithPathAndReason) {
    try {
        get_device_manager(GetParam().plugin);
        FAIL();
    } catch (PluginLoadError const& error) {
        EXPECT_TRUE(std::string(error.what()).starts_with(GetParam().message_start)) << error.what();
        EXPECT_EQ(error.plugin_path().filename(), GetParam().plugin.filename());
        EXPECT_NE(error.reason().find(GetParam().reason), std::string::npos) << error.reason();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Plugins, PluginLoadFailure,
    testing::Values(LoadCase{"Missing", "/nonexistent/x_manager.so", "Device Manager not found: ", "no such file"},
                    LoadCase{"NotRegular", "/tmp", "Not a regular file: ", "not a regular file"},
                    LoadCase{"NotALibrary", "/etc/hostname", "Failed to load library: ", "hostname"},
                    LoadCase{"NoEntry", test::no_entry_plugin_path, "Device Manager missing create_manager: ",
                             "no create_manager"},
                    LoadCase{"CreateThrows", test::throwing_plugin_path, "Failed to create manager: ", "boom"}));

TEST(LockFileFailure, IsALockFileErrorNamingTheFile) {
    test::ScopedTmpdir const tmpdir;
    test::TempDir const plugins;
    auto const plugin = test::install_test_plugin(plugins.path(), "l_manager.so", json::object());
    auto const manager = get_device_manager(plugin);
    std::string const description = R"({"serial":"L1"})";
    auto const lock_file = test::ownership_lock_file(detail::make_lock_id(manager->get_path(), json::parse(description)));
    ASSERT_FALSE(detail::is_device_occupied(detail::make_lock_id(manager->get_path(), json::parse(description))));
    std::filesystem::remove(lock_file);
    std::filesystem::create_symlink("/dev/null", lock_file);  // planted by somebody else
    try {
        manager->open_managed_device(description);
        FAIL();
    } catch (LockFileError const& error) {
        EXPECT_EQ(error.path(), lock_file);
        EXPECT_TRUE(std::string(error.what()).starts_with("Cannot open device lock file: " + lock_file.native() + ": "))
            << error.what();
    }
}

}  // namespace
}  // namespace zelm
