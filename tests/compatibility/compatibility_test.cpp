// The loader refuses a plug-in whose ABI tag differs from the library's
// before running any of its code, and loads an untagged one as before.
#include "test_support.hpp"

#include <zelm/device_manager.hpp>
#include <zelm/scan.hpp>

#include <gtest/gtest.h>

namespace zelm {
namespace {

TEST(Compatibility, MismatchedTagIsRefusedNamingBothTags) {
    auto const canonical = std::filesystem::canonical(MISMATCHED_PLUGIN).native();
    try {
        get_device_manager(MISMATCHED_PLUGIN);
        FAIL() << "loaded a plug-in with another ABI tag";
    } catch (std::runtime_error const& e) {
        EXPECT_EQ(std::string(e.what()), "Device Manager ABI mismatch: " + canonical +
                                             " (plug-in zelm-interface-0/libstdc++-cxx11-abi-0, library " +
                                             ZELM_ABI_TAG + ")");
    }
}

TEST(Compatibility, MismatchedPluginIsSkippedByTheScan) {
    test::ScopedTmpdir tmpdir;
    EXPECT_TRUE(scan_devices({MISMATCHED_PLUGIN}).empty());
}

TEST(Compatibility, UntaggedPluginLoads) {
    auto const manager = get_device_manager(UNTAGGED_PLUGIN);
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(manager->get_name(), "compat");
}

TEST(Compatibility, PluginsBuiltWithTheExportMacroCarryTheLibrarysTag) {
    EXPECT_NE(get_device_manager(test::test_plugin_path), nullptr);
}

}  // namespace
}  // namespace zelm
