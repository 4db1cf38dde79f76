// What `zelm scan` says besides its results: warnings on standard error
// only (standard output stays data), failed devices named by description and
// plug-in, and progress that moves with every device, not every plug-in.
#include "tool_test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zelm::tool_test {
namespace {

using nlohmann::json;

class ScanDiagnostics : public ToolTest {};

TEST_F(ScanDiagnostics, WarningsGoToStandardErrorNamingFailedDevicesByDescriptionAndPlugin) {
    use_sim_config(sim_config(json::array({
        {{"description", {{"serial", "S-GOOD"}}}},
        {{"description", {{"serial", "S-FAIL"}}}, {"faults", {{"open_device_error", "bus error"}}}},
    })));
    auto const broken = test::install_test_plugin(scratch(), "broken_manager.so", {{"create_throws", "no bus"}});

    auto const outcome = run_zelm({"scan", "--json", "--plugin", sim_plugin.native(), "--plugin", broken.native()});

    ASSERT_EQ(outcome.status, 1) << outcome.err;
    auto const records = json::parse(outcome.out, nullptr, false);
    ASSERT_FALSE(records.is_discarded()) << "standard output is not JSON:\n" << outcome.out;
    ASSERT_EQ(records.size(), 2U) << outcome.out;
    EXPECT_EQ(records[1].at("state"), "failed");

    auto const lines = lines_of(outcome.err);
    auto const has_line = [&lines](std::string const& text) {
        return std::ranges::any_of(lines, [&text](std::string const& line) { return line.starts_with(text); });
    };
    EXPECT_TRUE(has_line("zelm: warning: Cannot load plug-in " + broken.native() + ": ")) << outcome.err;
    EXPECT_TRUE(has_line(R"(zelm: warning: Failed to query device {"serial":"S-FAIL"} (sim_manager.so): )"))
        << outcome.err;
    EXPECT_NE(outcome.err.find("bus error"), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.err.find("device_"), std::string::npos) << "a lock identity is no name:\n" << outcome.err;
    EXPECT_EQ(lines.back(), "zelm scan: plug-in " + broken.native() + " does not load") << outcome.err;
    EXPECT_EQ(lines.size(), 3U) << outcome.err;
}

// A plug-in's message reaches standard error as one line of what it holds:
// it cannot forge lines of its own or send the terminal escape sequences.
TEST_F(ScanDiagnostics, ErrorAndWarningLinesShowAPluginsTextEscaped) {
    auto const hostile = test::install_test_plugin(scratch(), "hostile_manager.so",
                                                   {{"create_throws", "boom\nzelm: forged\x1b]0;title\x07"}});
    std::string const shown = R"(boom\nzelm: forged\x1b]0;title\x07)";

    // The scan's report keeps one line of the reason, each control character
    // a space.
    std::string const reported = "boom zelm: forged ]0;title ";

    auto const scan = run_zelm({"scan", "--plugin", hostile.native()});
    auto const info = run_zelm({"info", hostile.native(), R"({"serial":"X"})"});

    // The scan adds its error line: the plug-in named did not load.
    struct Case {
        Outcome outcome;
        std::size_t line_count;
        std::string const& shown;
    };
    for (auto const& [outcome, line_count, text] : {Case{scan, 2U, reported}, Case{info, 1U, shown}}) {
        auto const lines = lines_of(outcome.err);
        ASSERT_EQ(lines.size(), line_count) << outcome.err;
        EXPECT_TRUE(lines[0].ends_with(text)) << lines[0];
        EXPECT_EQ(outcome.err.find_first_of("\x1b\x07"), std::string::npos) << outcome.err;
    }
    EXPECT_TRUE(scan.err.starts_with("zelm: warning: Cannot load plug-in ")) << scan.err;
    EXPECT_TRUE(info.err.starts_with("zelm info: cannot load plug-in ")) << info.err;
}

// A plug-in without a device list costs one warning naming it and why, from
// the scan's own report: the plug-in is asked for its list once.
TEST_F(ScanDiagnostics, APluginWithoutADeviceListGetsOneWarningWithTheReason) {
    struct Case {
        json config;
        std::optional<std::string> reason;  // none: no warning at all
    };
    std::vector<Case> const cases{
        {{{"list_throws", "bus gone"}}, "bus gone"},
        {{{"list", "not [json"}}, "its device list is not JSON, or is nested too deep"},
        {{{"list_throws_int", true}}, "a non-standard exception from plug-in code"},
        {{{"list", "[]"}}, std::nullopt},
    };
    for (auto const& [config, reason] : cases) {
        SCOPED_TRACE(config.dump());
        auto const events = scratch() / "events";
        std::filesystem::remove(events);
        auto with_events = config;
        with_events["events"] = events.native();
        auto const plugin = test::install_test_plugin(scratch(), "unlisted_manager.so", with_events);

        auto const outcome = run_zelm({"scan", "--plugin", plugin.native()});

        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_NE(outcome.out.find("no devices found"), std::string::npos) << outcome.out;
        auto const lines = lines_of(outcome.err);
        if (reason) {
            ASSERT_EQ(lines.size(), 1U) << outcome.err;
            EXPECT_EQ(lines[0], "zelm: warning: Cannot list the devices of " + plugin.native() + ": " + *reason);
        } else {
            EXPECT_TRUE(lines.empty()) << outcome.err;
        }
        EXPECT_EQ(test::count_events(test::read_events_without_pid(events), "list"), 1U);
    }
}

// A plug-in asked for by name that is missing or does not load fails the
// scan, after the results of the others; isolated too, as the plug-in's
// child reports why it gave nothing.
TEST_F(ScanDiagnostics, ANamedPluginThatIsMissingOrDoesNotLoadFailsTheScanAfterTheOthersResults) {
    use_sim_config(sim_config(json::array({{{"description", {{"serial", "S-GOOD"}}}}})));
    auto const missing = scratch() / "missing_manager.so";
    auto const broken = test::install_test_plugin(scratch(), "broken_manager.so", {{"create_throws", "no bus"}});
    struct Case {
        std::filesystem::path plugin;
        std::string error;
        std::vector<std::string> options;
    };
    std::vector<Case> const cases{
        {missing, missing.native() + " does not exist", {}},
        {missing, missing.native() + " does not exist", {"--isolate"}},
        {broken, broken.native() + " does not load", {}},
        {broken, broken.native() + " does not load", {"--isolate"}},
    };
    for (auto const& [plugin, error, options] : cases) {
        SCOPED_TRACE(plugin.native() + (options.empty() ? "" : " " + options[0]));
        std::vector<std::string> arguments{"scan", "--plugin", sim_plugin.native(), "--plugin", plugin.native()};
        arguments.insert(arguments.end(), options.begin(), options.end());

        auto const outcome = run_zelm(arguments);

        EXPECT_EQ(outcome.status, 1) << outcome.err;
        EXPECT_NE(outcome.out.find("S-GOOD"), std::string::npos) << outcome.out;
        auto const lines = lines_of(outcome.err);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "zelm scan: plug-in " + error) << outcome.err;
    }
}

