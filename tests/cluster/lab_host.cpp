// One host of a lab for the cluster tests: joins the cluster under a host id
// of its own and acquires or scans one device, printing a line per event.
//
//   lab_host ENDPOINTS HOST_ID TTL PLUGIN DEVICE ACTION
//
// ENDPOINTS is "URL[,URL...]", or "-" for a host outside any cluster. ACTION:
//   hold   acquires DEVICE and prints "owned <pid>", "occupied <host> <pid>"
//          (held elsewhere), "occupied here" (held on this machine) or
//          "unavailable: <message>". While it owns the device it prints
//          "lost: <reason>" when the lab-wide ownership is lost, writes a byte
//          through the device on each SIGUSR1 ("write: ok", "write lost:
//          <message>" or "write failed: <message>"), and releases it and ends
//          on SIGTERM.
//   stream holds DEVICE as hold does and streams its memory from the start:
//          prints "stream error: <message>" or "stream stop" when the stream
//          ends, and on each SIGUSR1 "chunks <n>", the data events received
//          so far, in place of a write.
//   scan   scans PLUGIN and prints a line per device: "found <description>",
//          "occupied <description> <host>" (the lab-wide holder, "-" when
//          none) or "failed <description> <error>".
//   peek   acquires DEVICE and prints "memory <byte>", the byte that hold
//          writes.
// Hosts that stand for different machines get a TMPDIR and XDG_RUNTIME_DIR
// each, so that their local locks and device state do not meet.
#include <zelm/cluster.hpp>
#include <zelm/device_manager.hpp>
#include <zelm/managed_device.hpp>
#include <zelm/scan.hpp>

#include <atomic>
#include <csignal>
#include <iostream>
#include <variant>
#include <mutex>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

// Where hold writes and peek reads, and what hold writes there (the sim's
// memory starts with byte i at address i).
constexpr unsigned int written_address = 0;
constexpr unsigned char written_byte = 0x5a;

// Lines come from the main thread and from the cluster's keep-alive thread.
void say(std::string const& line) {
    static std::mutex mutex;
    std::lock_guard const lock(mutex);
    std::cout << line << std::endl;
}

void write_once(zelm::ManagedDevice& device) {
    try {
        auto const byte = written_byte;
        say(device.write(written_address, 1, &byte) == 0 ? "write: ok" : "write failed: status");
    } catch (zelm::cluster::OwnershipLostError const& e) {
        say(std::string("write lost: ") + e.what());
    } catch (std::exception const& e) {
        say(std::string("write failed: ") + e.what());
    }
}

// Counts a stream's data and says how it ended.
class StreamWatch {
public:
    zelm::DataStream::Callback callback() {
        return [this](zelm::DataStream::Event&& event) {
            if (auto const* error = std::get_if<zelm::DataStream::Events::Error>(&event)) {
                say("stream error: " + error->message);
            } else if (std::holds_alternative<zelm::DataStream::Events::Stop>(event)) {
                say("stream stop");
            } else {
                ++chunks_;
            }
        };
    }
    void report() const { say("chunks " + std::to_string(chunks_.load())); }

private:
    std::atomic<long> chunks_{0};
};

// The signals are blocked in every thread (the mask is set before any
// starts) and taken here, one at a time.
int hold(zelm::DeviceManager& manager, std::string const& description, sigset_t const& signals, bool streaming) {
    std::unique_ptr<zelm::ManagedDevice> device;
    try {
        device = manager.open_managed_device(description);
    } catch (zelm::cluster::HeldElsewhereError const& e) {
        say("occupied " + e.lab_owner().host + " " + std::to_string(e.lab_owner().pid));
        return 0;
    } catch (zelm::DeviceOccupiedError const&) {
        say("occupied here");
        return 0;
    } catch (zelm::cluster::UnavailableError const& e) {
        say(std::string("unavailable: ") + e.what());
        return 0;
    }
    device->on_ownership_lost([](std::string const& reason) { say("lost: " + reason); });
    StreamWatch watch;
    auto const stream = streaming ? device->start_read_stream(0, watch.callback(), 0) : nullptr;
    say("owned " + std::to_string(::getpid()));
    for (int signal_number = 0; sigwait(&signals, &signal_number) == 0 && signal_number != SIGTERM;) {
        if (streaming) {
            watch.report();
        } else {
            write_once(*device);
        }
    }
    return 0;
}

int scan(std::string const& plugin) {
    for (auto const& result : zelm::scan_devices({plugin})) {
        if (auto const* found = std::get_if<zelm::DeviceFound>(&result)) {
            say("found " + found->description);
        } else if (auto const* occupied = std::get_if<zelm::DeviceOccupied>(&result)) {
            auto const holder = zelm::cluster::scanned_lab_owner(*occupied);
            say("occupied " + occupied->description + " " + (holder ? holder->host : "-"));
        } else {
            auto const& failed = std::get<zelm::DeviceQueryFailed>(result);
            say("failed " + failed.description + " " + failed.error);
        }
    }
    return 0;
}

int peek(zelm::DeviceManager& manager, std::string const& description) {
    auto const device = manager.open_managed_device(description);
    unsigned char byte = 0;
    if (device->read(written_address, 1, &byte) != 0) {
        throw std::runtime_error("read failed");
    }
    say("memory " + std::to_string(byte));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7) {
        std::cerr << "usage: lab_host ENDPOINTS HOST_ID TTL PLUGIN DEVICE hold|stream|scan|peek\n";
        return 2;
    }
    std::vector<std::string> const args(argv + 1, argv + argc);
    auto const& [endpoints, host_id, ttl, plugin, description, action] =
        std::tie(args[0], args[1], args[2], args[3], args[4], args[5]);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGUSR1);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    try {
        if (endpoints != "-") {
            zelm::cluster::join(zelm::cluster::parse_endpoints(endpoints),
                                {.host_id = host_id, .ttl = std::chrono::seconds(std::stoi(ttl))});
        }
        auto const manager = zelm::get_device_manager(plugin);
        int const status = action == "hold"     ? hold(*manager, description, signals, false)
                           : action == "stream" ? hold(*manager, description, signals, true)
                           : action == "scan"   ? scan(plugin)
                           : action == "peek" ? peek(*manager, description)
                                              : 2;
        zelm::cluster::leave();
        return status;
    } catch (std::exception const& e) {
        say(std::string("error: ") + e.what());
        return 1;
    }
}
