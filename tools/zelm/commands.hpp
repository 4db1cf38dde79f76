// The tool's commands and the options each one takes. The command line
// (command_line.cpp) fills these from argv; every command reports failure by
// throwing, which the tool turns into one line on standard error and an exit
// status by the exception's type (exit_status.hpp).
#pragma once

#include "selector.hpp"
#include "usage_error.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zelm::tool {

// Ends the tool with `status`, printing `message` as its error line when
// there is one: how `hold ... -- COMMAND` passes on its command's end.
class ExitStatus : public std::runtime_error {
public:
    explicit ExitStatus(int status, std::optional<std::string> const& message = std::nullopt)
        : std::runtime_error(message.value_or("")), status_(status), message_(message) {}
    int status() const noexcept { return status_; }
    std::optional<std::string> const& message() const noexcept { return message_; }

private:
    int status_;
    std::optional<std::string> message_;
};

// One device: the selector that names it and, when given, the plug-in file
// that serves it (none: every plug-in of the plug-in directory).
struct DeviceTarget {
    std::optional<std::filesystem::path> plugin;
    Selector selector;
};

// Seconds one plug-in's child may take under --isolate, unless --timeout says.
constexpr double default_isolation_timeout = 30.0;

struct ScanCommandOptions {
    std::optional<std::filesystem::path> directory;
    std::vector<std::filesystem::path> plugins;
    bool json = false;
    unsigned jobs = 1;
    bool isolate = false;   // each plug-in in a child process of its own
    double timeout = default_isolation_timeout;  // seconds an isolated plug-in's scan may take
};

struct PluginsOptions {
    std::optional<std::filesystem::path> directory;
    bool json = false;
    bool isolate = false;                        // each plug-in file examined in a child process of its own
    double timeout = default_isolation_timeout;  // seconds one plug-in's examination may take
};

struct HoldOptions {
    DeviceTarget target;
    std::optional<double> seconds;     // none: until interrupted
    std::optional<double> wait;        // seconds to wait while the device is occupied; none: fail at once
    std::vector<std::string> command;  // run while holding, given after "--"; empty: none
};

struct QueryOptions {
    DeviceTarget target;
    bool live = false;  // own and ask the device instead of reading what scans know
};

struct RegisterGetOptions {
    DeviceTarget target;
    std::uint32_t address = 0;
    bool hex = false;
};

struct RegisterSetOptions {
    DeviceTarget target;
    std::uint32_t address = 0;
    std::uint32_t value = 0;
    std::uint32_t operand = 0;
};

struct ReadOptions {
    DeviceTarget target;
    std::uint32_t address = 0;
    std::uint64_t count = 0;
};

struct WriteOptions {
    DeviceTarget target;
    std::uint32_t address = 0;
    std::vector<unsigned char> bytes;
};

struct StreamOptions {
    DeviceTarget target;
    std::uint32_t address = 0;
    std::optional<std::uint64_t> bytes;  // none: until the stream ends or is interrupted
    std::optional<std::uint64_t> size;   // start_read_stream's size; none: `bytes`, else 0
    std::optional<std::filesystem::path> output;
};

struct LockIdOptions {
    DeviceTarget target;
    // Taken literally in place of a plug-in's: the selector is then a JSON
    // description, used as typed.
    std::optional<std::filesystem::path> manager_path;
};

struct WhoOptions {
    DeviceTarget target;
    bool json = false;
};

struct CleanCommandOptions {
    std::optional<std::uint32_t> older_than;  // seconds; none: the library's default, a day
    bool dry_run = false;
};

void run_scan(ScanCommandOptions const& options);
void run_plugins(PluginsOptions const& options);
void run_hold(HoldOptions const& options);
void run_info(QueryOptions const& options);
void run_status(QueryOptions const& options);
void run_register_get(RegisterGetOptions const& options);
void run_register_set(RegisterSetOptions const& options);
void run_read(ReadOptions const& options);
void run_write(WriteOptions const& options);
void run_stream(StreamOptions const& options);
void run_lock_id(LockIdOptions const& options);
void run_clean(CleanCommandOptions const& options);
// Returns the exit status: 0 when the device is held, 1 when it is free.
int run_who(WhoOptions const& options);

}  // namespace zelm::tool