// CMake names a module "lib<target>.so": a directory of such files holds no
// plug-in, and the scan says why instead of showing an empty table only.
TEST_F(ScanDiagnostics, ADirectoryOfLibrariesNamedUnlikePluginsGetsAHint) {
    struct Case {
        std::string file_name;
        bool hint;
    };
    std::vector<Case> const cases{{"libsim.so", true}, {"notes.txt", false}, {"libsim.so.1", false}};
    for (auto const& [file_name, hint] : cases) {
        SCOPED_TRACE(file_name);
        auto const dir = scratch() / ("dir_" + file_name);
        std::filesystem::create_directories(dir);
        std::filesystem::copy_file(sim_plugin, dir / file_name);

        auto const outcome = run_zelm({"scan", dir.native()});

        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_NE(outcome.out.find("no devices found"), std::string::npos) << outcome.out;
        EXPECT_EQ(outcome.err,
                  hint ? "zelm: warning: No plug-in in " + dir.native() + ", though it holds " + file_name +
                             R"(: a plug-in's file name contains "_manager" (CMake names a module lib<target>.so )"
                             "by default)\n"
                       : std::string());
    }
}

TEST_F(ScanDiagnostics, ProgressCountsDevicesWithinOnePlugin) {
    // Each query takes far longer than the tool waits before it shows
    // progress; the scan itself is what is slow, not the test's clock.
    json devices = json::array();
    for (auto const* serial : {"SLOW-1", "SLOW-2", "SLOW-3"}) {
        devices.push_back({{"description", {{"serial", serial}}}, {"latency_ms", {{"get_info", 1000}}}});
    }
    use_sim_config(sim_config(devices));
    RunningZelm zelm({"scan", "--plugin", sim_plugin.native()}, {}, Stderr::terminal);
    auto const outcome = zelm.finish();

    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_NE(outcome.err.find("scanning plug-ins: 0 of 1 done; devices scanned: 1"), std::string::npos)
        << outcome.err;
    EXPECT_NE(outcome.err.find("scanning plug-ins: 0 of 1 done; devices scanned: 2"), std::string::npos)
        << outcome.err;
}

}  // namespace
}  // namespace zelm::tool_test
