// The simulator, the hostile peer and socat as child processes, and mbpoll
// runs.
#include "modbus_peers.hpp"

#include <signal.h>

#include <stdexcept>
#include <thread>

namespace zelm::modbus_test {
namespace {

using namespace std::chrono_literals;

constexpr char const* python = "/usr/bin/python3";
constexpr char const* socat = "/usr/bin/socat";
constexpr char const* mbpoll = "/usr/bin/mbpoll";
// Long enough for a peer to close its port and exit after SIGTERM.
constexpr auto stop_grace = 10s;

std::string joined(std::vector<int> const& numbers) {
    std::string text;
    for (int number : numbers) {
        // Appended one after the other: GCC 12 at -O2 warns (-Wrestrict)
        // about a character pointer added to a temporary string.
        if (!text.empty()) {
            text += ',';
        }
        text += std::to_string(number);
    }
    return text;
}

std::vector<std::string> simulator_command(Transport transport, SimulatorOptions const& options,
                                           std::filesystem::path const& device) {
    std::vector<std::string> command{python, simulator_path.native()};
    if (transport == Transport::tcp) {
        command.insert(command.end(), {"--tcp", "127.0.0.1:0"});
    } else {
        command.insert(command.end(), {"--rtu", device.native(), "--baud", std::to_string(options.baud),
                                       "--parity", std::string(1, options.parity)});
    }
    command.insert(command.end(), {"--units", joined(options.units), "--registers", std::to_string(options.registers)});
    if (!options.no_identification.empty()) {
        command.insert(command.end(), {"--no-identification", joined(options.no_identification)});
    }
    if (options.gateway) {
        command.push_back("--gateway");
    }
    return command;
}

std::string behaviour_name(Misbehaviour misbehaviour) {
    switch (misbehaviour) {
        case Misbehaviour::late: return "late";
        case Misbehaviour::noise: return "noise";
        case Misbehaviour::other_unit: return "other-unit";
        case Misbehaviour::other_function: return "other-function";
        case Misbehaviour::other_length: return "other-length";
        case Misbehaviour::more_follows: return "more-follows";
    }
    return "";
}

std::vector<std::string> hostile_command(Transport transport, HostileOptions const& options,
                                         std::filesystem::path const& device) {
    std::vector<std::string> command{python, hostile_peer_path.native()};
    if (transport == Transport::tcp) {
        command.insert(command.end(), {"--tcp", "127.0.0.1:0"});
    } else {
        command.insert(command.end(), {"--rtu", device.native()});
    }
    command.insert(command.end(), {"--behaviour", behaviour_name(options.misbehaviour), "--every",
                                   std::to_string(options.every), "--delay-ms", std::to_string(options.delay.count())});
    return command;
}

// What a peer that failed to start said, for the test's failure message.
std::string failure_of(test::RunningProgram& program) {
    program.stop(stop_grace);
    return program.err().empty() ? "no message" : program.err();
}

}  // namespace

SerialLinePair::SerialLinePair()
    : socat_({socat, "pty,raw,echo=0,link=" + a().native(), "pty,raw,echo=0,link=" + b().native()}) {
    auto const deadline = std::chrono::steady_clock::now() + peer_start_timeout;
    while (!(std::filesystem::exists(a()) && std::filesystem::exists(b()))) {
        if (std::chrono::steady_clock::now() >= deadline || socat_.wait_for(0ms)) {
            throw std::runtime_error("socat made no pty pair: " + failure_of(socat_));
        }
        std::this_thread::sleep_for(10ms);
    }
}

SerialLinePair::~SerialLinePair() { socat_.stop(stop_grace); }

ModbusPeer::ModbusPeer(Transport transport,
                       std::function<std::vector<std::string>(std::filesystem::path const&)> const& command) {
    if (transport == Transport::rtu) {
        line_.emplace();
    }
    auto const argv = command(line_ ? line_->a() : "");
    auto& server = server_.emplace(argv);
    auto const ready = server.read_line(peer_start_timeout);
    if (!ready || !ready->starts_with("ready ")) {
        throw std::runtime_error("the Modbus peer " + argv[1] + " did not start: " + failure_of(server));
    }
    if (transport == Transport::tcp) {
        port_ = std::stoi(ready->substr(6));
    }
}

ModbusSimulator::ModbusSimulator(Transport transport, SimulatorOptions const& options)
    : ModbusPeer(transport, [&](std::filesystem::path const& device) {
          return simulator_command(transport, options, device);
      }) {}

HostilePeer::HostilePeer(Transport transport, HostileOptions const& options)
    : ModbusPeer(transport, [&](std::filesystem::path const& device) {
          return hostile_command(transport, options, device);
      }) {}

ModbusPeer::~ModbusPeer() {
    // The server first: it holds one end of the line.
    if (server_) {
        server_->stop(stop_grace);
    }
}

std::string ModbusPeer::bus() const {
    return line_ ? "rtu:" + std::filesystem::canonical(client_device()).native()
                 : "tcp:127.0.0.1:" + std::to_string(port_);
}

std::filesystem::path ModbusPeer::client_device() const { return line_ ? line_->b() : ""; }

void ModbusPeer::kill() {
    server_->signal(SIGKILL);
    server_->wait_for(stop_grace);
}

MbpollResult run_mbpoll(std::vector<std::string> const& arguments, std::chrono::milliseconds timeout) {
    std::vector<std::string> command{mbpoll};
    command.insert(command.end(), arguments.begin(), arguments.end());
    test::RunningProgram program(command);
    auto status = program.wait_for(timeout);
    if (!status) {
        program.signal(SIGKILL);
        status = program.wait_for(stop_grace);
    }
    return {status.value_or(-1), program.out(), program.err()};
}

}  // namespace zelm::modbus_test
