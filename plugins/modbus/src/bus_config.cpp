// Reading and checking the Modbus family's configuration.
//
// The configuration is one JSON object (no comments):
//
//   {"buses": [ bus, ... ]}
//
// A bus is a Modbus TCP server or gateway, or a serial line (Modbus RTU):
//
//   "tcp": "host:port"       host name, IPv4 address or [IPv6 address]; the port
//                            defaults to 502
//   "rtu": "/dev/serial/by-id/usb-..."   the serial port; its stable by-id path
//                            finds the adapter wherever it is plugged in
//   "baud": 19200, "parity": "E", "data_bits": 8, "stop_bits": 1   rtu only;
//                            these are the defaults (parity "N", "E" or "O")
//   "units": [1, 2] or "1-5,7"   the unit ids to probe (required)
//   "timeout_ms": 100        how long a unit may take to answer (default 100
//                            on a serial line, 500 over TCP)
//   "poll_ms": 100           how often a read stream reads its block
//   "serial_number": {"object": 128} or
//                    {"registers": [first, count], "format": "text" | "number"}
//                            where the units keep a serial number
//   "unit_names": {"3": "boiler controller"}   what a unit is, for people
//
// Unknown members are errors, so that a misspelt member is not silently
// ignored. Every error names the file and the member ("buses[1].units").
#include "bus_config.hpp"

#include "config_location.hpp"
#include "config_members.hpp"

#include <nlohmann/json.hpp>

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <set>

