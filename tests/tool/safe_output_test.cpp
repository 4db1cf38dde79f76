// What the tool does with hostile or broken surroundings: plug-in names
// planted in the current directory, file names and texts that a terminal
// would act on, output that cannot be written, times and descriptions beyond
// bounds, and a lock directory it cannot use.
#include "tool_test_support.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace zelm::tool_test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string quoted(std::string const& text) { return "'" + text + "'"; }

std::string read_file(fs::path const& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class SafeOutput : public ToolTest {
protected:
    // Runs `zelm <arguments>` through the shell with `redirection` applied to
    // its standard output; its standard error is kept in a file.
    Outcome run_shell(std::string const& arguments, std::string const& redirection, fs::path const& directory = ".") {
        auto const err_file = scratch() / "stderr.txt";
        auto const command = "cd " + quoted(directory.native()) + " && " + quoted(zelm_path.native()) + " " +
                             arguments + " " + redirection + " 2>" + quoted(err_file.native());
        int const status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, "", read_file(err_file)};
    }

    std::string const plugin = quoted(sim_plugin.native());
    std::string const device = R"('{"model":"sim-counter","serial":"SIM-0001"}')";
};

TEST_F(SafeOutput, ABareNameNeverLoadsAPluginFromTheCurrentDirectory) {
    test::TempDir const plugins;
    fs::copy_file(sim_plugin, plugins.path() / "sim_manager.so");
    fs::copy_file(sim_plugin, scratch() / "sim_manager.so");  // planted where the caller stands
    auto const in_scratch = [&](std::string const& name) {
        auto const outcome = run_shell("scan --json --plugin " + name, "> " + quoted((scratch() / "out.json").native()),
                                       scratch());
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        return json::parse(read_file(scratch() / "out.json")).at(0).at("plugin_path").get<std::string>();
    };
    ScopedEnv const plugin_dir("ZELM_PLUGIN_DIR", plugins.path().native());

    EXPECT_EQ(in_scratch("sim_manager.so"), (plugins.path() / "sim_manager.so").native());
    EXPECT_EQ(in_scratch("./sim_manager.so"), "./sim_manager.so");
}

TEST_F(SafeOutput, TablesShowControlCharactersAndInvalidBytesOfFileNamesAsEscapes) {
    test::TempDir const plugins;
    fs::copy_file(sim_plugin, plugins.path() / "evil\x1b[2J\x1b]0;owned\x07\nfound  X_manager.so");
    fs::copy_file(sim_plugin, plugins.path() / "latin\xe9_manager.so");
    auto const devices = scan_devices({sim_plugin}).size();

    auto const scan = run_ok({"scan", plugins.path().native()});
    auto const listing = run_ok({"plugins", plugins.path().native()});

    for (auto const& outcome : {scan, listing}) {
        SCOPED_TRACE(outcome.out);
        EXPECT_EQ(outcome.out.find('\x1b'), std::string::npos);
        EXPECT_EQ(outcome.out.find('\x07'), std::string::npos);
        EXPECT_NE(outcome.out.find("evil\\x1b[2J\\x1b]0;owned\\x07\\nfound  X_manager.so"), std::string::npos);
        EXPECT_NE(outcome.out.find("latin\\xe9_manager.so"), std::string::npos);
    }
    EXPECT_EQ(lines_of(scan.out).size(), 1 + 2 * devices);  // the header, then one line per device
    EXPECT_EQ(lines_of(listing.out).size(), 3U);
}

TEST_F(SafeOutput, JsonOfTextThatIsNotUtf8IsValidWithReplacementCharacters) {
    test::TempDir const plugins;
    fs::copy_file(sim_plugin, plugins.path() / "latin\xe9_manager.so");

    for (std::string const command : {"scan", "plugins"}) {
        SCOPED_TRACE(command);
        auto const output = run_json({command, plugins.path().native(), "--json"});
        ASSERT_TRUE(output.is_array() && !output.empty()) << output;
        EXPECT_EQ(output.at(0).at("plugin_path"), (plugins.path() / "latin\xef\xbf\xbd_manager.so").native());
    }
}

TEST_F(SafeOutput, OutputThatCannotBeWrittenFailsTheCommand) {
    for (auto const& arguments : {"scan", "scan --json", "plugins", "lock-id --manager-path /x '{}'"}) {
        SCOPED_TRACE(arguments);
        auto const outcome = run_shell(arguments, "> /dev/full");
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(lines_of(outcome.err).size(), 1U) << outcome.err;
        EXPECT_NE(outcome.err.find("cannot write output: No space left on device"), std::string::npos) << outcome.err;
    }
    auto const streamed = run_shell("stream " + plugin + " " + device + " 0 --bytes 100000 -o -", "> /dev/full");
    EXPECT_EQ(streamed.status, 1);
    EXPECT_NE(streamed.err.find("No space left on device"), std::string::npos) << streamed.err;
}

TEST_F(SafeOutput, AReaderThatLeavesEarlyIsNoErrorWorthAMessage) {
    // The reader is gone before the tool writes. `hold` ignores SIGPIPE, so
    // its writes fail with EPIPE, and it still holds, then releases.
    for (auto const& arguments : {std::string("scan"), "hold " + plugin + " " + device + " --for 0.2"}) {
        SCOPED_TRACE(arguments);
        auto const outcome = run_shell(arguments, "| (exec 0<&-; sleep 1)");
        EXPECT_EQ(outcome.err, "");
    }
}

