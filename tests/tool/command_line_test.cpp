// The tool's contract with scripts: exit statuses, one-line errors, help and
// version, and the lock identity it prints.
#include "tool_test_support.hpp"

#include <zelm/lock.hpp>

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>

namespace zelm::tool_test {
namespace {

using nlohmann::json;

std::string const description = R"({"serial":"SIM-0001"})";

struct BadCall {
    char const* name;
    std::vector<std::string> arguments;
    std::string named;  // what the error line must name
};

void PrintTo(BadCall const& call, std::ostream* out) { *out << call.name; }

class UsageErrors : public ToolTest, public ::testing::WithParamInterface<BadCall> {};

TEST_P(UsageErrors, ExitWithStatusTwoAndOneLine) {
    auto const outcome = run_zelm(GetParam().arguments);

    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.out, "");
    ASSERT_EQ(lines_of(outcome.err).size(), 1U) << outcome.err;
    EXPECT_TRUE(outcome.err.starts_with("zelm")) << outcome.err;
    EXPECT_NE(outcome.err.find(GetParam().named), std::string::npos) << outcome.err;
}

std::string const plugin = sim_plugin.native();

INSTANTIATE_TEST_SUITE_P(
    Calls, UsageErrors,
    ::testing::Values(BadCall{"NoCommand", {}, "subcommand is required"},
                      BadCall{"UnknownCommand", {"frobnicate"}, "unknown command \"frobnicate\""},
                      BadCall{"UnknownOption", {"scan", "--fast"}, "--fast"},
                      BadCall{"ZeroJobs", {"scan", "--jobs", "0"}, "--jobs"},
                      BadCall{"JobsNotANumber", {"scan", "--jobs", "many"}, "--jobs: wants a number, not \"many\""},
                      BadCall{"TimeoutWithoutIsolate", {"scan", "--timeout", "5"}, "--isolate"},
                      BadCall{"ZeroTimeout", {"scan", "--isolate", "--timeout", "0"}, "--timeout"},
                      BadCall{"MissingSelector", {"hold", plugin}, "SELECTOR is required"},
                      BadCall{"DescriptionNotJson", {"hold", plugin, "{serial: 1}"}, "SELECTOR: not a JSON"},
                      BadCall{"RowZero", {"info", "@0"}, "SELECTOR: rows of the scan's table are numbered from 1"},
                      BadCall{"NegativeHoldTime", {"hold", plugin, description, "--for", "-1"}, "--for"},
                      BadCall{"HoldTimeBeyondTheClock", {"hold", plugin, description, "--for", "1e10"}, "--for"},
                      BadCall{"InfiniteHoldTime", {"hold", plugin, description, "--for", "inf"}, "--for"},
                      BadCall{"HoldTimeNotANumber", {"hold", plugin, description, "--for", "nan"}, "--for"},
                      BadCall{"HoldTimeBeyondADouble", {"hold", plugin, description, "--for", "1e400"}, "--for"},
                      BadCall{"InfiniteTimeout", {"scan", "--isolate", "--timeout", "inf"}, "--timeout"},
                      BadCall{"TimeoutBeyondTheClock", {"scan", "--isolate", "--timeout", "1e10"}, "--timeout"},
                      // As deep as one argument can be (the kernel caps it at 128 KiB).
                      BadCall{"DeepDescription",
                              {"hold", plugin, std::string(60000, '[') + std::string(60000, ']')},
                              "nested deeper than 128 levels"},
                      // Numbers that would be read as other numbers, naming their devices.
                      BadCall{"DescriptionNumberBeyondADouble",
                              {"info", plugin, R"({"serial":1e400})"},
                              "SELECTOR: device description: the number 1e400 is beyond the range of a double"},
                      BadCall{"DescriptionIntegerBeyond64Bits",
                              {"hold", R"({"serial":18446744073709551616})"},
                              "the integer 18446744073709551616 does not fit in 64 bits"},
                      BadCall{"DescriptionNumberTooSmall",
                              {"who", plugin, R"({"serial":-1e-400})"},
                              "the number -1e-400 is too small to tell from 0"},
                      BadCall{"LockIdDescriptionNumberBeyondADouble",
                              {"lock-id", "--manager-path", "/x", R"([{"a":-1e400}])"},
                              "the number -1e400 is beyond the range of a double"},
                      BadCall{"HoldTimeAndCommand",
                              {"hold", plugin, description, "--for", "1", "--", "true"},
                              "--for and a command exclude each other"},
                      BadCall{"HoldCommandBeforeTheSeparator",
                              {"hold", plugin, description, "true"},
                              "the command to run goes after \"--\""},
                      BadCall{"HoldSeparatorWithoutCommand", {"hold", plugin, description, "--"},
                              "no command after \"--\""},
                      BadCall{"RegisterWithoutAction", {"reg"}, "zelm reg:"},
                      BadCall{"UnknownRegisterAction", {"reg", "fetch"}, "unknown command \"fetch\""},
                      BadCall{"AddressNotANumber", {"reg", "get", plugin, description, "0x1g"}, "ADDRESS"},
                      BadCall{"AddressTooLarge", {"reg", "get", plugin, description, "0x100000000"}, "ADDRESS"},
                      BadCall{"MissingValue", {"reg", "set", plugin, description, "1"}, "VALUE"},
                      BadCall{"MissingCount", {"read", plugin, description, "0"}, "COUNT"},
                      BadCall{"CountTooLarge", {"read", plugin, description, "0", "0x40000001"},
                              "COUNT: \"0x40000001\": at most"},
                      BadCall{"OddHexDigits", {"write", plugin, description, "0", "abc"}, "BYTES"},
                      BadCall{"NotHex", {"write", plugin, description, "0", "zz"}, "\"zz\""},
                      BadCall{"ExtraArgument", {"lock-id", "/x", description, "more"}, "more"},
                      BadCall{"BadClusterEndpoint", {"--cluster", "ftp://x", "scan"}, "Bad cluster endpoint: ftp://x"},
                      BadCall{"BadHostId",
                              {"--cluster", "http://127.0.0.1:9", "--host-id", "a/b", "scan"},
                              "Bad cluster host id: a/b"},
                      BadCall{"ShortClusterTtl",
                              {"--cluster", "http://127.0.0.1:9", "--cluster-ttl", "1", "scan"},
                              "Bad cluster time-to-live"},
                      BadCall{"UnknownCommandAfterCluster",
                              {"--cluster", "http://127.0.0.1:9", "frobnicate"},
                              "unknown command \"frobnicate\""}),
    [](auto const& param_info) { return std::string(param_info.param.name); });

struct FailingCall {
    char const* name;
    std::vector<std::string> arguments;
    std::string named;  // what the error line must name
};

void PrintTo(FailingCall const& call, std::ostream* out) { *out << call.name; }

class FailedOperations : public ToolTest, public ::testing::WithParamInterface<FailingCall> {};

TEST_P(FailedOperations, ExitWithStatusOneAndNameWhatFailed) {
    auto const outcome = run_zelm(GetParam().arguments);

    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    ASSERT_EQ(lines_of(outcome.err).size(), 1U) << outcome.err;
    EXPECT_NE(outcome.err.find(GetParam().named), std::string::npos) << outcome.err;
}

INSTANTIATE_TEST_SUITE_P(
    Calls, FailedOperations,
    ::testing::Values(
        FailingCall{"MissingPlugin", {"hold", "/nonexistent/x_manager.so", description}, "/nonexistent/x_manager.so"},
        FailingCall{"MissingDirectory", {"scan", "/nonexistent/plugins"}, "/nonexistent/plugins"},
        FailingCall{"MissingPluginsDirectory", {"plugins", "/nonexistent/plugins"}, "/nonexistent/plugins"},
        FailingCall{"UnwritableStreamOutput",
                    // Opened once the device is owned, so the device must be one that is listed.
                    {"stream", plugin, R"({"model":"sim-counter","serial":"SIM-0001"})", "0", "--bytes", "1", "-o",
                     "/nonexistent/out.bin"},
                    "/nonexistent/out.bin"}),
    [](auto const& param_info) { return std::string(param_info.param.name); });

TEST_F(ToolTest, LockIdOfAManagerPathIsTheLibrarysLockIdentity) {
    struct Case {
        std::string manager_path;
        std::string description;
    };
    std::vector<Case> const cases{
        {"/opt/zelm/plugins/sim_manager.so", R"({"serial":"SIM-0001","model":"sim-counter"})"},
        // Member order and spacing do not change a description.
        {"/opt/zelm/plugins/sim_manager.so", R"({ "model": "sim-counter", "serial": "SIM-0001" })"},
        {"relative/x_manager.so", R"("just a string")"},
        {"/dev/bench", "[1, 2.5, null]"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.manager_path + " " + c.description);
        auto const outcome = run_ok({"lock-id", "--manager-path", c.manager_path, c.description});
        EXPECT_EQ(outcome.out, detail::make_lock_id(c.manager_path, json::parse(c.description)) + "\n");
    }
}

TEST_F(ToolTest, HelpDescribesEveryCommandAndVersionNamesTheTool) {
    auto const help = run_ok({"--help"});
    for (auto const* command :
         {"scan", "plugins", "hold", "info", "status", "reg", "read", "write", "stream", "lock-id", "who"}) {
        SCOPED_TRACE(command);
        auto const listed = help.out.find(std::string("\n  ") + command);  // "who, owner" for an alias
        ASSERT_NE(listed, std::string::npos) << help.out;
        EXPECT_NE(std::string(" ,").find(help.out.at(listed + 3 + std::strlen(command))), std::string::npos);
        auto const own = run_ok({command, "--help"});
        EXPECT_TRUE(own.out.find("Usage:") != std::string::npos) << own.out;
    }
    EXPECT_EQ(run_ok({"--version"}).out, std::string("zelm ") + ZELM_TOOL_VERSION + "\n");
}

}  // namespace
}  // namespace zelm::tool_test
