// Fuzz target: the description text a host passes to manage_device, which
// names the device's ownership lock. An empty text takes no lock and touches
// no file; a text that is not JSON is a parse error before any file is
// touched, and so is JSON nested deeper than the library keeps; any other
// JSON text gives the lock "device_" + 1 to 16 lower-case hex
// digits of the FNV-1a hash of "<manager path>_<compact JSON>", the same for
// every re-serialisation of the same value, held exclusively until released.
//
// Input: an optional manager path and a NUL byte, then the description.
#include "harness.hpp"

#include "json/bounded_json.hpp"

#include <zelm/lock.hpp>

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace zelm::fuzz {
namespace {

using nlohmann::json;

constexpr char const* default_manager_path = "/fuzz/description_manager.so";

// The identity as documented, computed here without the library.
std::string documented_lock_id(std::string const& manager_path, json const& description) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (unsigned char const byte : manager_path + "_" + description.dump()) {
        hash = (hash ^ byte) * 1099511628211ULL;
    }
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    do {
        hex.insert(hex.begin(), digits[hash % 16]);
        hash /= 16;
    } while (hash != 0);
    return "device_" + hex;
}

bool well_formed_id(std::string const& id) {
    auto const hex = std::string_view(id).substr(std::min<std::size_t>(id.size(), 7));
    return id.starts_with("device_") && !hex.empty() && hex.size() <= 16 &&
           hex.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

bool lock_directory_is_empty() {
    std::error_code error;
    return !std::filesystem::exists(lock_directory(), error) || std::filesystem::is_empty(lock_directory(), error);
}

void check_no_lock_taken(std::string const& manager_path, std::string const& description) {
    if (description.empty()) {
        require(detail::acquire_device_ownership_lock(manager_path, description) == nullptr,
                "an empty description takes no lock");
    } else {
        message_of<json::parse_error>([&] { detail::acquire_device_ownership_lock(manager_path, description); },
                                      "a description that is not JSON");
    }
    require(lock_directory_is_empty(), "no file is touched without a lock");
}

// Equivalent texts of one value that a host might pass: compact, indented,
// ASCII-escaped.
std::array<std::string, 3> re_serialisations(json const& value) {
    return {value.dump(), value.dump(2), value.dump(-1, ' ', true)};
}

void check_lock(std::string const& manager_path, std::string const& description, json const& value) {
    auto const id = detail::make_lock_id(manager_path, value);
    require(well_formed_id(id), "the identity is device_ and 1 to 16 lower-case hex digits");
    require(id == documented_lock_id(manager_path, value), "the identity hashes the path and the compact JSON");

    auto const lock = detail::acquire_device_ownership_lock(manager_path, description);
    require(lock != nullptr && lock->held(), "a JSON description takes the lock");
    require(lock->fd() > 2, "the lock is never on a standard stream's descriptor");
    require(lock->path() == lock_directory() / (id + ".occupied"), "the lock file is named after the identity");
    require(detail::is_device_occupied(id), "a held lock shows the device occupied");

    for (auto const& text : re_serialisations(value)) {
        require(detail::make_lock_id(manager_path, json::parse(text)) == id,
                "every re-serialisation gives the same identity");
        auto const message = message_of<std::runtime_error>(
            [&] { detail::acquire_device_ownership_lock(manager_path, text); }, "a second owner of a held device");
        require(message == "Device is already occupied", "a second owner is refused as occupied");
    }
}

}  // namespace

void run_one(std::string_view input) {
    reset_caches();
    auto const separator = input.find('\0');
    std::string const manager_path =
        separator == std::string_view::npos ? default_manager_path : std::string(input.substr(0, separator));
    std::string const description(separator == std::string_view::npos ? input : input.substr(separator + 1));

    // Values nested deeper than the library keeps are refused like text that
    // is not JSON.
    auto const value = json::parse(description, nullptr, false);
    if (description.empty() || value.is_discarded() || nesting_depth(value) > detail::max_json_depth) {
        check_no_lock_taken(manager_path, description);
        return;
    }
    check_lock(manager_path, description, value);
    auto const id = detail::make_lock_id(manager_path, value);
    require(!detail::is_device_occupied(id), "a released lock leaves the device free");
    require(detail::acquire_device_ownership_lock(manager_path, value.dump(2)) != nullptr,
            "a released device can be owned again");
}

}  // namespace zelm::fuzz
