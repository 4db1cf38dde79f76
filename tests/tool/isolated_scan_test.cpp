// `zelm scan --isolate`: each plug-in is scanned in a child process of its
// own, so a plug-in that crashes, hangs or leaves processes behind costs only
// its own devices, while the results otherwise are those of a plain scan,
// byte for byte.
#include "tool_test_support.hpp"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <ostream>
#include <sstream>
#include <thread>

namespace zelm::tool_test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

inline fs::path const forking_plugin{ZELM_FORKING_PLUGIN};

// The isolated scans below give each plug-in this long.
constexpr int timeout_seconds = 2;
// An isolated scan must end within its time-out plus this much: a bound on
// liveness (a scan that waits for a hung plug-in), not on speed.
constexpr auto liveness_margin = std::chrono::seconds(10);

std::vector<std::string> sorted_lines(std::string const& text) {
    auto lines = lines_of(text);
    std::ranges::sort(lines);
    return lines;
}

struct BadPlugin {
    char const* name;
    json config;       // of the bad plug-in, a copy of the test plug-in
    std::string what;  // how the end of its scan is reported
};

void PrintTo(BadPlugin const& bad, std::ostream* out) { *out << bad.name; }

// A bad plug-in, "b_manager.so", between two good ones; each test plug-in
// copy logs its events, and so the process ids that ran it.
class SurvivingBadPlugin : public ToolTest, public ::testing::WithParamInterface<BadPlugin> {
protected:
    void SetUp() override {
        fs::create_directories(dir);
        fs::copy_file(sim_plugin, good_a);
        auto bad_config = GetParam().config;
        bad_config["events"] = bad_events.native();
        test::install_test_plugin(dir, "b_manager.so", bad_config);
        test::install_test_plugin(
            dir, "c_manager.so",
            {{"devices", json::array({{{"serial", "C-1"}}, {{"serial", "C-2"}}})}, {"events", good_events.native()}});
    }

    fs::path const dir = scratch() / "plugins";
    fs::path const good_a = dir / "a_manager.so";
    fs::path const bad = dir / "b_manager.so";
    fs::path const good_c = dir / "c_manager.so";
    fs::path const bad_events = scratch() / "b.events";
    fs::path const good_events = scratch() / "c.events";
};

TEST_P(SurvivingBadPlugin, CostsOnlyItsOwnDevicesAndOneLine) {
    auto const start = Clock::now();
    RunningZelm zelm({"scan", dir.native(), "--json", "--isolate", "--timeout", std::to_string(timeout_seconds),
                      "--jobs", "2"});
    auto const outcome = zelm.finish();
    auto const elapsed = Clock::now() - start;
    auto const bad_pids = event_writers(bad_events);
    auto const good_pids = event_writers(good_events);

    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_LT(elapsed, std::chrono::seconds(timeout_seconds) + liveness_margin);
    EXPECT_EQ(lines_of(outcome.err), std::vector<std::string>{"zelm: warning: Isolated scan of " + bad.native() +
                                                              " failed: " + GetParam().what});
    // Each plug-in ran in one process of its own, not in the tool, and none
    // is left running.
    ASSERT_EQ(bad_pids.size(), 1U);
    ASSERT_EQ(good_pids.size(), 1U);
    for (pid_t const pid : {*bad_pids.begin(), *good_pids.begin()}) {
        EXPECT_NE(pid, zelm.pid());
        EXPECT_TRUE(has_ended(pid)) << pid;
    }
    EXPECT_NE(*bad_pids.begin(), *good_pids.begin());
    // The good plug-ins' devices, exactly as a plain scan of them gives them.
    auto const plain = run_ok({"scan", "--json", "--plugin", good_a.native(), "--plugin", good_c.native()});
    EXPECT_EQ(outcome.out, plain.out);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SurvivingBadPlugin,
    ::testing::Values(
        BadPlugin{"CrashInListDevices",
                  {{"crash_in", "list_devices"}, {"devices", json::array({{{"serial", "B-1"}}})}},
                  "killed by signal 6 (Aborted)"},
        // The crash comes after another device of the plug-in was queried:
        // that device is lost with the plug-in's process all the same.
        BadPlugin{"CrashInGetInfo",
                  {{"devices", json::array({{{"serial", "B-1"}}, {{"serial", "B-2"}, {"crash_in", "get_info"}}})}},
                  "killed by signal 6 (Aborted)"},
        BadPlugin{"HangInOpenDevice",
                  {{"devices", json::array({{{"serial", "B-1"}, {"hang_in", "open_device"}}})}},
                  "timed out after " + std::to_string(timeout_seconds) + " s and was killed"}),
    [](auto const& param_info) { return std::string(param_info.param.name); });

