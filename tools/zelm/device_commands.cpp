// The one-shot device commands: info and status (from the query cache, or
// with --live from the owned device), reg get/set, read, write, lock-id,
// which names a device's lock files without touching them, and who, which
// names the holder of a device's lock without taking it.
#include "arguments.hpp"
#include "cached_answer.hpp"
#include "commands.hpp"
#include "device_session.hpp"
#include "escape.hpp"
#include "holder_output.hpp"
#include "output.hpp"

#include <zelm/holder.hpp>
#include <zelm/lock.hpp>

#include <fmt/format.h>

#include <stdexcept>

namespace zelm::tool {

namespace {

// Runs a text query of the device and prints its answer.
template <typename Query>
void print_text_query(DeviceTarget const& target, char const* name, Query&& query) {
    auto const session = open_managed_device(target);
    auto const doing = fmt::format("{} of {}", name, session.name);
    auto const result = explained(doing, [&] { return query(*session.device); });
    if (!result) {
        throw std::runtime_error(fmt::format("{} failed: {}", doing, result.error()));
    }
    print_stdout(readable_json(*result));
}

// Runs one device operation that returns a result code: zero is success, an
// exception or any other code a failure of `doing`.
template <typename Operation>
void run_checked(std::string const& doing, Operation&& operation) {
    int const code = explained(doing, operation);
    if (code != 0) {
        throw std::runtime_error(fmt::format("{} failed with code {}", doing, code));
    }
}

// The path under which the device's lock files are named.
std::filesystem::path manager_path_of(SelectedDevice const& device) {
    return explained("cannot get the manager path of " + device.plugin_path.filename().native(),
                     [&] { return device.manager->get_path(); });
}

}  // namespace

void run_info(QueryOptions const& options) {
    if (!options.live) {
        print_cached_answer(options.target, AnswerPart::info);
        return;
    }
    print_text_query(options.target, "get_info", [](Device& device) { return device.get_info(); });
}

void run_status(QueryOptions const& options) {
    if (!options.live) {
        print_cached_answer(options.target, AnswerPart::status);
        return;
    }
    print_text_query(options.target, "get_status", [](Device& device) { return device.get_status(); });
}

void run_register_get(RegisterGetOptions const& options) {
    auto const session = open_managed_device(options.target);
    auto const doing = fmt::format("reading register {} of {}", options.address, session.name);
    auto const value = explained(doing, [&] { return session.device->get_register_sync(options.address); });
    if (!value) {
        throw std::runtime_error(doing + " failed: read_registers reported failure");
    }
    print_stdout(options.hex ? fmt::format("{:#x}\n", *value) : fmt::format("{}\n", *value));
}

void run_register_set(RegisterSetOptions const& options) {
    auto const session = open_managed_device(options.target);
    run_checked(fmt::format("setting register {} of {} to {}", options.address, session.name, options.value),
                [&] { return session.device->set_register_sync(options.address, options.value, options.operand); });
}

void run_read(ReadOptions const& options) {
    auto const session = open_managed_device(options.target);
    std::vector<unsigned char> data(options.count);
    run_checked(fmt::format("reading {} bytes at {} from {}", data.size(), options.address, session.name),
                [&] { return session.device->read(options.address, data.size(), data.data()); });
    print_stdout(format_hex_bytes(data));
}

void run_write(WriteOptions const& options) {
    auto const session = open_managed_device(options.target);
    run_checked(fmt::format("writing {} bytes at {} to {}", options.bytes.size(), options.address, session.name),
                [&] { return session.device->write(options.address, options.bytes.size(), options.bytes.data()); });
}

void run_lock_id(LockIdOptions const& options) {
    if (options.manager_path) {
        auto const* typed = std::get_if<DeviceSelector>(&options.target.selector);
        if (typed == nullptr || typed->kind() != DeviceSelector::Kind::description || options.target.plugin) {
            throw UsageError("--manager-path takes a JSON description and no plug-in");
        }
        print_stdout(detail::make_lock_id(*options.manager_path, typed->description()) + "\n");
        return;
    }
    auto const device = choose_device(options.target);
    auto const manager_path = manager_path_of(device);
    print_stdout(detail::make_lock_id(manager_path, nlohmann::json::parse(device.description)) + "\n");
}

int run_who(WhoOptions const& options) {
    auto const device = choose_device(options.target);
    auto const holder = explained("cannot look up the holder of " + device_name(device),
                                  [&] { return find_device_holder(*device.manager, device.description); });
    if (options.json) {
        print_stdout(json_text(holder_json(holder)));
    } else {
        print_stdout(holder ? escaped(holder_text(holder)) + "\n" : "free\n");
    }
    return holder ? 0 : 1;
}

}  // namespace zelm::tool
