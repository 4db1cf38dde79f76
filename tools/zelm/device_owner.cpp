// Device owners: the library's look-up in /proc/locks, completed with the
// holder's command name from /proc.
#include "device_owner.hpp"

#include "arguments.hpp"

#include <zelm/lock.hpp>

#include <fmt/format.h>

#include <signal.h>

#include <cerrno>
#include <fstream>
#include <iterator>

namespace zelm::tool {

namespace {

// The kernel cuts command names at 15 bytes, possibly inside a UTF-8
// sequence; the name must still go into JSON output, so bytes that are not
// UTF-8 become replacement characters.
std::string as_utf8(std::string const& text) {
    auto const quoted = nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return nlohmann::json::parse(quoted).get<std::string>();
}

std::optional<std::string> command_of(int pid) {
    std::ifstream file(fmt::format("/proc/{}/comm", pid));
    std::string command{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (!file.is_open() || command.empty()) {
        return std::nullopt;
    }
    if (command.back() == '\n') {
        command.pop_back();
    }
    return as_utf8(command);
}

// A process that may only hide its name from us (another user's, under a
// restricted /proc) still exists; one that is gone identifies nobody.
bool exists(int pid) { return kill(pid, 0) == 0 || errno == EPERM; }

}  // namespace

std::optional<DeviceOwner> find_owner(std::string const& lock_id) {
    auto const pid = detail::find_device_owner(lock_id);
    if (!pid) {
        return std::nullopt;
    }
    auto command = command_of(*pid);
    if (!command && !exists(*pid)) {
        return std::nullopt;
    }
    return DeviceOwner{*pid, std::move(command)};
}

std::string owner_text(std::optional<DeviceOwner> const& owner) {
    if (!owner) {
        return "unknown";
    }
    return owner->command ? fmt::format("{} ({})", owner->pid, one_line(*owner->command))
                          : std::to_string(owner->pid);
}

nlohmann::ordered_json owner_json(std::optional<DeviceOwner> const& owner) {
    if (!owner) {
        return nullptr;
    }
    return {{"pid", owner->pid},
            {"command", owner->command ? nlohmann::ordered_json(*owner->command) : nlohmann::ordered_json(nullptr)}};
}

std::optional<DeviceOwner> owner_from_json(nlohmann::json const& value) {
    if (!value.is_object()) {
        return std::nullopt;
    }
    auto const& command = value.at("command");
    return DeviceOwner{value.at("pid").get<int>(),
                       command.is_string() ? std::optional(command.get<std::string>()) : std::nullopt};
}

}  // namespace zelm::tool
