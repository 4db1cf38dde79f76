// The simulated device family's configuration, already checked: what each
// device describes itself as, what it answers, and which faults it injects.
// The file format is documented at the top of sim_config.cpp and in README.md.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zelm::sim {

using Milliseconds = std::chrono::duration<double, std::milli>;

// A configuration that cannot be used; the message is one line naming the
// file (or the built-in default) and the problem.
class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct StreamConfig {
    std::size_t chunk_size = 1024;    // bytes per data event
    double chunks_per_second = 1000;  // 0: as fast as the receiver takes them
};

// Faults a device injects on purpose, so hosts and the scan can be tested
// against misbehaving hardware.
struct FaultConfig {
    std::optional<std::string> get_info_error;     // get_info answers this error text
    std::optional<std::string> get_status_error;   // get_status answers this error text
    std::optional<std::string> open_device_error;  // open_device throws std::runtime_error with it
    bool info_not_json = false;                    // get_info answers text that is not JSON
    std::optional<std::string> stream_error;       // streams end with this Error ...
    std::uint64_t stream_error_after = 0;          // ... once this many bytes are delivered
};

struct DeviceConfig {
    nlohmann::json description;  // an object with a "serial" member
    // The description's compact text: the library owns the device under it,
    // so it is the only text that opens the device.
    std::string compact_description;
    nlohmann::json info;         // an object with "Serial Number"
    nlohmann::json status;       // an object with "API"
    std::vector<unsigned int> registers;  // initial register file; its size is the register count
    std::size_t memory_size = 0;          // bytes addressed by write, read and streams
    // Whether registers and memory are kept between processes (device_state.hpp).
    bool keep_state = true;
    // Whether other hosts reach the device too, so that hosts in a cluster
    // own it lab-wide.
    bool lab_wide = false;
    Milliseconds get_info_latency{0};
    Milliseconds open_device_latency{0};
    StreamConfig stream;
    FaultConfig faults;
};

struct Config {
    std::string origin;                             // the file, or the built-in default, for messages
    std::string name = "sim";                       // the family's display name
    std::optional<std::filesystem::path> open_log;  // one line appended per open_device
    // Shared, so that an open device keeps its settings without copying them.
    std::vector<std::shared_ptr<DeviceConfig const>> devices;
};

// Byte `offset` of a device's memory as configured: a recognisable pattern
// rather than zeros, so that a read or stream from the wrong place shows.
inline unsigned char configured_memory_byte(std::size_t offset) { return static_cast<unsigned char>(offset & 0xffU); }

// The environment variable naming the configuration file; unset or empty
// leaves the choice to the file beside the plug-in.
inline constexpr char const* config_variable = "ZELM_SIM_CONFIG";

// The start of every error message about the configuration from `origin`.
std::string config_error_prefix(std::string const& origin);

// Parses configuration text. `origin` names it in error messages; relative
// paths in it are resolved against `base_directory`. Throws ConfigError.
Config parse_config(std::string_view text, std::string const& origin, std::filesystem::path const& base_directory);

// Reads and parses a configuration file. Throws ConfigError.
Config read_config_file(std::filesystem::path const& file);

// The configuration that a new manager of `plugin_file` uses: the file named
// by ZELM_SIM_CONFIG, else the file beside the plug-in when there is one,
// else the built-in default. Throws ConfigError.
Config load_config(std::filesystem::path const& plugin_file);

// The built-in default configuration: three well-behaved devices.
std::string_view default_config_text();

}  // namespace zelm::sim
