// `zelm scan`: its table and JSON against the library's own scan (and who
// holds occupied devices), the default plug-in directory, parallel scans and
// progress output.
#include "tool_test_support.hpp"

#include <zelm/scan.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

namespace zelm::tool_test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Three simulated devices, one in each state: free, held by another zelm,
// and free but failing its query.
class ThreeStateScan : public ToolTest {
protected:
    void SetUp() override {
        use_sim_config(sim_config(json::array({
            {{"description", free_device}},
            {{"description", held_device}},
            {{"description", failing_device}, {"faults", {{"get_info_error", "sensor unplugged"}}}},
        })));
        holder_.emplace(sim_plugin, held_device);
        ASSERT_TRUE(holder_->holding());
    }

    pid_t holder_pid() { return holder_->process().pid(); }

    json const free_device{{"serial", "S-FREE"}};
    json const held_device{{"serial", "S-HELD"}};
    json const failing_device{{"serial", "S-FAIL"}};

private:
    std::optional<Holder> holder_;
};

TEST_F(ThreeStateScan, JsonCarriesEveryRecordOfTheLibrarysScan) {
    auto const output = run_json({"scan", "--json", "--plugin", sim_plugin.native()});
    auto const expected = scan_devices({sim_plugin});

    ASSERT_EQ(expected.size(), 3U);
    ASSERT_TRUE(output.is_array());
    ASSERT_EQ(output.size(), expected.size()) << output.dump(2);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        expect_same_record(output[i], expected[i]);
    }
    // Each state shows up once, so every kind of record was compared.
    for (auto const* state : {"found", "occupied", "failed"}) {
        EXPECT_EQ(std::ranges::count(output, json(state), [](json const& o) { return o.at("state"); }), 1) << state;
    }
    for (auto const& record : output) {
        if (record.at("state") == "occupied") {
            EXPECT_EQ(record.at("owner"), (json{{"pid", holder_pid()}, {"command", "zelm"}}));
        }
    }
}

TEST_F(ThreeStateScan, TableShowsStateSerialApiPluginOwnerAndDescriptionOrError) {
    auto const outcome = run_ok({"scan", "--plugin", sim_plugin.native()});
    auto const rows = parse_table(outcome.out);
    auto const expected = scan_devices({sim_plugin});

    ASSERT_EQ(rows.size(), expected.size()) << outcome.out;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(outcome.out);
        auto const& row = rows[i];
        EXPECT_EQ(row.at("PLUG-IN"), "sim_manager.so");
        EXPECT_TRUE(row.at("DESCRIPTION").starts_with(description_of(expected[i]))) << row.at("DESCRIPTION");
        if (auto const* found = std::get_if<DeviceFound>(&expected[i])) {
            EXPECT_EQ(row.at("STATE"), "found");
            EXPECT_EQ(row.at("SERIAL"), found->serial_number);
            EXPECT_EQ(row.at("API"), found->api);
            EXPECT_EQ(row.at("OWNER"), "");
        } else if (auto const* failed = std::get_if<DeviceQueryFailed>(&expected[i])) {
            EXPECT_EQ(row.at("STATE"), "failed");
            EXPECT_NE(row.at("DESCRIPTION").find(failed->error), std::string::npos) << row.at("DESCRIPTION");
            EXPECT_EQ(row.at("OWNER"), "");
        } else {
            EXPECT_EQ(row.at("STATE"), "occupied");
            EXPECT_EQ(row.at("SERIAL"), "");
            EXPECT_EQ(row.at("OWNER"), std::to_string(holder_pid()) + " (zelm)");
        }
    }
}

// Where `zelm scan` with no directory looks.
class DefaultDirectory : public ToolTest {};

TEST_F(DefaultDirectory, IsTheBundledPluginDirectoryOfTheBuildTree) {
    auto const output = run_json({"scan", "--json"});

    ASSERT_FALSE(output.empty());
    for (auto const& record : output) {
        EXPECT_TRUE(fs::equivalent(record.at("plugin_path").get<std::string>(), sim_plugin)) << record.dump();
    }
}

TEST_F(DefaultDirectory, FollowsTheExecutableIntoAnotherPrefix) {
    // The layout of an installed prefix, rebuilt from the build tree's own
    // (which mirrors it): the executable must find the plug-in relative to
    // where it is, not where it was built.
    auto const build_bin = zelm_path.parent_path();
    auto const plugin_dir_from_bin = fs::relative(sim_plugin.parent_path(), build_bin);
    auto const prefix = scratch() / "prefix";
    auto const plugin = (prefix / "bin" / plugin_dir_from_bin / "sim_manager.so").lexically_normal();
    fs::create_directories(prefix / "bin");
    fs::create_directories(plugin.parent_path());
    fs::copy_file(zelm_path, prefix / "bin" / "zelm");
    fs::copy_file(sim_plugin, plugin);

    auto const outcome = RunningZelm({"scan", "--json"}, {}, Stderr::pipe, prefix / "bin" / "zelm").finish();

    ASSERT_EQ(outcome.status, 0) << outcome.err;
    auto const output = json::parse(outcome.out);
    ASSERT_FALSE(output.empty());
    for (auto const& record : output) {
        EXPECT_TRUE(fs::equivalent(record.at("plugin_path").get<std::string>(), plugin)) << record.dump();
    }
}

