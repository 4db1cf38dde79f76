// Naming devices without their description, end to end: rows of the last
// scan, selectors that name several devices, the plug-in directory searched
// when no plug-in is given, `zelm who` and the help's examples.
#include "tool_test_support.hpp"

#include <zelm/device_manager.hpp>
#include <zelm/lock.hpp>

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>

namespace zelm::tool_test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class DeviceSelection : public ToolTest {
protected:
    void SetUp() override {
        use_sim_config(sim_config(json::array({{{"description", first}},
                                               {{"description", second}},
                                               {{"description", other}, {"info", {{"Serial Number", "X-9"}}}}})));
    }

    // The serial number that `info` reports for the device `arguments` name.
    std::string serial_of(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "info");
        auto const info = run_json(arguments);
        return info.is_object() ? info.value("Serial Number", "") : "";
    }

    json const first{{"model", "counter"}, {"serial", "C-1"}};
    json const second{{"model", "counter"}, {"serial", "C-2"}};
    json const other{{"model", "memory"}, {"serial", 3}};
};

TEST_F(DeviceSelection, RowsOfTheLastScanNameItsDevices) {
    auto const table = parse_table(run_ok({"scan", "--plugin", sim_plugin.native()}).out);
    ASSERT_EQ(table.size(), 3U);
    for (std::size_t row = 1; row <= table.size(); ++row) {
        SCOPED_TRACE(row);
        EXPECT_EQ(table[row - 1].at("#"), std::to_string(row));
        EXPECT_EQ(serial_of({"@" + std::to_string(row)}), table[row - 1].at("SERIAL"));
    }
    EXPECT_EQ(serial_of({sim_plugin.native(), "@3"}), "X-9");

    auto const beyond = run_zelm({"info", "@4"});
    EXPECT_EQ(beyond.status, 2);
    EXPECT_NE(beyond.err.find("the last scan's table has 3 rows, not row 4"), std::string::npos) << beyond.err;

    // --json output is a table too; a device no longer listed is no row.
    use_sim_config(sim_config(json::array({{{"description", second}}, {{"description", other}}})));
    run_json({"scan", "--plugin", sim_plugin.native(), "--json"});
    EXPECT_EQ(serial_of({"@1"}), "C-2");
    use_sim_config(sim_config(json::array({{{"description", other}}})));
    auto const stale = run_zelm({"info", "@1"});
    EXPECT_EQ(stale.status, 2);
    EXPECT_NE(stale.err.find(R"(row 1 of the last scan ({"model":"counter","serial":"C-2"} of )"), std::string::npos)
        << stale.err;
}

TEST_F(DeviceSelection, RowsNeedAScanFirst) {
    auto const outcome = run_zelm({"info", "@1"});
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.err, "zelm info: no scan's table to take a row from: run `zelm scan` first\n");
}

// A full disk or a planted runtime directory must not cost the scan itself.
TEST_F(DeviceSelection, ATableThatCannotBeKeptCostsOnlyAWarning) {
    test::TempDir const runtime;
    auto const not_a_directory = runtime.path() / "file";
    std::ofstream(not_a_directory) << "x";
    test::ScopedEnv const xdg("XDG_RUNTIME_DIR", not_a_directory.native());
    auto const outcome = run_zelm({"scan", "--plugin", sim_plugin.native()});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(parse_table(outcome.out).size(), 3U);
    EXPECT_NE(outcome.err.find("Cannot keep the table for @N selectors"), std::string::npos) << outcome.err;
}

TEST_F(DeviceSelection, SerialNumbersAndFiltersNameOneDeviceOrListTheCandidates) {
    EXPECT_EQ(serial_of({sim_plugin.native(), "X-9"}), "X-9");
    EXPECT_EQ(serial_of({sim_plugin.native(), "model=counter,serial=C-2"}), "C-2");
    EXPECT_EQ(serial_of({sim_plugin.native(), "serial=3.0"}), "X-9");

    auto const ambiguous = run_zelm({"reg", "get", sim_plugin.native(), "model=counter", "0"});
    EXPECT_EQ(ambiguous.status, 2);
    EXPECT_EQ(ambiguous.out, "");
    EXPECT_EQ(lines_of(ambiguous.err),
              (std::vector<std::string>{
                  "zelm reg get: the filter model=counter matches 2 devices listed by sim_manager.so; "
                  "name one of these:",
                  "  " + sim_plugin.native() + "  " + first.dump(), "  " + sim_plugin.native() + "  " + second.dump()}));

    auto const unmatched = run_zelm({"info", sim_plugin.native(), "C-3"});
    EXPECT_EQ(unmatched.status, 2);
    EXPECT_NE(unmatched.err.find("no device listed by sim_manager.so matches the serial number C-3"),
              std::string::npos)
        << unmatched.err;
}

