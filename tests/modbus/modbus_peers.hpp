// Real Modbus peers for the Modbus family's tests: the bundled pymodbus
// simulator on a loopback TCP port or as an RTU slave on one end of a socat
// pseudo-terminal pair, and mbpoll as an independent client.
#pragma once

#include "test_support.hpp"

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace zelm::modbus_test {

inline std::filesystem::path const simulator_path{ZELM_MODBUS_SIMULATOR};

// Peers start and answer within this in the slowest runs; not a performance
// limit, only a bound so a broken peer fails the test instead of hanging it.
inline constexpr std::chrono::seconds peer_start_timeout{20};

// Two pseudo-terminals joined by socat, reached through the links `a` and
// `b` in a private directory: what one end writes, the other reads, as on a
// serial line between two devices.
class SerialLinePair {
public:
    // Throws std::runtime_error when socat fails or the links do not appear.
    SerialLinePair();
    // Stops socat.
    ~SerialLinePair();
    SerialLinePair(SerialLinePair const&) = delete;
    SerialLinePair& operator=(SerialLinePair const&) = delete;

    std::filesystem::path a() const { return dir_.path() / "a"; }
    std::filesystem::path b() const { return dir_.path() / "b"; }

private:
    test::TempDir dir_;
    test::RunningProgram socat_;
};

enum class Transport { tcp, rtu };

struct SimulatorOptions {
    std::vector<int> units{1};
    std::vector<int> no_identification{};  // answer 43/14 with illegal function
    bool gateway = false;                // TCP: absent units get exception 0x0B
    int registers = 1000;
    int baud = 19200;
    char parity = 'E';
};

// The simulator, running until destroyed. Holding register i holds i, input
// register i holds 1000 + i, coils are 0, in each unit's own store.
class ModbusSimulator {
public:
    // Starts it and waits until it listens. Throws std::runtime_error naming
    // what the simulator said when it does not start.
    explicit ModbusSimulator(Transport transport, SimulatorOptions const& options = {});
    // Stops it (SIGTERM, then SIGKILL) and the serial line it is on.
    ~ModbusSimulator();
    ModbusSimulator(ModbusSimulator const&) = delete;
    ModbusSimulator& operator=(ModbusSimulator const&) = delete;

    // The TCP port it listens on; 0 on RTU.
    int port() const { return port_; }
    // The bus as the family's descriptions name it: "tcp:127.0.0.1:<port>"
    // or "rtu:<client_device()>".
    std::string bus() const;
    // RTU: the serial port a client opens (the other end of the line).
    std::filesystem::path client_device() const;
    // Kills it at once (SIGKILL), as a server that dies; reaps it.
    void kill();

private:
    std::optional<SerialLinePair> line_;
    std::optional<test::RunningProgram> server_;
    int port_ = 0;
};

struct MbpollResult {
    int status = -1;  // 0 when every request succeeded; 128 + 9 when killed on timeout
    std::string out;
    std::string err;  // where mbpoll reports failures and exception responses
};

// Runs mbpoll with `arguments` (its own options: add -1 to poll once) and
// kills it when it has not finished within `timeout`.
MbpollResult run_mbpoll(std::vector<std::string> const& arguments,
                        std::chrono::milliseconds timeout = std::chrono::seconds(30));

}  // namespace zelm::modbus_test
