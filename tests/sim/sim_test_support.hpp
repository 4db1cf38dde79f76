// Helpers for the simulated family's tests: a fixture with a private TMPDIR
// and its own configuration, a recorder of stream events, and sim_probe
// processes.
#pragma once

#include <stream_recorder.hpp>
#include <test_support.hpp>

#include <zelm/device_manager.hpp>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zelm::sim_test {

inline std::filesystem::path const plugin_path{ZELM_SIM_PLUGIN};
inline std::filesystem::path const probe_path{ZELM_SIM_PROBE};
inline std::filesystem::path const examples_dir{ZELM_SIM_EXAMPLES};

using test::read_file;
using test::ScopedEnv;

// Each test gets a private TMPDIR and XDG_RUNTIME_DIR (lock files, saved
// device state and configuration files live there) and starts on the
// built-in default devices; use_config switches to
// a file before the manager is first used.
class SimTest : public ::testing::Test {
protected:
    std::filesystem::path use_config(nlohmann::json const& config);
    std::filesystem::path use_config_text(std::string const& text);
    // Loaded through the library on first use.
    DeviceManager& manager();
    // Lets the manager go, so that the next use loads the configuration
    // afresh; devices opened through it must be gone.
    void release_manager() { manager_.reset(); }
    std::unique_ptr<Device> open(nlohmann::json const& description);
    std::filesystem::path const& dir() const { return tmpdir_.path(); }

private:
    test::ScopedTmpdir tmpdir_;
    ScopedEnv config_variable_{"ZELM_SIM_CONFIG", std::nullopt};
    std::shared_ptr<DeviceManager> manager_;  // last: released before the rest
};

// Copies the built plug-in to `dir` / `name`, creating `dir`.
std::filesystem::path copy_plugin(std::filesystem::path const& dir, std::string const& name);

// A configuration of one device with `members` merged into it.
nlohmann::json one_device(nlohmann::json const& description, nlohmann::json const& members = nlohmann::json::object());

using test::StreamRecord;
using test::StreamRecorder;

// A sim_probe process with its standard output in a file.
class Probe {
public:
    Probe(std::vector<std::string> const& arguments, std::filesystem::path const& output);
    // Kills and reaps a probe that was not waited for.
    ~Probe();
    Probe(Probe const&) = delete;
    Probe& operator=(Probe const&) = delete;

    pid_t pid() const { return pid_; }
    // The exit code, or 128 + the signal that ended it.
    int wait();

private:
    pid_t pid_ = -1;
    bool running_ = false;
};

std::vector<std::string> read_lines(std::filesystem::path const& file);

}  // namespace zelm::sim_test
