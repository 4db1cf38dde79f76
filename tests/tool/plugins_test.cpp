// `zelm plugins`: which files it takes for plug-ins, and what it reports of
// each, checked against the library's own view of the same files.
#include "tool_test_support.hpp"

#include <zelm/device_manager.hpp>
#include <zelm/scan.hpp>

#include <gtest/gtest.h>

#include <fstream>
#include <set>

namespace zelm::tool_test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// A directory with plug-ins among files that only look like them.
class PluginsListing : public ToolTest {
protected:
    void SetUp() override {
        fs::create_directories(dir);
        fs::copy_file(sim_plugin, dir / "sim_manager.so");
        fs::create_symlink(dir / "sim_manager.so", dir / "link_manager.so");
        test::install_test_plugin(dir, "test_manager.so",
                                  {{"name", "bench"},
                                   {"version", "7.1"},
                                   {"path", "/dev/bench"},
                                   {"devices", {{"one", {{"serial", "B-1"}}}, {"two", {{"serial", "B-2"}}}}}});
        std::ofstream(dir / "broken_manager.so") << "not a shared library\n";
        // Not plug-ins: no "_manager", another extension, a directory.
        fs::copy_file(sim_plugin, dir / "sim.so");
        fs::copy_file(sim_plugin, dir / "sim_manager.so.1");
        fs::create_directory(dir / "dir_manager.so");
    }

    fs::path const dir = scratch() / "plugins";
};

TEST_F(PluginsListing, ReportsEachPluginTheLibraryWouldScan) {
    auto const listing = run_json({"plugins", dir.native(), "--json"});

    std::vector<std::string> listed;
    for (auto const& entry : listing) {
        listed.push_back(fs::path(entry.at("plugin_path").get<std::string>()).filename());
    }
    EXPECT_EQ(listed,
              (std::vector<std::string>{"broken_manager.so", "link_manager.so", "sim_manager.so", "test_manager.so"}));

    // The same selection as the library's directory scan: the plug-ins that
    // load are exactly those whose devices it reports.
    std::set<std::string> scanned;
    for (auto const& result : scan_devices_dir(dir)) {
        scanned.insert(std::visit([](auto const& record) { return record.plugin_path; }, result));
    }
    std::set<std::string> loaded;
    for (auto const& entry : listing) {
        if (!entry.contains("error")) {
            loaded.insert(entry.at("plugin_path").get<std::string>());
        }
    }
    EXPECT_EQ(loaded, scanned);
}

TEST_F(PluginsListing, GivesFamilyVersionManagerPathAndDeviceCount) {
    auto const listing = run_json({"plugins", dir.native(), "--json"});

    for (auto const& entry : listing) {
        auto const path = entry.at("plugin_path").get<std::string>();
        SCOPED_TRACE(entry.dump());
        if (path.ends_with("broken_manager.so")) {
            ASSERT_TRUE(entry.contains("error"));
            EXPECT_NE(entry.at("error").get<std::string>().find("not loaded: Failed to load library"),
                      std::string::npos);
            continue;
        }
        auto manager = get_device_manager(path);
        EXPECT_EQ(entry.at("name"), manager->get_name());
        EXPECT_EQ(entry.at("version"), manager->get_version());
        EXPECT_EQ(entry.at("manager_path"), manager->get_path().native());
        EXPECT_EQ(entry.at("devices"), scan_devices({path}).size());
        EXPECT_FALSE(entry.contains("error"));
    }
}

TEST_F(PluginsListing, TableShowsTheReasonAPluginDidNotLoad) {
    auto const outcome = run_ok({"plugins", dir.native()});

    auto const rows = parse_table(outcome.out);
    ASSERT_EQ(rows.size(), 4U) << outcome.out;
    EXPECT_EQ(rows[0].at("PLUG-IN"), "broken_manager.so");
    EXPECT_TRUE(rows[0].at("MANAGER PATH").starts_with("error: not loaded: Failed to load library")) << outcome.out;
    EXPECT_EQ(rows[3].at("PLUG-IN"), "test_manager.so");
    EXPECT_EQ(rows[3].at("FAMILY"), "bench");
    EXPECT_EQ(rows[3].at("VERSION"), "7.1");
    EXPECT_EQ(rows[3].at("DEVICES"), "2");
    EXPECT_EQ(rows[3].at("MANAGER PATH"), "/dev/bench");
}

// Isolated, each plug-in file is examined in a child process, and what comes
// back is what the plain listing gives, table and JSON alike.
TEST_F(PluginsListing, IsolatedListingIsThePlainOne) {
    for (auto const& format : std::vector<std::vector<std::string>>{{}, {"--json"}}) {
        auto plain = std::vector<std::string>{"plugins", dir.native()};
        plain.insert(plain.end(), format.begin(), format.end());
        auto isolated = plain;
        isolated.push_back("--isolate");

        EXPECT_EQ(run_ok(isolated).out, run_ok(plain).out);
    }
}

// The isolated listing gives each plug-in this long.
constexpr int timeout_seconds = 2;

// A plug-in that crashes and one that hangs, between good ones: each gets a
// row saying what happened, and the listing goes on to the others.
TEST_F(ToolTest, IsolatedListingSurvivesPluginsThatCrashOrHang) {
    auto const dir = scratch() / "plugins";
    fs::create_directories(dir);
    fs::copy_file(sim_plugin, dir / "a_manager.so");
    test::install_test_plugin(dir, "b_manager.so", {{"crash_in", "list_devices"}});
    test::install_test_plugin(dir, "c_manager.so", {{"hang_in", "list_devices"}});
    test::install_test_plugin(dir, "d_manager.so", {{"name", "bench"}, {"devices", {{"one", {{"serial", "D-1"}}}}}});
    auto const timeout = std::to_string(timeout_seconds);

    auto const listing = run_json({"plugins", dir.native(), "--json", "--isolate", "--timeout", timeout});
    auto const table = run_ok({"plugins", dir.native(), "--isolate", "--timeout", timeout});

    auto const crashed = "crashed: killed by signal 6 (Aborted)";
    auto const timed_out = "timed out after " + timeout + " s";
    ASSERT_EQ(listing.size(), 4U) << listing.dump();
    EXPECT_EQ(listing[1], (json{{"plugin_path", (dir / "b_manager.so").native()}, {"error", crashed}}));
    EXPECT_EQ(listing[2], (json{{"plugin_path", (dir / "c_manager.so").native()}, {"error", timed_out}}));
    EXPECT_EQ(listing[0].at("name"), get_device_manager(sim_plugin)->get_name());
    EXPECT_EQ(listing[3].at("name"), "bench");
    EXPECT_EQ(listing[3].at("devices"), 1);

    auto const rows = parse_table(table.out);
    ASSERT_EQ(rows.size(), 4U) << table.out;
    EXPECT_EQ(rows[1].at("MANAGER PATH"), std::string("error: ") + crashed);
    EXPECT_EQ(rows[2].at("MANAGER PATH"), "error: " + timed_out);
    EXPECT_EQ(rows[3].at("FAMILY"), "bench");
}

}  // namespace
}  // namespace zelm::tool_test