// Without a plug-in, every plug-in of the plug-in directory is searched.
TEST_F(DeviceSelection, WithoutAPluginThePluginDirectoryIsSearched) {
    test::TempDir const plugins;
    fs::copy_file(sim_plugin, plugins.path() / "a_manager.so");
    fs::copy_file(sim_plugin, plugins.path() / "b_manager.so");
    EnvChanges const env{{"ZELM_PLUGIN_DIR", plugins.path().native()}};

    auto const both = run_zelm({"info", "C-1"}, env);
    EXPECT_EQ(both.status, 2);
    EXPECT_EQ(lines_of(both.err).size(), 3U) << both.err;
    EXPECT_NE(both.err.find("  " + (plugins.path() / "b_manager.so").native() + "  " + first.dump()),
              std::string::npos)
        << both.err;

    auto const one = run_zelm({"info", "a_manager.so", "C-1"}, env);
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_NE(one.out.find("C-1"), std::string::npos) << one.out;
}

// A serial number shows only once its device answers. When none matches
// and some devices could not be asked (a failed query, such as a busy RTU
// line's, or lock files that cannot be used) or a plug-in could not be
// searched, the one line says so and why: a failed operation, not bad usage.
TEST_F(DeviceSelection, ASerialNumberThatNamesNoDeviceSaysWhatCouldNotBeAsked) {
    json const busy{{"serial", "B-1"}};
    use_sim_config(sim_config(json::array({{{"description", first}},
                                           {{"description", busy},
                                            {"faults", {{"get_info_error", "modbus line /dev/ttyS9 is busy"}}}}})));

    auto const outcome = run_zelm({"info", sim_plugin.native(), "B-1"});

    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "zelm info: no device listed by sim_manager.so matches the serial number B-1; 1 device "
                           "could not be queried: device " +
                               busy.dump() + " (sim_manager.so): modbus line /dev/ttyS9 is busy\n");
    EXPECT_EQ(serial_of({sim_plugin.native(), "C-1"}), "C-1") << "a device that answers is found as ever";
}

TEST_F(DeviceSelection, ASerialNumberThatNamesNoDeviceSaysWhyTheLockDirectoryWasRefused) {
    struct Refusal {
        char const* name;
        std::function<bool(fs::path const&)> make;  // false: cannot be staged here
        char const* reason;
    };
    std::vector<Refusal> const refusals{
        {"a file in its place", [](fs::path const& path) { return !!(std::ofstream(path) << "x"); },
         "is not a directory"},
        {"owned by another user",
         [](fs::path const& path) {
             auto const* nobody = getpwnam("nobody");
             return fs::create_directory(path) && nobody != nullptr &&
                    chown(path.c_str(), nobody->pw_uid, static_cast<gid_t>(-1)) == 0;
         },
         "is not safe: owned by uid"},
    };
    for (auto const& refusal : refusals) {
        SCOPED_TRACE(refusal.name);
        auto const directory = test::lock_directory();
        fs::remove_all(directory);
        if (!refusal.make(directory)) {
            std::cout << "not staged (needs root): " << refusal.name << "\n";
            continue;
        }
        auto const outcome = run_zelm({"who", sim_plugin.native(), "C-1"});
        EXPECT_EQ(outcome.status, 1);
        ASSERT_EQ(lines_of(outcome.err).size(), 1U) << outcome.err;
        EXPECT_TRUE(outcome.err.starts_with("zelm who: no device listed by sim_manager.so matches the serial number "
                                            "C-1; 3 devices could not be queried, the first: device " +
                                            first.dump() + " (sim_manager.so): "))
            << outcome.err;
        EXPECT_NE(outcome.err.find(directory.native()), std::string::npos) << outcome.err;
        EXPECT_NE(outcome.err.find(refusal.reason), std::string::npos) << outcome.err;
        EXPECT_EQ(outcome.err.find("occupied device"), std::string::npos) << "no device is occupied:\n" << outcome.err;
        fs::remove_all(directory);
    }
}

