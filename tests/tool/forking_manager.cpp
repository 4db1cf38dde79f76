// A plug-in that leaves a process behind: its list_devices forks a child
// that waits for ever, as a plug-in starting a helper process might. It
// holds every descriptor of the scanning process, the isolated scan's result
// pipe included, though not its standard streams. The environment configures
// it:
// - ZELM_FORKING_EVENTS: a file to which it appends "<pid> <helper pid>";
// - ZELM_FORKING_THEN: "hang" to wait for ever after the fork as well,
//   anything else to list no devices and return.
#include <zelm/device_manager.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

void wait_for_ever() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(1));
    }
}

// As a helper process would: it no longer writes to the scan's terminal,
// but keeps every other descriptor it inherited.
void detach_standard_streams() {
    int const null = open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd) {
        dup2(null, fd);
    }
}

std::string environment(char const* name) {
    char const* value = std::getenv(name);
    return value != nullptr ? value : "";
}

void record_helper(pid_t helper) {
    auto const events = environment("ZELM_FORKING_EVENTS");
    int const fd = open(events.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) {
        auto const line = std::to_string(getpid()) + " " + std::to_string(helper) + "\n";
        [[maybe_unused]] auto const written = write(fd, line.data(), line.size());
        close(fd);
    }
}

class ForkingManager final : public zelm::DeviceManager {
public:
    std::string get_name() override { return "forking"; }
    std::string get_version() override { return "1"; }
    std::filesystem::path get_path() override { return "/dev/forking"; }

    std::string list_devices() override {
        pid_t const helper = fork();
        if (helper == 0) {
            detach_standard_streams();
            wait_for_ever();
        }
        record_helper(helper);
        if (environment("ZELM_FORKING_THEN") == "hang") {
            wait_for_ever();
        }
        return "[]";
    }

    std::unique_ptr<zelm::Device> open_device(std::string const&) override {
        throw std::runtime_error("the forking plug-in has no devices");
    }
};

}  // namespace

ZELM_PLUGIN_ENTRY zelm::DeviceManager* create_manager() { return new ForkingManager; }
