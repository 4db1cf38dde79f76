// A plug-in's capabilities as the loader finds them: its own table of this
// version or a later one, the function of plug-ins built before tables,
// broken tables (ignored, with a warning), tables and types that live in a
// library the plug-in links, and a manager that the host made itself.
#include <zelm/cluster.hpp>
#include <zelm/device_manager.hpp>

#include "log_capture.hpp"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using zelm::cluster::is_lab_wide;

// As capability_family.hpp lists them.
constexpr char const* lab_device = R"({"lab":true,"n":1})";
constexpr char const* local_device = R"({"n":2})";

fs::path capability_plugin(std::string const& kind) {
    return fs::path(ZELM_TEST_CAPABILITY_PLUGIN_DIR) / ("capability_" + kind + "_manager.so");
}

bool loaded(fs::path const& plugin) {
    void* const handle = dlopen(plugin.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (handle != nullptr) {
        dlclose(handle);
    }
    return handle != nullptr;
}

struct CapabilityCase {
    char const* kind;
    bool lab_wide;             // whether the lab device counts as lab-wide
    char const* ignored_why;   // the reason of the one warning; null: no warning
};

void PrintTo(CapabilityCase const& c, std::ostream* out) { *out << c.kind; }

class PluginCapabilities : public testing::TestWithParam<CapabilityCase> {};

TEST_P(PluginCapabilities, AreReadOnceFromThePluginsOwnTable) {
    auto const& expected = GetParam();
    auto const plugin = capability_plugin(expected.kind);
    zelm::test::LogCapture const log;
    {
        auto const manager = zelm::get_device_manager(plugin);
        EXPECT_EQ(is_lab_wide(*manager, lab_device), expected.lab_wide);
        // The family library's own table calls every device lab-wide.
        EXPECT_FALSE(is_lab_wide(*manager, local_device));
    }
    std::vector<std::string> const warnings =
        expected.ignored_why == nullptr
            ? std::vector<std::string>{}
            : std::vector<std::string>{"warning Device Manager capabilities ignored: " +
                                       fs::canonical(plugin).native() + ": " + expected.ignored_why};
    EXPECT_EQ(log.lines(), warnings);
    EXPECT_FALSE(loaded(plugin)) << "the capabilities keep the plug-in loaded";
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, PluginCapabilities,
    testing::Values(CapabilityCase{"table", true, nullptr},
                    // Only the members this library knows are read.
                    CapabilityCase{"newer_table", true, nullptr},
                    CapabilityCase{"short_table", false, "table of 8 bytes, version 1 needs at least 16"},
                    CapabilityCase{"unversioned_table", false, "table of version 0"},
                    // A plug-in built before tables.
                    CapabilityCase{"function_only", true, nullptr},
                    // The manager's type lives in the family library, which
                    // exports a table of its own.
                    CapabilityCase{"shim_table", true, nullptr},
                    CapabilityCase{"shim_function_only", true, nullptr},
                    CapabilityCase{"shim_none", false, nullptr}),
    [](auto const& test_case) { return std::string(test_case.param.kind); });

TEST(PluginCapabilities, APluginWithoutThemHasNoLabWideDevice) {
    auto const manager = zelm::get_device_manager(ZELM_TEST_PLUGIN);
    EXPECT_FALSE(is_lab_wide(*manager, lab_device));
}

// The loader keeps a plug-in's capabilities with the managers it makes; a
// manager that the host made itself, even one of a plug-in's own type, has
// none.
TEST(PluginCapabilities, AManagerTheHostMadeItselfHasNone) {
    auto const plugin = capability_plugin("function_only");
    std::unique_ptr<void, int (*)(void*)> const library(dlopen(plugin.c_str(), RTLD_NOW | RTLD_LOCAL), dlclose);
    ASSERT_NE(library, nullptr) << dlerror();
    auto* const create = reinterpret_cast<zelm::DeviceManager* (*)()>(dlsym(library.get(), "create_manager"));
    ASSERT_NE(create, nullptr);
    auto const manager = std::shared_ptr<zelm::DeviceManager>(create());
    EXPECT_FALSE(is_lab_wide(*manager, lab_device));
}

}  // namespace
