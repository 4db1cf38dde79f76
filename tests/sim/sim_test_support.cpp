// Implementation of the simulated family's test helpers.
#include "sim_test_support.hpp"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <variant>

extern char** environ;

namespace zelm::sim_test {

std::filesystem::path SimTest::use_config(nlohmann::json const& config) { return use_config_text(config.dump(2)); }

std::filesystem::path SimTest::use_config_text(std::string const& text) {
    auto const file = dir() / "sim.json";
    std::ofstream(file) << text;
    setenv("ZELM_SIM_CONFIG", file.c_str(), 1);
    return file;
}

DeviceManager& SimTest::manager() {
    if (!manager_) {
        manager_ = get_device_manager(plugin_path);
    }
    return *manager_;
}

std::unique_ptr<Device> SimTest::open(nlohmann::json const& description) {
    return manager().open_device(description.dump());
}

std::filesystem::path copy_plugin(std::filesystem::path const& dir, std::string const& name) {
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file(plugin_path, dir / name);
    return dir / name;
}

nlohmann::json one_device(nlohmann::json const& description, nlohmann::json const& members) {
    auto device = members;
    device["description"] = description;
    return {{"devices", {device}}};
}

Probe::Probe(std::vector<std::string> const& arguments, std::filesystem::path const& output) {
    std::vector<std::string> texts{probe_path.native()};
    texts.insert(texts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& text : texts) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int const error = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throw std::system_error(error, std::generic_category(), "posix_spawn " + texts[0]);
    }
    running_ = true;
}

Probe::~Probe() {
    if (running_) {
        ::kill(pid_, SIGKILL);
        wait();
    }
}

int Probe::wait() {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0) {
        if (errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "waitpid");
        }
    }
    running_ = false;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<std::string> read_lines(std::filesystem::path const& file) {
    std::ifstream stream(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

}  // namespace zelm::sim_test