// Every kind of record and warning a scan gives: found, failed and occupied
// devices (the last with its owner), a file that does not load, and a
// plug-in that throws a non-standard exception. The first plug-in answers
// slowly, so that parallel children end out of order.
class IsolationWithoutFailures : public ToolTest, public ::testing::WithParamInterface<std::string> {
protected:
    void SetUp() override {
        fs::create_directories(dir);
        test::install_test_plugin(
            dir, "a_manager.so",
            {{"devices", json::array({{{"serial", "A-SLOW"}, {"delay_ms", 400}}, {{"serial", "A-2"}}})}});
        fs::copy_file(sim_plugin, dir / "b_manager.so");
        test::install_test_plugin(
            dir, "c_manager.so",
            {{"devices", json::array({{{"serial", "C-1"}}, {{"serial", "C-2"}, {"info_error", "no answer"}}})}});
        std::ofstream(dir / "d_manager.so") << "not a shared library\n";
        fs::copy_file(test::int_throwing_plugin_path, dir / "e_manager.so");
        test::install_test_plugin(dir, "f_manager.so", {{"devices", json::array({{{"serial", "F-1"}}, held})}});
    }

    fs::path const dir = scratch() / "plugins";
    json const held{{"serial", "F-2"}};
};

// The isolated scan runs first, while no answer is cached yet, so the slow
// device really is slow.
TEST_P(IsolationWithoutFailures, GivesThePlainScansOutputByteForByte) {
    Holder holder(dir / "f_manager.so", held);
    ASSERT_TRUE(holder.holding());
    auto const jobs = GetParam();

    auto const isolated = run_ok({"scan", dir.native(), "--json", "--isolate", "--jobs", jobs});
    auto const plain = run_ok({"scan", dir.native(), "--json", "--jobs", jobs});
    auto const isolated_table = run_ok({"scan", dir.native(), "--isolate", "--jobs", jobs});
    auto const plain_table = run_ok({"scan", dir.native(), "--jobs", jobs});

    EXPECT_EQ(isolated.out, plain.out);
    EXPECT_EQ(isolated_table.out, plain_table.out);
    // The library's log lines in the children reach standard error as they
    // do in a plain scan (in the order the children happen to end).
    EXPECT_EQ(sorted_lines(isolated.err), sorted_lines(plain.err));
    // Two plug-ins skipped, and the device whose query failed named once.
    EXPECT_EQ(lines_of(isolated.err).size(), 3U) << isolated.err;
    // The owner, found in a child, is the holder itself.
    auto const records = json::parse(isolated.out);
    auto const occupied = std::ranges::find(records, json("occupied"), [](json const& r) { return r.at("state"); });
    ASSERT_NE(occupied, records.end()) << isolated.out;
    EXPECT_EQ(occupied->at("owner"), (json{{"pid", holder.process().pid()}, {"command", "zelm"}}));
}

INSTANTIATE_TEST_SUITE_P(Jobs, IsolationWithoutFailures, ::testing::Values("1", "3"),
                         [](auto const& param_info) { return "Jobs" + param_info.param; });

