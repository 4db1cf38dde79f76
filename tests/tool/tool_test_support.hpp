// The fixture every tool test starts from, and readers for the tool's output.
#pragma once

#include "zelm_runner.hpp"

#include <test_support.hpp>

#include <zelm/scan.hpp>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace zelm::tool_test {

inline std::filesystem::path const sim_plugin{ZELM_SIM_PLUGIN};

using test::ScopedEnv;

// A private TMPDIR (so lock files of the test and of every zelm it starts
// meet nobody else's, and so does the last scan's table), no plug-in
// directory or simulated configuration inherited from whoever runs the
// tests, no cluster, and a scratch directory.
class ToolTest : public ::testing::Test {
protected:
    std::filesystem::path const& scratch() const { return scratch_.path(); }
    // Writes `config` to a file and points ZELM_SIM_CONFIG at it, for this
    // process and the children it starts from now on.
    void use_sim_config(nlohmann::json const& config);
    // Runs zelm and records a test failure, with its standard error, unless
    // it succeeds.
    Outcome run_ok(std::vector<std::string> const& arguments, EnvChanges const& env = {});
    // Runs zelm and parses its standard output as JSON.
    nlohmann::json run_json(std::vector<std::string> const& arguments, EnvChanges const& env = {});

private:
    test::ScopedTmpdir tmpdir_;
    ScopedEnv plugin_dir_{"ZELM_PLUGIN_DIR", std::nullopt};
    ScopedEnv sim_config_{"ZELM_SIM_CONFIG", std::nullopt};
    ScopedEnv runtime_dir_{"XDG_RUNTIME_DIR", std::nullopt};
    ScopedEnv cluster_{"ZELM_CLUSTER", std::nullopt};
    ScopedEnv host_id_{"ZELM_HOST_ID", std::nullopt};
    std::optional<ScopedEnv> chosen_config_;
    test::TempDir scratch_;
};

// A held device: `zelm hold` running until destroyed (SIGKILL) or finished.
class Holder {
public:
    // Starts the holder and waits for its "holding" line; records a test
    // failure when it ends without one.
    Holder(std::filesystem::path const& plugin, nlohmann::json const& description,
           std::vector<std::string> const& options = {});
    bool holding() const { return holding_; }
    RunningZelm& process() { return process_; }

private:
    RunningZelm process_;
    bool holding_ = false;
};

// A table printed by the tool: per row, each cell by its column's header.
// Columns are found where the header's words start.
std::vector<std::map<std::string, std::string>> parse_table(std::string const& text);

// Checks that `object`, an element of `zelm scan --json`, says what `result`
// of the library's own scan says.
void expect_same_record(nlohmann::json const& object, ScanResult const& result);

// The description of a result, as the library reports it.
std::string description_of(ScanResult const& result);

// A configuration of the simulated family with these devices.
nlohmann::json sim_config(nlohmann::json const& devices);

// True when process `pid` has ended (a zombie counts: it runs no more), or
// does within a few seconds: a process killed a moment ago may still be on
// its way out. A bound on liveness, not a measure of speed.
bool has_ended(pid_t pid);

// The process ids in an events log of the test plug-in (its second field).
std::set<pid_t> event_writers(std::filesystem::path const& events);

}  // namespace zelm::tool_test
