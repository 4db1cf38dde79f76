// Modbus peers for the Modbus family's tests: the bundled pymodbus simulator
// on a loopback TCP port or as an RTU slave on one end of a socat
// pseudo-terminal pair, mbpoll as an independent client, and a unit of our
// own that misbehaves on purpose.
#pragma once

#include "test_support.hpp"

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zelm::modbus_test {

inline std::filesystem::path const simulator_path{ZELM_MODBUS_SIMULATOR};
inline std::filesystem::path const hostile_peer_path{ZELM_MODBUS_HOSTILE_PEER};

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

// A peer server process on a loopback port or on one end of a serial line of
// its own, running until destroyed.
class ModbusPeer {
public:
    // Stops it (SIGTERM, then SIGKILL) and the serial line it is on.
    ~ModbusPeer();
    ModbusPeer(ModbusPeer const&) = delete;
    ModbusPeer& operator=(ModbusPeer const&) = delete;

    // The TCP port it listens on; 0 on RTU.
    int port() const { return port_; }
    // The bus as the family's descriptions name it: "tcp:127.0.0.1:<port>"
    // or "rtu:<the pseudo-terminal client_device() leads to>".
    std::string bus() const;
    // RTU: the serial port a client opens (the other end of the line).
    std::filesystem::path client_device() const;
    // Kills it at once (SIGKILL), as a server that dies; reaps it.
    void kill();

protected:
    // Starts `command(device)`, `device` the end of a new serial line it
    // serves on RTU, and waits until it prints "ready <port or device>".
    // Throws std::runtime_error naming what it said when it does not start.
    ModbusPeer(Transport transport, std::function<std::vector<std::string>(std::filesystem::path const&)> const& command);

private:
    std::optional<SerialLinePair> line_;
    std::optional<test::RunningProgram> server_;
    int port_ = 0;
};

// The simulator. Holding register i holds i, input register i holds
// 1000 + i, coils are 0, in each unit's own store.
class ModbusSimulator : public ModbusPeer {
public:
    explicit ModbusSimulator(Transport transport, SimulatorOptions const& options = {});
};

// How the hostile peer misbehaves (hostile_peer.py tells the details).
enum class Misbehaviour { late, noise, other_unit, other_function, other_length, more_follows };

struct HostileOptions {
    Misbehaviour misbehaviour = Misbehaviour::late;
    int every = 1;                       // late, noise: every nth read
    std::chrono::milliseconds delay{0};  // late, noise, more_follows
};

// Unit 1, whose holding register i holds i, misbehaving as `options` say.
class HostilePeer : public ModbusPeer {
public:
    HostilePeer(Transport transport, HostileOptions const& options);
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