// A plug-in that starts a helper process, which outlives its scan and holds
// the result pipe open: after the scan ("return") or on its time-out
// ("hang") the helper dies with the plug-in's process group.
class LeftBehindProcess : public ToolTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(LeftBehindProcess, DiesWithThePluginsScan) {
    auto const dir = scratch() / "plugins";
    auto const forks = scratch() / "forks";
    fs::create_directories(dir);
    fs::copy_file(sim_plugin, dir / "a_manager.so");
    fs::copy_file(forking_plugin, dir / "f_manager.so");
    bool const hangs = GetParam() == "hang";

    auto const outcome =
        run_zelm({"scan", dir.native(), "--isolate", "--timeout", std::to_string(timeout_seconds)},
                 {{"ZELM_FORKING_EVENTS", forks.native()}, {"ZELM_FORKING_THEN", GetParam()}});

    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(parse_table(outcome.out).size(), 3U) << outcome.out;  // the simulated devices
    // A scan that took the pipe's end for the child's end would wait for the
    // helper until the time-out, and say so.
    auto const expected_err =
        hangs ? "zelm: warning: Isolated scan of " + (dir / "f_manager.so").native() + " failed: timed out after " +
                    std::to_string(timeout_seconds) + " s and was killed\n"
              : std::string();
    EXPECT_EQ(outcome.err, expected_err);
    // One helper per list call.
    auto const lines = test::read_events(forks);
    ASSERT_FALSE(lines.empty());
    for (auto const& line : lines) {
        std::istringstream fields(line);
        pid_t child = 0;
        pid_t helper = 0;
        ASSERT_TRUE(fields >> child >> helper) << line;
        EXPECT_TRUE(has_ended(child));
        bool const helper_ended = has_ended(helper);
        EXPECT_TRUE(helper_ended);
        if (!helper_ended) {
            kill(helper, SIGKILL);  // not to leave it to the machine
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AfterTheFork, LeftBehindProcess, ::testing::Values("return", "hang"),
                         [](auto const& param_info) { return param_info.param == "hang" ? "Hang" : "Return"; });

// However the tool is stopped during an isolated scan, the child it waits
// for goes with it: SIGINT and SIGTERM end the scan with one line, and a
// child of a tool killed outright dies with its parent.
class StoppedIsolatedScan : public ToolTest, public ::testing::WithParamInterface<int> {};

TEST_P(StoppedIsolatedScan, LeavesNoChildBehind) {
    auto const dir = scratch() / "plugins";
    auto const events = scratch() / "events";
    fs::create_directories(dir);
    test::install_test_plugin(dir, "h_manager.so",
                              {{"devices", json::array({{{"serial", "H-1"}, {"hang_in", "open_device"}}})},
                               {"events", events.native()}});
    RunningZelm zelm({"scan", dir.native(), "--isolate", "--timeout", "600"});
    // Stopped only once the child is stuck in the plug-in.
    auto const limit = Clock::now() + liveness_margin;
    while (test::count_events(test::read_events(events), "open") == 0 && Clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    zelm.signal(GetParam());

    auto const pids = event_writers(events);
    ASSERT_EQ(pids.size(), 1U);
    bool const child_ended = has_ended(*pids.begin());
    EXPECT_TRUE(child_ended);
    if (!child_ended) {
        kill(*pids.begin(), SIGKILL);  // not to leave it to the machine
    }
    auto const outcome = zelm.finish();
    if (GetParam() == SIGKILL) {
        EXPECT_EQ(outcome.status, 128 + SIGKILL);
    } else {
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.err, std::string("zelm scan: interrupted by SIG") + sigabbrev_np(GetParam()) + "\n");
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, StoppedIsolatedScan, ::testing::Values(SIGINT, SIGTERM, SIGKILL),
                         [](auto const& param_info) { return std::string(sigabbrev_np(param_info.param)); });

}  // namespace
}  // namespace zelm::tool_test
