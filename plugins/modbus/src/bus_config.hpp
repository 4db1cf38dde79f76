// The Modbus family's configuration, already checked: the buses to probe and
// how to talk on each. The file format is documented at the top of
// bus_config.cpp and in the family's README.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zelm::modbus {

// A configuration that cannot be used; the message is one line naming the
// file and the problem.
class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Transport { tcp, rtu };

struct SerialSettings {
    int baud = 19200;
    char parity = 'E';  // 'N', 'E' or 'O'
    int data_bits = 8;
    int stop_bits = 1;
};

// Where a unit's serial number comes from: an identification object, or a
// block of holding registers read as text (two characters a register, high
// byte first) or as an unsigned number (high word first).
struct SerialNumberSource {
    enum class Format { text, number };
    std::optional<int> object;  // a function 43/14 object id
    int first_register = 0;
    int register_count = 0;
    Format format = Format::text;
};

struct BusConfig {
    Transport transport = Transport::tcp;
    std::string host;      // tcp: the host name or address, without brackets
    std::string service;   // tcp: the port
    std::string port;      // rtu: the serial port's path, as configured
    SerialSettings serial;
    std::vector<int> units;  // ascending, without repeats
    std::chrono::milliseconds timeout{0};
    std::chrono::milliseconds poll_interval{100};  // of read streams
    std::optional<SerialNumberSource> serial_number;
    std::map<int, std::string> unit_names;  // what the configuration says a unit is

    // The bus as the configuration spells it: "tcp:<host>:<port>" (IPv6 in
    // brackets) or "rtu:<serial port>". Descriptions name it by its identity
    // instead (bus_identity.hpp).
    std::string name() const;
};

struct Config {
    std::string origin;  // the file, for messages
    std::vector<BusConfig> buses;
};

// The environment variable naming the configuration file; unset or empty
// leaves the choice to the file beside the plug-in.
inline constexpr char const* config_variable = "ZELM_MODBUS_CONFIG";

// Unit ids a bus may list: Modbus TCP reaches 0 to 255 (gateways and devices
// that ignore the id alike); an RTU line addresses 1 to 247, 0 being its
// broadcast.
inline constexpr int max_tcp_unit = 255;
inline constexpr int min_rtu_unit = 1;
inline constexpr int max_rtu_unit = 247;

// Parses configuration text; `origin` names it in error messages. Throws
// ConfigError.
Config parse_config(std::string_view text, std::string const& origin);

// The configuration of a new manager of `plugin_file`: the file named by
// ZELM_MODBUS_CONFIG, else the file beside the plug-in; none when neither
// exists. Throws ConfigError for a file that is there but unusable.
std::optional<Config> load_config(std::filesystem::path const& plugin_file);

// Why load_config found nothing, for people: a few words.
std::string not_configured_reason(std::filesystem::path const& plugin_file);

}  // namespace zelm::modbus
