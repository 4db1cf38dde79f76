// `zelm hold ... -- COMMAND` and `--wait`, with real processes: the command
// runs while the device is owned, gets its arguments as given, a fresh
// signal state and the tool's SIGINT/SIGTERM, and decides the exit status;
// waiters take the device in turn, never two at once.
#include "tool_test_support.hpp"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

namespace zelm::tool_test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

// A bound on liveness (a waiter that never gets the device), not on speed.
constexpr auto patience = std::chrono::seconds(30);

class HoldCommand : public ToolTest {
protected:
    void SetUp() override { use_sim_config(sim_config(json::array({{{"description", held}}}))); }

    std::vector<std::string> hold(std::vector<std::string> const& tail) const {
        std::vector<std::string> arguments{"hold", sim_plugin.native(), held.dump()};
        arguments.insert(arguments.end(), tail.begin(), tail.end());
        return arguments;
    }

    // The state `zelm scan` reports for the device, and its owner's pid.
    std::pair<std::string, json> scanned() {
        auto const records = run_json({"scan", "--json", "--plugin", sim_plugin.native()});
        EXPECT_EQ(records.size(), 1U) << records.dump();
        auto const& record = records.at(0);
        return {record.at("state"), record.value("owner", json())};
    }

    json const held{{"serial", "H-1"}};
};

TEST_F(HoldCommand, ExitsWithTheCommandsStatusAndPassesItsArgumentsAsGiven) {
    auto const not_executable = scratch() / "data.txt";
    std::ofstream(not_executable) << "echo never\n";
    struct Case {
        std::vector<std::string> command;
        int status;
        std::string out;
        std::string err;
    };
    std::vector<Case> const cases{
        {{"sh", "-c", R"(printf '%s|' "$@")", "x", "-n", "--for", "--", "--wait", "a b"},
         0,
         "-n|--for|--|--wait|a b|",
         ""},
        {{"sh", "-c", "exit 7"}, 7, "", ""},
        {{"sh", "-c", "kill -TERM $$"}, 128 + SIGTERM, "", ""},
        {{"/nonexistent/command"}, 127, "", "zelm hold: cannot run /nonexistent/command: No such file or directory\n"},
        {{not_executable.native()}, 126, "", "zelm hold: cannot run " + not_executable.native() + ": Permission denied\n"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.command.front() + " " + std::to_string(c.status));
        auto arguments = c.command;
        arguments.insert(arguments.begin(), "--");
        auto const outcome = run_zelm(hold(arguments));
        EXPECT_EQ(outcome.status, c.status) << outcome.err;
        EXPECT_EQ(outcome.out, c.out);  // the command's output only: no "holding" lines
        EXPECT_EQ(outcome.err, c.err);
    }
}

// Nothing after "--" is the tool's: not even a first word that names a
// plug-in (a path) while the plug-in is left out, or one that looks like a
// selector or an option.
TEST_F(HoldCommand, EveryWordAfterTheSeparatorIsTheCommandsWhateverItLooksLike) {
    test::TempDir const plugins;
    fs::copy_file(sim_plugin, plugins.path() / "sim_manager.so");
    EnvChanges const env{{"ZELM_PLUGIN_DIR", plugins.path().native()}};
    using Words = std::vector<std::string>;
    struct Case {
        Words arguments;
        std::string out;
    };
    std::vector<Case> const cases{
        {{"hold", "H-1", "--", "/bin/echo", "hi"}, "hi\n"},
        {{"hold", "serial=H-1", "--", "/bin/echo", "x_manager.so", "@1"}, "x_manager.so @1\n"},
        {{"hold", "--wait", "1", held.dump(), "--", "/bin/echo", "--for", "1"}, "--for 1\n"},
        {{"hold", "sim_manager.so", "H-1", "--", "/bin/echo", "serial=H-2"}, "serial=H-2\n"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        auto const outcome = run_zelm(c.arguments, env);
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(outcome.out, c.out);
    }
}

TEST_F(HoldCommand, TheDeviceIsOwnedWhileTheCommandRunsAndFreeAfter) {
    RunningZelm zelm(hold({"--", zelm_path.native(), "scan", "--json", "--plugin", sim_plugin.native()}));
    auto const holder = zelm.pid();
    auto const outcome = zelm.finish();

    ASSERT_EQ(outcome.status, 0) << outcome.err;
    auto const inner = json::parse(outcome.out);
    ASSERT_EQ(inner.size(), 1U) << outcome.out;
    EXPECT_EQ(inner[0].at("state"), "occupied");
    EXPECT_EQ(inner[0].at("owner").at("pid"), holder);
    EXPECT_EQ(scanned().first, "found");
}

// Hex masks of /proc/<pid>/status, e.g. "SigBlk".
unsigned long long status_mask(std::string const& status, std::string const& name) {
    std::istringstream lines(status);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(name + ":")) {
            return std::stoull(line.substr(name.size() + 1), nullptr, 16);
        }
    }
    ADD_FAILURE() << "no " << name << " in\n" << status;
    return ~0ULL;
}

TEST_F(HoldCommand, TheCommandStartsWithNothingBlockedOrIgnored) {
    auto const outcome = run_zelm(hold({"--", "cat", "/proc/self/status"}));

    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(status_mask(outcome.out, "SigBlk"), 0U);  // the tool blocks SIGINT and SIGTERM
    // The tool ignores SIGPIPE; the C library's own real-time signals are
    // its matter, so only the standard signals count.
    EXPECT_EQ(status_mask(outcome.out, "SigIgn") & 0x7fffffffULL, 0U);
}