namespace zelm::modbus {
namespace {

using nlohmann::json;
using plugin::check_members;
using plugin::member_path;
using plugin::read_count_from;
using plugin::read_string;
using plugin::require_object;
using plugin::with_member;
using Problem = plugin::ConfigProblem;

constexpr int default_tcp_port = 502;
constexpr int rtu_default_timeout_ms = 100;
constexpr int tcp_default_timeout_ms = 500;
constexpr int max_timeout_ms = 60'000;
constexpr int max_poll_ms = 3'600'000;
constexpr int max_baud = 4'000'000;
constexpr int max_serial_number_registers = 64;
constexpr int max_number_registers = 4;  // 64 bits
constexpr int max_register_address = 0xffff;
constexpr int max_object_id = 0xff;

std::string error_prefix(std::string const& origin) { return fmt::format("Bad modbus configuration {}: ", origin); }

int parse_whole(std::string_view text, std::string const& where, char const* what) {
    int value = 0;
    auto const [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || text.empty()) {
        throw Problem(where, fmt::format("{} \"{}\" is not a whole number", what, text));
    }
    return value;
}

void add_unit(std::set<int>& units, int unit, int min, int max, std::string const& where) {
    if (unit < min || unit > max) {
        throw Problem(where, fmt::format("unit {} is outside {}-{}", unit, min, max));
    }
    if (!units.insert(unit).second) {
        throw Problem(where, fmt::format("unit {} is given twice", unit));
    }
}

// "1-5,7,9": ranges and single ids, separated by commas.
void add_unit_ranges(std::set<int>& units, std::string_view text, int min, int max, std::string const& where) {
    while (!text.empty()) {
        auto const comma = text.find(',');
        auto const item = text.substr(0, comma);
        auto const dash = item.find('-');
        auto const first = parse_whole(item.substr(0, dash), where, "unit");
        auto const last = dash == std::string_view::npos ? first : parse_whole(item.substr(dash + 1), where, "unit");
        if (last < first) {
            throw Problem(where, fmt::format("range \"{}\" runs backwards", item));
        }
        for (int unit = first; unit <= last; ++unit) {
            add_unit(units, unit, min, max, where);
        }
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (comma != std::string_view::npos && text.empty()) {
            throw Problem(where, "ends with a comma");
        }
    }
}

std::vector<int> parse_units(json const& value, std::string const& where, int min, int max) {
    std::set<int> units;
    if (value.is_string()) {
        add_unit_ranges(units, value.get_ref<std::string const&>(), min, max, where);
    } else if (value.is_array()) {
        for (std::size_t i = 0; i < value.size(); ++i) {
            auto const at = fmt::format("{}[{}]", where, i);
            add_unit(units, static_cast<int>(read_count_from(value[i], at, min, max)), min, max, at);
        }
    } else {
        throw Problem(where, "must be an array of unit ids or a text such as \"1-5,7\"");
    }
    if (units.empty()) {
        throw Problem(where, "names no unit");
    }
    return {units.begin(), units.end()};
}

// "host:port", "host" (port 502), "[v6]:port" or "[v6]".
void parse_tcp_endpoint(std::string const& text, std::string const& where, BusConfig& bus) {
    std::string_view rest = text;
    if (rest.starts_with('[')) {
        auto const close = rest.find(']');
        if (close == std::string_view::npos) {
            throw Problem(where, fmt::format("\"{}\" opens a bracket it does not close", text));
        }
        bus.host = std::string(rest.substr(1, close - 1));
        rest.remove_prefix(close + 1);
        if (!rest.empty() && !rest.starts_with(':')) {
            throw Problem(where, fmt::format("\"{}\" has text after the bracketed address", text));
        }
    } else {
        auto const colon = rest.find(':');
        bus.host = std::string(rest.substr(0, colon));
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon);
        if (rest.find(':', 1) != std::string_view::npos) {
            throw Problem(where, fmt::format("\"{}\": write an IPv6 address in brackets, as [::1]:502", text));
        }
    }
    if (bus.host.empty()) {
        throw Problem(where, fmt::format("\"{}\" names no host", text));
    }
    auto const port = rest.empty() ? default_tcp_port : parse_whole(rest.substr(1), where, "port");
    if (port < 1 || port > 0xffff) {
        throw Problem(where, fmt::format("port {} is outside 1-65535", port));
    }
    bus.service = std::to_string(port);
}

char parse_parity(json const& value, std::string const& where) {
    auto const text = read_string(value, where);
    if (text != "N" && text != "E" && text != "O") {
        throw Problem(where, "must be \"N\", \"E\" or \"O\"");
    }
    return text.front();
}

void parse_serial_settings(json const& entry, std::string const& where, SerialSettings& serial) {
    auto const whole = [&](char const* key, int& out, int min, int max) {
        with_member(entry, key, where, [&](json const& v, std::string const& at) {
            out = static_cast<int>(read_count_from(v, at, min, max));
        });
    };
    whole("baud", serial.baud, 1, max_baud);
    whole("data_bits", serial.data_bits, 5, 8);
    whole("stop_bits", serial.stop_bits, 1, 2);
    with_member(entry, "parity", where,
                [&](json const& v, std::string const& at) { serial.parity = parse_parity(v, at); });
}

SerialNumberSource parse_serial_number(json const& value, std::string const& where) {
    require_object(value, where);
    check_members(value, where, {"object", "registers", "format"});
    SerialNumberSource source;
    auto const object = value.find("object");
    auto const registers = value.find("registers");
    if ((object == value.end()) == (registers == value.end())) {
        throw Problem(where, "needs exactly one of \"object\" and \"registers\"");
    }
    if (object != value.end()) {
        source.object = static_cast<int>(read_count_from(*object, member_path(where, "object"), 0, max_object_id));
        if (value.contains("format")) {
            throw Problem(member_path(where, "format"), "applies to \"registers\" only");
        }
        return source;
    }
    auto const at = member_path(where, "registers");
    if (!registers->is_array() || registers->size() != 2) {
        throw Problem(at, "must be [first register, register count]");
    }
    source.first_register = static_cast<int>(read_count_from((*registers)[0], at, 0, max_register_address));
    with_member(value, "format", where, [&](json const& v, std::string const& format_at) {
        auto const format = read_string(v, format_at);
        if (format != "text" && format != "number") {
            throw Problem(format_at, "must be \"text\" or \"number\"");
        }
        source.format = format == "text" ? SerialNumberSource::Format::text : SerialNumberSource::Format::number;
    });
    auto const max_count =
        source.format == SerialNumberSource::Format::text ? max_serial_number_registers : max_number_registers;
    source.register_count = static_cast<int>(read_count_from((*registers)[1], at, 1, max_count));
    if (source.first_register + source.register_count - 1 > max_register_address) {
        throw Problem(at, "runs past register 65535");
    }
    return source;
}

std::map<int, std::string> parse_unit_names(json const& value, std::string const& where,
                                            std::vector<int> const& units) {
    require_object(value, where);
    std::map<int, std::string> names;
    for (auto const& [key, name] : value.items()) {
        auto const unit = parse_whole(key, where, "unit");
        if (!std::ranges::binary_search(units, unit)) {
            throw Problem(where, fmt::format("unit {} is not among the bus's units", unit));
        }
        names[unit] = read_string(name, member_path(where, key));
    }
    return names;
}

BusConfig parse_bus(json const& entry, std::string const& where) {
    require_object(entry, where);
    BusConfig bus;
    auto const tcp = entry.find("tcp");
    auto const rtu = entry.find("rtu");
    if ((tcp == entry.end()) == (rtu == entry.end())) {
        throw Problem(where, "needs exactly one of \"tcp\" and \"rtu\"");
    }
    if (tcp != entry.end()) {
        check_members(entry, where, {"tcp", "units", "timeout_ms", "poll_ms", "serial_number", "unit_names"});
        bus.transport = Transport::tcp;
        parse_tcp_endpoint(read_string(*tcp, member_path(where, "tcp")), member_path(where, "tcp"), bus);
    } else {
        check_members(entry, where,
                      {"rtu", "baud", "parity", "data_bits", "stop_bits", "units", "timeout_ms", "poll_ms",
                       "serial_number", "unit_names"});
        bus.transport = Transport::rtu;
        bus.port = read_string(*rtu, member_path(where, "rtu"));
        if (bus.port.empty()) {
            throw Problem(member_path(where, "rtu"), "must name a serial port");
        }
        parse_serial_settings(entry, where, bus.serial);
    }
    bool const on_tcp = bus.transport == Transport::tcp;
    auto const units = entry.find("units");
    if (units == entry.end()) {
        throw Problem(where, "needs a \"units\" member");
    }
    bus.units = parse_units(*units, member_path(where, "units"), on_tcp ? 0 : min_rtu_unit,
                            on_tcp ? max_tcp_unit : max_rtu_unit);
    bus.timeout = std::chrono::milliseconds(on_tcp ? tcp_default_timeout_ms : rtu_default_timeout_ms);
    with_member(entry, "timeout_ms", where, [&](json const& v, std::string const& at) {
        bus.timeout = std::chrono::milliseconds(read_count_from(v, at, 1, max_timeout_ms));
    });
    with_member(entry, "poll_ms", where, [&](json const& v, std::string const& at) {
        bus.poll_interval = std::chrono::milliseconds(read_count_from(v, at, 1, max_poll_ms));
    });
    with_member(entry, "serial_number", where,
                [&](json const& v, std::string const& at) { bus.serial_number = parse_serial_number(v, at); });
    with_member(entry, "unit_names", where, [&](json const& v, std::string const& at) {
        bus.unit_names = parse_unit_names(v, at, bus.units);
    });
    return bus;
}

Config parse_document(json const& document) {
    require_object(document, "top level");
    check_members(document, "top level", {"buses"});
    auto const buses = document.find("buses");
    if (buses == document.end() || !buses->is_array()) {
        throw Problem("buses", "must be present and an array");
    }
    Config config;
    std::set<std::string> names;
    for (std::size_t i = 0; i < buses->size(); ++i) {
        auto const where = fmt::format("buses[{}]", i);
        auto bus = parse_bus((*buses)[i], where);
        if (!names.insert(bus.name()).second) {
            throw Problem(where, fmt::format("bus {} is configured twice", bus.name()));
        }
        config.buses.push_back(std::move(bus));
    }
    return config;
}

}  // namespace

std::string BusConfig::name() const {
    if (transport == Transport::rtu) {
        return "rtu:" + port;
    }
    if (host.find(':') != std::string::npos) {
        return fmt::format("tcp:[{}]:{}", host, service);  // IPv6
    }
    return fmt::format("tcp:{}:{}", host, service);
}

Config parse_config(std::string_view text, std::string const& origin) {
    auto config = plugin::read_config_document<ConfigError>(text, error_prefix(origin), parse_document);
    config.origin = origin;
    return config;
}

std::optional<Config> load_config(std::filesystem::path const& plugin_file) {
    auto const file = plugin::find_config_file(plugin_file, config_variable);
    if (!file) {
        return std::nullopt;
    }
    try {
        return parse_config(plugin::read_config_text(*file, error_prefix(file->native())), file->native());
    } catch (plugin::ConfigFileError const& error) {
        throw ConfigError(error.what());
    }
}

std::string not_configured_reason(std::filesystem::path const& plugin_file) {
    // The file's name only: tools show the plug-in's directory beside it.
    return fmt::format("not configured: no {}, {} unset", plugin::config_beside(plugin_file).filename().native(),
                       config_variable);
}

}  // namespace zelm::modbus