TEST_F(DefaultDirectory, IsOverriddenByZelmPluginDir) {
    auto const dir = scratch() / "plugins";
    fs::create_directories(dir);
    fs::copy_file(sim_plugin, dir / "other_manager.so");

    auto const output = run_json({"scan", "--json"}, {{"ZELM_PLUGIN_DIR", dir.native()}});

    ASSERT_FALSE(output.empty());
    for (auto const& record : output) {
        EXPECT_EQ(record.at("plugin_path"), (dir / "other_manager.so").native());
    }
}

// A directory whose first plug-in answers slowly, so that the threads of a
// parallel scan finish out of order; each broken plug-in costs a warning and
// its own devices only, also the one whose create_manager throws an int,
// which the library's scan lets escape.
class ParallelScan : public ToolTest {
protected:
    void SetUp() override {
        fs::create_directories(dir);
        test::install_test_plugin(
            dir, "a_manager.so",
            {{"devices", json::array({{{"serial", "A-SLOW"}, {"delay_ms", 400}}, {{"serial", "A-2"}}})}});
        fs::copy_file(sim_plugin, dir / "b_manager.so");
        std::ofstream(dir / "c_manager.so") << "not a shared library\n";
        test::install_test_plugin(dir, "d_manager.so",
                                  {{"devices", json::array({{{"serial", "D-1"}, {"info_error", "no answer"}}})}});
        fs::copy_file(test::int_throwing_plugin_path, dir / "e_manager.so");
    }

    fs::path const dir = scratch() / "plugins";
};

TEST_F(ParallelScan, GivesTheResultsOfASerialScanInTheSameOrder) {
    // The parallel scan runs first, while no answer is cached yet, so the
    // slow device really is slow.
    auto const parallel = run_ok({"scan", dir.native(), "--json", "--jobs", "4"});
    auto const serial = run_ok({"scan", dir.native(), "--json", "--jobs", "1"});

    EXPECT_EQ(parallel.out, serial.out);
    auto const records = json::parse(serial.out);
    std::vector<std::string> plugins;
    for (auto const& record : records) {
        plugins.push_back(fs::path(record.at("plugin_path").get<std::string>()).filename());
    }
    EXPECT_EQ(plugins, (std::vector<std::string>{"a_manager.so", "a_manager.so", "b_manager.so", "b_manager.so",
                                                 "b_manager.so", "d_manager.so"}));
    for (auto const* outcome : {&parallel, &serial}) {
        EXPECT_NE(outcome->err.find("warning: Cannot load plug-in " + (dir / "c_manager.so").native()),
                  std::string::npos)
            << outcome->err;
        EXPECT_NE(outcome->err.find("warning: Scan of " + (dir / "e_manager.so").native() + " stopped"),
                  std::string::npos)
            << outcome->err;
    }
}

// Progress appears on a terminal during a slow scan, and never on a pipe.
class ScanProgress : public ToolTest, public ::testing::WithParamInterface<Stderr> {};

TEST_P(ScanProgress, ShowsOnlyOnATerminal) {
    // Each query takes far longer than the tool waits before it shows
    // progress; the scan itself is what is slow, not the test's clock.
    use_sim_config(
        sim_config(json::array({{{"description", {{"serial", "SLOW"}}}, {"latency_ms", {{"get_info", 1500}}}}})));
    RunningZelm zelm({"scan", "--plugin", sim_plugin.native()}, {}, GetParam());
    auto const outcome = zelm.finish();

    ASSERT_EQ(outcome.status, 0) << outcome.err;
    bool const shown = outcome.err.find("scanning plug-ins: 0 of 1 done") != std::string::npos;
    EXPECT_EQ(shown, GetParam() == Stderr::terminal) << outcome.err;
    EXPECT_EQ(parse_table(outcome.out).size(), 1U) << "progress must not reach standard output:\n" << outcome.out;
}

INSTANTIATE_TEST_SUITE_P(StandardError, ScanProgress, ::testing::Values(Stderr::pipe, Stderr::terminal),
                         [](auto const& param_info) { return param_info.param == Stderr::pipe ? "Pipe" : "Terminal"; });

}  // namespace
}  // namespace zelm::tool_test