class PassedOnSignal : public HoldCommand, public ::testing::WithParamInterface<int> {};

TEST_P(PassedOnSignal, ReachesTheCommandWhichDecidesTheStatus) {
    RunningZelm zelm(hold({"--", "sh", "-c", "trap 'echo stopping; exit 42' INT TERM; echo ready; while :; do sleep 0.05; done"}));
    ASSERT_EQ(zelm.read_line(), "ready");
    EXPECT_EQ(scanned().first, "occupied");

    zelm.signal(GetParam());
    auto const outcome = zelm.finish();

    EXPECT_EQ(outcome.status, 42) << outcome.err;
    EXPECT_EQ(outcome.out, "stopping\n");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(scanned().first, "found");
}

INSTANTIATE_TEST_SUITE_P(Signals, PassedOnSignal, ::testing::Values(SIGINT, SIGTERM),
                         [](auto const& param_info) { return std::string(sigabbrev_np(param_info.param)); });

TEST_F(HoldCommand, WithoutWaitAnOccupiedDeviceFailsWithStatus3) {
    Holder holder(sim_plugin, held);
    ASSERT_TRUE(holder.holding());
    auto const owner = "Device is already occupied by process " + std::to_string(holder.process().pid()) + " (zelm)";

    auto const at_once = run_zelm(hold({"--", "echo", "never"}));
    auto const after_wait = run_zelm(hold({"--wait", "0.2", "--", "echo", "never"}));

    EXPECT_EQ(at_once.status, 3);
    EXPECT_EQ(at_once.out, "");
    EXPECT_NE(at_once.err.find(owner + "\n"), std::string::npos) << at_once.err;
    EXPECT_EQ(after_wait.status, 3);
    EXPECT_EQ(after_wait.out, "");
    EXPECT_NE(after_wait.err.find(owner + " (waited 0.2 s)\n"), std::string::npos) << after_wait.err;
}

// The test plug-in logs each listing of its devices, and so each attempt to
// own one: a waiter is seen trying before the holder lets go.
TEST_F(HoldCommand, AWaiterGetsTheDeviceOnceTheHolderLetsGo) {
    auto const events = scratch() / "events";
    auto const plugin = test::install_test_plugin(
        scratch(), "t_manager.so", {{"devices", json::array({held})}, {"events", events.native()}});
    Holder holder(plugin, held);
    ASSERT_TRUE(holder.holding());

    RunningZelm waiter({"hold", plugin.native(), held.dump(), "--wait", "60", "--", "echo", "mine"});
    auto const attempts = [&] {
        return test::count_events(test::read_events_without_pid(events), "list") -
               std::size_t{1};  // the holder's own
    };
    auto const limit = Clock::now() + patience;
    while (attempts() < 2 && Clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GE(attempts(), 2U);
    holder.process().signal(SIGTERM);
    EXPECT_EQ(holder.process().finish().status, 0);
    auto const outcome = waiter.finish();

    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "mine\n");
}

// A serial number names a held device by the one it showed when it was last
// queried while free: `--wait` waits for the device instead of failing to
// find it.
TEST_F(HoldCommand, AWaiterNamingTheDeviceBySerialNumberGetsItOnceTheHolderLetsGo) {
    auto const events = scratch() / "events";
    auto const plugin = test::install_test_plugin(
        scratch(), "t_manager.so", {{"devices", json::array({held})}, {"events", events.native()}});
    auto const serial = held.at("serial").get<std::string>();
    run_ok({"info", plugin.native(), serial});  // queried once while free
    Holder holder(plugin, held);
    ASSERT_TRUE(holder.holding());

    auto const at_once = run_zelm({"hold", plugin.native(), serial, "--", "true"});
    EXPECT_EQ(at_once.status, 3) << at_once.err;
    EXPECT_NE(at_once.err.find("occupied by process " + std::to_string(holder.process().pid())), std::string::npos)
        << at_once.err;

    auto const lists = [&] { return test::count_events(test::read_events_without_pid(events), "list"); };
    auto const before = lists();
    RunningZelm waiter({"hold", plugin.native(), serial, "--wait", "60", "--", "echo", "mine"});
    auto const limit = Clock::now() + patience;
    while (lists() < before + 2 && Clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GE(lists(), before + 2) << "the waiter did not try again:\n" << waiter.finish().err;
    holder.process().signal(SIGTERM);
    EXPECT_EQ(holder.process().finish().status, 0);
    auto const outcome = waiter.finish();

    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "mine\n");
}

// Waiters that all want the device at once take it in turn: each one's
// command makes a directory that must not exist yet, and removes it.
TEST_F(HoldCommand, WaitersNeverOwnTheDeviceTogether) {
    auto const inside = scratch() / "inside";
    auto const critical = "mkdir '" + inside.native() + "' || exit 99; sleep 0.2; rmdir '" + inside.native() + "'";
    std::vector<std::unique_ptr<RunningZelm>> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.push_back(std::make_unique<RunningZelm>(hold({"--wait", "60", "--", "sh", "-c", critical})));
    }
    for (auto const& waiter : waiters) {
        auto const outcome = waiter->finish();
        EXPECT_EQ(outcome.status, 0) << outcome.err;
    }
    EXPECT_FALSE(fs::exists(inside));
    EXPECT_EQ(scanned().first, "found");
}

}  // namespace
}  // namespace zelm::tool_test
