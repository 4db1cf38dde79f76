// What `zelm scan` says besides its results: warnings on standard error
// only (standard output stays data), failed devices named by description and
// plug-in, and progress that moves with every device, not every plug-in.
#include "tool_test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>

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

    ASSERT_EQ(outcome.status, 0) << outcome.err;
    auto const records = json::parse(outcome.out, nullptr, false);
    ASSERT_FALSE(records.is_discarded()) << "standard output is not JSON:\n" << outcome.out;
    ASSERT_EQ(records.size(), 2U) << outcome.out;
    EXPECT_EQ(records[1].at("state"), "failed");

    auto const lines = lines_of(outcome.err);
    auto const has_line = [&lines](std::string const& text) {
        return std::ranges::any_of(lines, [&text](std::string const& line) { return line.starts_with(text); });
    };
    EXPECT_TRUE(has_line("zelm: warning: Scanner skipped manager " + broken.native() + ": ")) << outcome.err;
    EXPECT_TRUE(has_line(R"(zelm: warning: Failed to query device {"serial":"S-FAIL"} (sim_manager.so): )"))
        << outcome.err;
    EXPECT_NE(outcome.err.find("bus error"), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.err.find("device_"), std::string::npos) << "a lock identity is no name:\n" << outcome.err;
    EXPECT_EQ(lines.size(), 2U) << outcome.err;
}

// A plug-in's message reaches standard error as one line of what it holds:
// it cannot forge lines of its own or send the terminal escape sequences.
TEST_F(ScanDiagnostics, ErrorAndWarningLinesShowAPluginsTextEscaped) {
    auto const hostile = test::install_test_plugin(scratch(), "hostile_manager.so",
                                                   {{"create_throws", "boom\nzelm: forged\x1b]0;title\x07"}});
    std::string const shown = R"(boom\nzelm: forged\x1b]0;title\x07)";

    auto const scan = run_zelm({"scan", "--plugin", hostile.native()});
    auto const info = run_zelm({"info", hostile.native(), R"({"serial":"X"})"});

    for (auto const& outcome : {scan, info}) {
        auto const lines = lines_of(outcome.err);
        ASSERT_EQ(lines.size(), 1U) << outcome.err;
        EXPECT_TRUE(lines[0].ends_with(shown)) << lines[0];
    }
    EXPECT_TRUE(scan.err.starts_with("zelm: warning: Scanner skipped manager ")) << scan.err;
    EXPECT_TRUE(info.err.starts_with("zelm info: cannot load plug-in ")) << info.err;
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
