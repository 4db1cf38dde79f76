// How the tool ends, called directly: the exit status and error line that
// each kind of failure gives, and how `hold` takes the command it runs.
#include "arguments.hpp"
#include "child_command.hpp"
#include "commands.hpp"
#include "device_session.hpp"
#include "exit_status.hpp"

#include <zelm/cluster.hpp>
#include <zelm/owner.hpp>
#include <zelm/select.hpp>

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zelm::tool {
namespace {

// A failure wrapped in what the tool was doing, as explained() wraps it.
[[noreturn]] void wrapped(std::function<void()> const& failure) {
    explained("doing", failure);
    throw std::logic_error("no failure");
}

TEST(ExitStatus, EachKindOfFailureHasItsStatusAndLine) {
    struct Case {
        char const* name;
        std::function<void()> command;
        CommandOutcome outcome;
    };
    std::vector<DeviceCandidate> const candidates{{"/p/a_manager.so", R"({"s":1})"}, {"/p/a_manager.so", R"({"s":2})"}};
    std::vector<Case> const cases{
        {"success", [] {}, {0, std::nullopt}},
        {"failure", [] { throw std::runtime_error("cannot open device"); }, {1, "cannot open device"}},
        {"usage", [] { throw UsageError("no row 4"); }, {2, "no row 4"}},
        {"selector syntax", [] { throw SelectorSyntaxError("an empty device selector"); },
         {2, "an empty device selector"}},
        {"no match", [] { throw NoMatchingDeviceError("no device matches", false); }, {2, "no device matches"}},
        {"no match, incomplete search", [] { throw NoMatchingDeviceError("no device matches; 1 ...", true); },
         {1, "no device matches; 1 ..."}},
        {"ambiguous", [&] { throw AmbiguousSelectorError("2 devices match", candidates); },
         {2, "2 devices match", {R"(/p/a_manager.so  {"s":1})", R"(/p/a_manager.so  {"s":2})"}}},
        {"library's occupied", [] { throw DeviceOccupiedError(std::nullopt); }, {3, "Device is already occupied"}},
        {"held on another host", [] { throw cluster::HeldElsewhereError({"host-b", 7, "zelm", "", ""}); },
         {3, "Device is already occupied"}},
        // The cause's type decides; the line is what the tool was doing.
        {"occupied, explained", [] { wrapped([] { throw DeviceOccupiedError(std::nullopt); }); },
         {3, "doing: Device is already occupied"}},
        {"usage, explained twice", [] { wrapped([] { wrapped([] { throw UsageError("x"); }); }); },
         {2, "doing: doing: x"}},
        {"failure, explained", [] { wrapped([] { throw std::runtime_error("x"); }); }, {1, "doing: x"}},
        {"command's status", [] { throw ExitStatus(42); }, {42, std::nullopt}},
        {"command not run", [] { throw ExitStatus(127, "cannot run x: No such file or directory"); },
         {127, "cannot run x: No such file or directory"}},
        {"non-standard", [] { throw 7; }, {1, "unknown exception from plug-in code"}},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run_for_outcome(c.command), c.outcome);
    }
}

TEST(ExitStatus, ACommandsEndIsPassedOnAsShellsReportIt) {
    struct Case {
        int wait_status;
        int exit_status;
    };
    std::vector<Case> const cases{
        {W_EXITCODE(0, 0), 0},
        {W_EXITCODE(7, 0), 7},
        {W_EXITCODE(255, 0), 255},
        {W_EXITCODE(0, SIGTERM), 128 + SIGTERM},
        {W_EXITCODE(0, SIGSEGV) | WCOREFLAG, 128 + SIGSEGV},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.wait_status);
        EXPECT_EQ(exit_status_of(c.wait_status), c.exit_status);
    }
}

TEST(HoldCommand, IsEveryWordAfterTheSeparatorThatFollowsHold) {
    using Words = std::vector<std::string>;
    struct Case {
        Words arguments;
        std::size_t hold_at;
        std::optional<std::size_t> start;
    };
    std::vector<Case> const cases{
        {{"hold", "p", "d"}, 0, std::nullopt},
        {{"hold", "p", "d", "--for", "1"}, 0, std::nullopt},
        {{"hold", "p", "d", "--", "sh", "-c", "x", "--"}, 0, 4},
        // A word after "--" is the command's even where the tool would take
        // it for a plug-in, a selector or an option.
        {{"hold", "SIM-0002", "--", "/bin/echo", "hi"}, 0, 3},
        {{"hold", "--", "x_manager.so", "@1"}, 0, 2},
        {{"--cluster", "--", "hold", "d", "--", "true"}, 2, 5},  // a "--" before hold is no separator
        {{"hold", "d", "--"}, 0, 3},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        EXPECT_EQ(hold_command_start(c.arguments, c.hold_at), c.start);
    }
}

TEST(HoldCommand, ACommandBeforeTheSeparatorOrNoneAfterItIsBadUsage) {
    using Words = std::vector<std::string>;
    std::string const after = "the command to run goes after \"--\": zelm hold ... -- COMMAND [ARGS...]";
    struct Case {
        Words stray;  // what the command line took for the command before "--"
        std::optional<Words> command;
        std::optional<std::string> error;
    };
    std::vector<Case> const cases{
        {{}, std::nullopt, std::nullopt},
        {{}, Words{"sh", "-c", "x", "-n", "--for", "--"}, std::nullopt},
        {{"true"}, std::nullopt, after},
        {{"true"}, Words{"x"}, after},
        {{}, Words{}, "no command after \"--\""},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.stray));
        std::optional<std::span<std::string const>> command;
        if (c.command) {
            command = *c.command;
        }
        EXPECT_EQ(misplaced_command(c.stray, command), c.error);
    }
}

}  // namespace
}  // namespace zelm::tool