TEST_F(DeviceSelection, ASelectorThatNamesNoDeviceSaysWhichPluginsCouldNotBeSearched) {
    test::TempDir const plugins;
    fs::copy_file(sim_plugin, plugins.path() / "a_manager.so");
    auto const broken = test::install_test_plugin(plugins.path(), "broken_manager.so", {{"create_throws", "no bus"}});
    EnvChanges const env{{"ZELM_PLUGIN_DIR", plugins.path().native()}};

    for (std::string const selector : {"C-9", "serial=C-9"}) {
        SCOPED_TRACE(selector);
        auto const outcome = run_zelm({"info", selector}, env);
        EXPECT_EQ(outcome.status, 1);
        auto const lines = lines_of(outcome.err);
        ASSERT_EQ(lines.size(), 1U) << outcome.err;
        EXPECT_TRUE(lines[0].starts_with("zelm info: no device listed by the plug-ins in ")) << lines[0];
        EXPECT_NE(lines[0].find("; 1 plug-in could not be searched: "), std::string::npos) << lines[0];
        EXPECT_NE(lines[0].find(broken.native()), std::string::npos) << lines[0];
        EXPECT_TRUE(lines[0].ends_with("no bus")) << lines[0];
    }
    EXPECT_EQ(run_zelm({"info", "C-1"}, env).status, 0) << "a device that is found is found as ever";
}

TEST_F(DeviceSelection, WhoNamesTheHolderLikeFuser) {
    auto const free = run_zelm({"who", sim_plugin.native(), "serial=3"});
    EXPECT_EQ(free.status, 1) << free.err;
    EXPECT_EQ(free.out, "free\n");

    Holder holder(sim_plugin, other);
    ASSERT_TRUE(holder.holding());
    auto const pid = std::to_string(holder.process().pid());
    auto const held = run_ok({"who", sim_plugin.native(), "serial=3"});
    EXPECT_EQ(held.out, pid + " (zelm)\n");
    auto const owner = run_json({"owner", sim_plugin.native(), other.dump(), "--json"});
    EXPECT_EQ(owner, (json{{"pid", holder.process().pid()}, {"command", "zelm"}}));
}

TEST_F(DeviceSelection, LockIdIsTheLibrarysForThePluginsManagerPath) {
    auto const manager_path = get_device_manager(sim_plugin)->get_path();
    ASSERT_NE(manager_path, sim_plugin) << "a family's path that is its file's would hide a wrong answer";
    for (auto const& selector : {other.dump(), std::string(R"({ "serial": 3, "model": "memory" })"),
                                 std::string("X-9"), std::string("model=memory")}) {
        SCOPED_TRACE(selector);
        EXPECT_EQ(run_ok({"lock-id", sim_plugin.native(), selector}).out,
                  detail::make_lock_id(manager_path, other) + "\n");
    }
}

// The examples at the end of `zelm --help` run as printed against the
// bundled plug-ins and the simulated family's own devices.
TEST_F(ToolTest, HelpExamplesWorkAsPrinted) {
    auto const help = lines_of(run_ok({"--help"}).out);
    auto line = std::ranges::find(help, "Examples:");
    ASSERT_NE(line, help.end());
    std::size_t examples = 0;
    for (++line; line != help.end() && !line->empty(); ++line) {
        SCOPED_TRACE(*line);
        std::istringstream words(*line);
        std::vector<std::string> arguments{std::istream_iterator<std::string>(words), {}};
        ASSERT_GE(arguments.size(), 2U);
        ASSERT_EQ(arguments.front(), "zelm");
        arguments.erase(arguments.begin());
        run_ok(arguments);
        ++examples;
    }
    EXPECT_GE(examples, 3U);
}

}  // namespace
}  // namespace zelm::tool_test