TEST_F(SafeOutput, AStreamThatCannotOwnItsDeviceKeepsAnEarlierCapture) {
    auto const file = scratch() / "capture.bin";
    std::ofstream(file) << "earlier capture";
    Holder const holder(sim_plugin, json::parse(R"({"model":"sim-counter","serial":"SIM-0001"})"));
    ASSERT_TRUE(holder.holding());

    auto const outcome = run_zelm(
        {"stream", sim_plugin.native(), R"({"model":"sim-counter","serial":"SIM-0001"})", "0", "--bytes", "10", "-o",
         file.native()});

    EXPECT_EQ(outcome.status, 3);
    EXPECT_NE(outcome.err.find("Device is already occupied"), std::string::npos) << outcome.err;
    EXPECT_EQ(read_file(file), "earlier capture");
}

TEST_F(SafeOutput, AStreamThatFailsKeepsAnEarlierCaptureAndLeavesNothingBehind) {
    auto const file = scratch() / "capture.bin";
    std::ofstream(file) << "earlier capture";
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
    // More bytes than the simulated memory holds: the stream ends short.
    auto const failed = run_zelm({"stream", sim_plugin.native(), R"({"model":"sim-counter","serial":"SIM-0001"})",
                                  "0", "--bytes", "100000000", "--size", "10", "-o", file.native()});
    EXPECT_EQ(failed.status, 1) << failed.err;
    EXPECT_EQ(read_file(file), "earlier capture");

    auto const succeeded = run_zelm({"stream", sim_plugin.native(), R"({"model":"sim-counter","serial":"SIM-0001"})",
                                     "0", "--bytes", "10", "-o", file.native()});
    EXPECT_EQ(succeeded.status, 0) << succeeded.err;
    EXPECT_EQ(fs::file_size(file), 10U);
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    // The capture and nothing else.
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch()), fs::directory_iterator()), 1);
}

// A holder's command name is whatever its program file was called: one
// holding the device through a link named with a right-to-left override
// must not reorder what the tool prints after it.
TEST_F(SafeOutput, AHoldersCommandNameIsShownEscapedWhereverItIsPrinted) {
    std::string const override_mark = "\xe2\x80\xae";  // U+202E
    auto const program = scratch() / ("z" + override_mark + "gpj");
    fs::create_symlink(zelm_path, program);
    json const held{{"model", "sim-counter"}, {"serial", "SIM-0001"}};
    run_ok({"scan", "--plugin", sim_plugin.native()});  // so that info has an answer to show
    RunningZelm holder({"hold", sim_plugin.native(), held.dump()}, {}, Stderr::pipe, program);
    auto const holding = holder.read_line();
    ASSERT_TRUE(holding && holding->starts_with("holding ")) << holder.finish().err;
    auto const shown = std::to_string(holder.pid()) + " (z\\u{202e}gpj)";

    auto const who = run_ok({"who", sim_plugin.native(), "serial=SIM-0001"});
    EXPECT_EQ(who.out, shown + "\n");
    auto const info = run_ok({"info", sim_plugin.native(), held.dump()});
    EXPECT_NE(info.err.find("by process " + shown + "; its last answer"), std::string::npos) << info.err;
    auto const scan = run_ok({"scan", "--plugin", sim_plugin.native()});
    EXPECT_NE(scan.out.find(shown), std::string::npos) << scan.out;
    auto const second = run_zelm({"hold", sim_plugin.native(), "serial=SIM-0001"});
    EXPECT_EQ(second.status, 3);
    EXPECT_NE(second.err.find("by process " + shown + "\n"), std::string::npos) << second.err;

    for (auto const& text : {who.out, info.err, scan.out, second.err}) {
        EXPECT_EQ(text.find(override_mark), std::string::npos) << text;
    }
    EXPECT_EQ(run_json({"who", sim_plugin.native(), "serial=SIM-0001", "--json"}).at("command"), "z" + override_mark + "gpj")
        << "JSON carries the name as it is";
}

// The error line is escaped as it is printed, once: what was typed shows as
// a table would show it, not with its escapes escaped again.
TEST_F(SafeOutput, WhatWasTypedIsShownInTheErrorLineEscapedOnce) {
    auto const outcome = run_zelm({"info", sim_plugin.native(), "colour=\x1b]0;title\x07"});

    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.err, "zelm info: no device listed by sim_manager.so matches the filter colour=\\x1b]0;title\\x07\n");
}

TEST_F(SafeOutput, ALockDirectoryThatCannotBeUsedIsReportedWithTheLibrarysReason) {
    std::ofstream(test::lock_directory()) << "not a directory";

    auto const outcome =
        run_zelm({"info", "--live", sim_plugin.native(), R"({"model":"sim-counter","serial":"SIM-0001"})"});

    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err.find("already occupied"), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find("is not a directory"), std::string::npos) << outcome.err;
}

}  // namespace
}  // namespace zelm::tool_test
