// Reading and checking the simulated devices' configuration.
//
// The configuration is one JSON object (no comments):
//
//   {
//     "name": "sim",                   family name that get_name answers (default "sim")
//     "open_log": "opens.log",         optional; one line per open_device is appended here.
//                                      A relative path is relative to the configuration file.
//     "defaults": { device members },  optional; merged under every device entry
//     "devices": [ device entry, ... ] required (may be empty)
//   }
//
// A device entry, once "defaults" is merged under it (as a JSON merge patch:
// the entry's members win, objects merge member by member, null removes one):
//
//   "description": {"serial": "SIM-1", ...}  required; an object whose "serial" is a
//                                              string or a number, unique in the file (as
//                                              a JSON value: 7 and 7.0 are the same); it
//                                              opens only by its compact text
//   "info":   {...}        answered by get_info; "Serial Number" defaults to the serial
//   "status": {...}        answered by get_status; "API" defaults to "zelm-sim/1", and
//                          "Triggers" (the device's trigger count) is added on each call
//   "registers": {"count": 256, "values": {"0x10": 7, "3": 1}}
//                          register file size and initial values (others start at 0);
//                          addresses are decimal or "0x" hexadecimal
//   "memory_size": 4096    bytes reached by write, read and streams; byte i starts as i & 0xff
//   "keep_state": true     false: every open starts from the configured registers and memory
//   "lab_wide": false      true: other hosts reach it too; owned lab-wide in a cluster
//   "latency_ms": {"get_info": 0, "open_device": 0}
//   "stream": {"chunk_size": 1024, "chunks_per_second": 1000}   0 per second: unthrottled
//   "faults": {"get_info_error": "text", "get_status_error": "text",
//              "open_device_error": "text", "info_not_json": true,
//              "stream_error": "text", "stream_error_after": 4096}
//   "count": 10000         optional: the entry is a template for this many devices,
//   "first_index": 1       numbered from first_index (default 0). Every string in a
//                          template is a format string in which "{index}" (or, padded,
//                          "{index:05}") stands for the device's number; literal
//                          braces are written "{{" and "}}".
//
// Unknown members are errors, so that a misspelt member is not silently
// ignored. Every error names the file and the member ("devices[2].latency_ms.get_info").
#include "sim_config.hpp"

#include "config_location.hpp"
#include "config_members.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <set>

