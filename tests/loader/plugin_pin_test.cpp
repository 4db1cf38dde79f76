// A plug-in whose exception is still alive when the host lets go of the
// plug-in's last manager handle stays loaded, so destroying or reading that
// exception never runs unmapped code. Each case runs in a child process: a
// host that crashes fails the case, not the test run.
#include <zelm/zelm.hpp>

#include "test_support.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <string_view>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// 0 when `call` throws anything and the exception is gone again.
int caught_anything(std::function<void()> const& call) {
    try {
        call();
    } catch (...) {
        return 0;
    }
    return 1;
}

// 0 when `call` throws a std::exception whose what() is `expected`, read
// after everything `call` held is gone.
int caught_standard(std::function<void()> const& call, std::string_view expected) {
    try {
        call();
    } catch (std::exception const& error) {
        return std::string_view(error.what()) == expected ? 0 : 2;
    }
    return 1;
}

struct ThrowingPlugin {
    char const* name;
    json config;  // the manager configuration besides "events"
    std::function<int(fs::path const& plugin)> host;
    bool stays_loaded;
};

void PrintTo(ThrowingPlugin const& plugin, std::ostream* out) { *out << plugin.name; }

class PluginException : public ::testing::TestWithParam<ThrowingPlugin> {
protected:
    zelm::test::ScopedTmpdir tmpdir;
    zelm::test::TempDir dir;
};

TEST_P(PluginException, HostSurvivesAndThePluginStaysLoadedWhileNeeded) {
    auto const& param = GetParam();
    auto const events = dir.path() / "events.log";
    auto config = param.config;
    config["events"] = events.native();
    auto const plugin = zelm::test::install_test_plugin(dir.path(), "throwing_manager.so", config);

    EXPECT_EQ(zelm::test::run_in_child([&] { return param.host(plugin); }), 0);
    EXPECT_EQ(zelm::test::count_events(zelm::test::read_events(events), "unload"), param.stays_loaded ? 0u : 1u);
}

json const one_device = json::array({json::object()});

std::string const throw_custom_in_trigger = R"({"throw_custom_in":"trigger"})";
std::string const throw_custom_in_stop = R"({"throw_custom_in":"stop"})";

INSTANTIATE_TEST_SUITE_P(
    Cases, PluginException,
    ::testing::Values(
        ThrowingPlugin{"custom_type_from_create_manager",
                       {{"create_throws_custom", "no manager"}},
                       [](fs::path const& plugin) { return caught_anything([&] { zelm::get_device_manager(plugin); }); },
                       true},
        ThrowingPlugin{"custom_type_from_get_path_in_a_scan",
                       {{"path_throws_custom", "no path"}, {"devices", one_device}},
                       [](fs::path const& plugin) { return caught_anything([&] { zelm::scan_devices({plugin}); }); },
                       true},
        ThrowingPlugin{"custom_type_from_open_device_in_a_scan",
                       {{"devices", json::array({{{"open_throws_custom", "no device"}}})}},
                       [](fs::path const& plugin) { return caught_anything([&] { zelm::scan_devices({plugin}); }); },
                       true},
        ThrowingPlugin{"custom_type_from_open_device_in_open_managed_device",
                       json::object(),
                       [](fs::path const& plugin) {
                           return caught_anything([&] {
                               zelm::get_device_manager(plugin)->open_managed_device(
                                   R"({"open_throws_custom":"no device"})");
                           });
                       },
                       true},
        ThrowingPlugin{"own_std_exception_from_a_managed_device_destroyed_before_the_catch",
                       json::object(),
                       [](fs::path const& plugin) {
                           return caught_standard(
                               [&] {
                                   auto const device =
                                       zelm::get_device_manager(plugin)->open_managed_device(throw_custom_in_trigger);
                                   device->trigger(1, 2);
                               },
                               "trigger failed");
                       },
                       true},
        ThrowingPlugin{"own_std_exception_from_a_managed_stream_destroyed_before_the_catch",
                       json::object(),
                       [](fs::path const& plugin) {
                           return caught_standard(
                               [&] {
                                   auto stream = zelm::get_device_manager(plugin)
                                                     ->open_managed_device(throw_custom_in_stop)
                                                     ->start_read_stream(0, [](zelm::DataStream::Event&&) {}, 16);
                                   stream->stop();
                               },
                               "stop failed");
                       },
                       true},
        // An ordinary std::runtime_error needs nothing of the plug-in.
        ThrowingPlugin{"runtime_error_from_a_managed_device_lets_the_plugin_go",
                       json::object(),
                       [](fs::path const& plugin) {
                           return caught_standard(
                               [&] {
                                   auto const device = zelm::get_device_manager(plugin)->open_managed_device(
                                       R"({"throw_in":"trigger"})");
                                   device->trigger(1, 2);
                               },
                               "trigger failed");
                       },
                       false},
        ThrowingPlugin{"runtime_error_from_create_manager_lets_the_plugin_go",
                       {{"create_throws", "no manager"}},
                       [](fs::path const& plugin) { return caught_anything([&] { zelm::get_device_manager(plugin); }); },
                       false}),
    [](auto const& test_case) { return std::string(test_case.param.name); });

}  // namespace
