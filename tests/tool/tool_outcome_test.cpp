// How the tool ends, called directly: the exit status and error line that
// each kind of failure gives, and how `hold` takes the command it runs.
#include "arguments.hpp"
#include "child_command.hpp"
#include "commands.hpp"
#include "exit_status.hpp"
#include "selector.hpp"

#include <zelm/owner.hpp>

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zelm::tool {
namespace {

TEST(ExitStatus, EachKindOfFailureHasItsStatusAndLine) {
    struct Case {
        char const* name;
        std::function<void()> command;
        CommandOutcome outcome;
    };
    std::vector<Case> const cases{
        {"success", [] {}, {0, std::nullopt}},
        {"failure", [] { throw std::runtime_error("cannot open device"); }, {1, "cannot open device"}},
        {"usage", [] { throw UsageError("no device matches"); }, {2, "no device matches"}},
        {"ambiguous", [] { throw AmbiguousSelector("2 devices match", {"a", "b"}); },
         {2, "2 devices match", {"a", "b"}}},
        {"occupied", [] { throw OccupiedError("cannot own device x: occupied"); },
         {3, "cannot own device x: occupied"}},
        {"library's occupied", [] { throw DeviceOccupiedError(std::nullopt); }, {3, "Device is already occupied"}},
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

TEST(HoldCommand, IsTakenOnlyAfterTheSeparatorAndWordForWord) {
    using Words = std::vector<std::string>;
    std::string const after = "the command to run goes after \"--\": zelm hold ... -- COMMAND [ARGS...]";
    struct Case {
        Words arguments;
        Words command;  // as the command line parsed it
        std::optional<std::string> error;
    };
    std::vector<Case> const cases{
        {{"hold", "p", "d"}, {}, std::nullopt},
        {{"hold", "p", "d", "--for", "1"}, {}, std::nullopt},
        {{"hold", "p", "d", "--", "sh", "-c", "x", "-n", "--for", "--"}, {"sh", "-c", "x", "-n", "--for", "--"},
         std::nullopt},
        {{"hold", "--wait", "1", "p", "d", "--", "true"}, {"true"}, std::nullopt},
        // A description after "--" is no command.
        {{"hold", "p", "--", "-5"}, {}, std::nullopt},
        {{"hold", "p", "d", "true"}, {"true"}, after},
        {{"hold", "p", "d", "true", "--", "x"}, {"true", "x"}, after},
        {{"hold", "p", "d", "--"}, {}, "no command after \"--\""},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        EXPECT_EQ(misplaced_command(c.arguments, c.command), c.error);
    }
}

}  // namespace
}  // namespace zelm::tool