namespace zelm::sim {
namespace {

using nlohmann::json;

// Limits that keep a typo from allocating gigabytes or sleeping for ages.
constexpr std::uint64_t max_registers = 1 << 16;
constexpr std::uint64_t max_memory_size = std::uint64_t{64} << 20;
constexpr std::uint64_t max_chunk_size = std::uint64_t{16} << 20;
constexpr std::uint64_t max_template_count = 1'000'000;
constexpr double max_latency_ms = 3'600'000;
constexpr double min_chunks_per_second = 0.001;

using plugin::check_members;
using plugin::member_path;
using plugin::read_bool;
using plugin::read_count;
using plugin::read_number;
using plugin::read_string;
using plugin::require_object;
using plugin::with_member;
using Problem = plugin::ConfigProblem;

unsigned int read_register_value(json const& value, std::string const& where) {
    return static_cast<unsigned int>(read_count(value, where, 0xffff'ffffU));
}

// "16" or "0x10".
unsigned int parse_address(std::string const& text, std::string const& where) {
    bool const hex = text.starts_with("0x") || text.starts_with("0X");
    char const* first = text.data() + (hex ? 2 : 0);
    char const* last = text.data() + text.size();
    unsigned int address = 0;
    auto const [end, error] = std::from_chars(first, last, address, hex ? 16 : 10);
    if (error != std::errc{} || end != last || first == last) {
        throw Problem(where, fmt::format("register address \"{}\" is not a decimal or 0x-hexadecimal number", text));
    }
    return address;
}

json parse_description(json const& value, std::string const& where) {
    require_object(value, where);
    auto const serial = value.find("serial");
    if (serial == value.end()) {
        throw Problem(where, "needs a \"serial\" member");
    }
    if (!serial->is_string() && !serial->is_number()) {
        throw Problem(member_path(where, "serial"), "must be a string or a number");
    }
    return value;
}

std::vector<unsigned int> parse_registers(json const& value, std::string const& where) {
    require_object(value, where);
    check_members(value, where, {"count", "values"});
    std::uint64_t count = 256;
    with_member(value, "count", where,
                [&](json const& v, std::string const& at) { count = read_count(v, at, max_registers); });
    std::vector<unsigned int> registers(count, 0);
    with_member(value, "values", where, [&](json const& values, std::string const& at) {
        require_object(values, at);
        for (auto const& [key, initial] : values.items()) {
            auto const address = parse_address(key, at);
            if (address >= registers.size()) {
                throw Problem(at, fmt::format("register {} is beyond the register count {}", key, registers.size()));
            }
            registers[address] = read_register_value(initial, member_path(at, key));
        }
    });
    return registers;
}

void parse_latency(json const& value, std::string const& where, DeviceConfig& device) {
    require_object(value, where);
    check_members(value, where, {"get_info", "open_device"});
    with_member(value, "get_info", where, [&](json const& v, std::string const& at) {
        device.get_info_latency = Milliseconds(read_number(v, at, max_latency_ms));
    });
    with_member(value, "open_device", where, [&](json const& v, std::string const& at) {
        device.open_device_latency = Milliseconds(read_number(v, at, max_latency_ms));
    });
}

StreamConfig parse_stream(json const& value, std::string const& where) {
    require_object(value, where);
    check_members(value, where, {"chunk_size", "chunks_per_second"});
    StreamConfig stream;
    with_member(value, "chunk_size", where, [&](json const& v, std::string const& at) {
        stream.chunk_size = read_count(v, at, max_chunk_size);
        if (stream.chunk_size == 0) {
            throw Problem(at, "must be at least 1");
        }
    });
    with_member(value, "chunks_per_second", where, [&](json const& v, std::string const& at) {
        stream.chunks_per_second = read_number(v, at, 1e9);
        if (stream.chunks_per_second != 0 && stream.chunks_per_second < min_chunks_per_second) {
            throw Problem(at, fmt::format("must be 0 (unthrottled) or at least {}", min_chunks_per_second));
        }
    });
    return stream;
}

FaultConfig parse_faults(json const& value, std::string const& where) {
    require_object(value, where);
    check_members(value, where,
                  {"get_info_error", "get_status_error", "open_device_error", "info_not_json", "stream_error",
                   "stream_error_after"});
    FaultConfig faults;
    auto const text = [&](char const* key, std::optional<std::string>& out) {
        with_member(value, key, where, [&](json const& v, std::string const& at) { out = read_string(v, at); });
    };
    text("get_info_error", faults.get_info_error);
    text("get_status_error", faults.get_status_error);
    text("open_device_error", faults.open_device_error);
    text("stream_error", faults.stream_error);
    with_member(value, "info_not_json", where,
                [&](json const& v, std::string const& at) { faults.info_not_json = read_bool(v, at); });
    with_member(value, "stream_error_after", where, [&](json const& v, std::string const& at) {
        faults.stream_error_after = read_count(v, at, std::numeric_limits<std::uint64_t>::max());
    });
    return faults;
}

// An object member with a default that the configuration may override.
json object_with_default(json const& entry, char const* key, std::string const& where, char const* default_key,
                         json const& default_value) {
    json object = json::object();
    with_member(entry, key, where, [&](json const& v, std::string const& at) { object = require_object(v, at); });
    if (!object.contains(default_key)) {
        object[default_key] = default_value;
    }
    return object;
}

DeviceConfig parse_device(json const& entry, std::string const& where) {
    require_object(entry, where);
    check_members(entry, where,
                  {"description", "info", "status", "registers", "memory_size", "keep_state", "lab_wide", "latency_ms",
                   "stream", "faults"});
    DeviceConfig device;
    auto const description = entry.find("description");
    if (description == entry.end()) {
        throw Problem(where, "needs a \"description\" member");
    }
    device.description = parse_description(*description, member_path(where, "description"));
    device.compact_description = device.description.dump();
    device.info = object_with_default(entry, "info", where, "Serial Number", device.description["serial"]);
    device.status = object_with_default(entry, "status", where, "API", "zelm-sim/1");
    device.registers = parse_registers(entry.value("registers", json::object()), member_path(where, "registers"));
    device.memory_size = 4096;
    with_member(entry, "memory_size", where,
                [&](json const& v, std::string const& at) { device.memory_size = read_count(v, at, max_memory_size); });
    with_member(entry, "keep_state", where,
                [&](json const& v, std::string const& at) { device.keep_state = read_bool(v, at); });
    with_member(entry, "lab_wide", where,
                [&](json const& v, std::string const& at) { device.lab_wide = read_bool(v, at); });
    with_member(entry, "latency_ms", where,
                [&](json const& v, std::string const& at) { parse_latency(v, at, device); });
    with_member(entry, "stream", where,
                [&](json const& v, std::string const& at) { device.stream = parse_stream(v, at); });
    with_member(entry, "faults", where,
                [&](json const& v, std::string const& at) { device.faults = parse_faults(v, at); });
    return device;
}

// Replaces "{index}" in every string of a template copy.
void substitute_index(json& value, std::uint64_t index, std::string const& where) {
    if (value.is_string()) {
        auto const& text = value.get_ref<std::string const&>();
        if (text.find_first_of("{}") == std::string::npos) {
            return;  // nothing to format; most strings of a template
        }
        try {
            value = fmt::format(fmt::runtime(text), fmt::arg("index", index));
        } catch (fmt::format_error const& error) {
            throw Problem(where, fmt::format("bad template \"{}\": {}", text, error.what()));
        }
    } else if (value.is_object()) {
        for (auto& [key, member] : value.items()) {
            substitute_index(member, index, member_path(where, key));
        }
    } else if (value.is_array()) {
        for (std::size_t i = 0; i < value.size(); ++i) {
            substitute_index(value[i], index, fmt::format("{}[{}]", where, i));
        }
    }
}

// One entry of "devices": a single device, or `count` numbered copies.
void expand_entry(json entry, std::string const& where, std::vector<std::shared_ptr<DeviceConfig const>>& devices) {
    if (!entry.contains("count")) {
        devices.push_back(std::make_shared<DeviceConfig const>(parse_device(entry, where)));
        return;
    }
    auto const count = read_count(entry["count"], member_path(where, "count"), max_template_count);
    std::uint64_t first_index = 0;
    with_member(entry, "first_index", where, [&](json const& v, std::string const& at) {
        first_index = read_count(v, at, std::numeric_limits<std::uint32_t>::max());
    });
    entry.erase("count");
    entry.erase("first_index");
    for (std::uint64_t i = 0; i < count; ++i) {
        auto const index = first_index + i;
        auto const copy_where = fmt::format("{} (index {})", where, index);
        json copy = entry;
        substitute_index(copy, index, copy_where);
        devices.push_back(std::make_shared<DeviceConfig const>(parse_device(copy, copy_where)));
    }
}

// Unique as JSON values, not only as texts: {"serial":7} and {"serial":7.0}
// are two texts, and would be two devices, that people cannot tell apart.
void check_unique_descriptions(std::vector<std::shared_ptr<DeviceConfig const>> const& devices) {
    std::set<json> seen;
    for (auto const& device : devices) {
        if (!seen.insert(device->description).second) {
            throw Problem("devices", fmt::format("two devices have the description {}", device->description.dump()));
        }
    }
}

Config parse_document(json const& document, std::filesystem::path const& base_directory) {
    require_object(document, "top level");
    check_members(document, "top level", {"name", "open_log", "defaults", "devices"});
    Config config;
    with_member(document, "name", "", [&](json const& v, std::string const& at) {
        config.name = read_string(v, at);
        if (config.name.empty()) {
            throw Problem(at, "must not be empty");
        }
    });
    with_member(document, "open_log", "", [&](json const& v, std::string const& at) {
        auto const text = read_string(v, at);
        if (text.empty()) {
            throw Problem(at, "must not be empty");
        }
        config.open_log = base_directory / text;  // an absolute text replaces the base
    });
    json defaults = json::object();
    with_member(document, "defaults", "",
                [&](json const& v, std::string const& at) { defaults = require_object(v, at); });
    auto const devices = document.find("devices");
    if (devices == document.end() || !devices->is_array()) {
        throw Problem("devices", "must be present and an array");
    }
    for (std::size_t i = 0; i < devices->size(); ++i) {
        auto const where = fmt::format("devices[{}]", i);
        json entry = defaults;
        entry.merge_patch(require_object((*devices)[i], where));
        expand_entry(std::move(entry), where, config.devices);
    }
    check_unique_descriptions(config.devices);
    return config;
}

}  // namespace

std::string config_error_prefix(std::string const& origin) { return fmt::format("Bad sim configuration {}: ", origin); }

Config parse_config(std::string_view text, std::string const& origin, std::filesystem::path const& base_directory) {
    auto config = plugin::read_config_document<ConfigError>(
        text, config_error_prefix(origin), [&](json const& document) { return parse_document(document, base_directory); });
    config.origin = origin;
    return config;
}

Config read_config_file(std::filesystem::path const& file) {
    std::string text;
    try {
        text = plugin::read_config_text(file, config_error_prefix(file.native()));
    } catch (plugin::ConfigFileError const& error) {
        throw ConfigError(error.what());
    }
    return parse_config(text, file.native(), std::filesystem::absolute(file).parent_path());
}

Config load_config(std::filesystem::path const& plugin_file) {
    if (auto const file = plugin::find_config_file(plugin_file, config_variable)) {
        return read_config_file(*file);
    }
    return parse_config(default_config_text(), "(built-in default)", std::filesystem::path());
}

}  // namespace zelm::sim
