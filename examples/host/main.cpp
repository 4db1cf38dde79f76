// A minimal host: scans a plug-in directory and prints every device, then
// owns the first free device for a moment and shows that a scan now reports
// it occupied. Exits 1 when there is no free device to own, or when the
// owned device is not reported occupied.
#include <zelm/zelm.hpp>

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <iostream>
#include <variant>

namespace {

struct Printer {
    void operator()(zelm::DeviceFound const& found) const {
        std::cout << "  found     " << found.serial_number << "  api " << found.api << "  " << found.description
                  << "  (" << found.plugin_path << ")\n";
    }
    void operator()(zelm::DeviceOccupied const& occupied) const {
        std::cout << "  occupied  " << occupied.description << "  (" << occupied.plugin_path << ")\n";
    }
    void operator()(zelm::DeviceQueryFailed const& failed) const {
        std::cout << "  failed    " << failed.description << ": " << failed.error << "  (" << failed.plugin_path
                  << ")\n";
    }
};

void print(zelm::ScanResults const& results) {
    for (auto const& result : results) {
        std::visit(Printer{}, result);
    }
    std::cout << "  (" << results.size() << " devices)\n";
}

zelm::DeviceFound const* first_found(zelm::ScanResults const& results) {
    for (auto const& result : results) {
        if (auto const* found = std::get_if<zelm::DeviceFound>(&result)) {
            return found;
        }
    }
    return nullptr;
}

bool reported_occupied(zelm::ScanResults const& results, zelm::DeviceFound const& device) {
    return std::ranges::any_of(results, [&](zelm::ScanResult const& result) {
        auto const* occupied = std::get_if<zelm::DeviceOccupied>(&result);
        return occupied != nullptr && occupied->plugin_path == device.plugin_path &&
               occupied->description == device.description;
    });
}

int run(std::filesystem::path const& directory) {
    std::cout << "scan of " << directory.native() << ":\n";
    auto const results = zelm::scan_devices_dir(directory);
    print(results);

    auto const* const target = first_found(results);
    if (target == nullptr) {
        std::cerr << "example_host: no free device in " << directory.native() << '\n';
        return 1;
    }

    // Own the device the scan listed, then open it: `device` holds the
    // device's lock, machine-wide, until it is destroyed, and the device is
    // never opened while someone else owns it.
    auto manager = zelm::get_device_manager(target->plugin_path);
    auto device = manager->open_managed_device(target->description);
    auto const info = device->get_info();
    std::cout << "owning " << target->description << ": " << (info ? *info : "error: " + info.error()) << '\n';

    std::cout << "scan while owned:\n";
    auto const while_owned = zelm::scan_devices_dir(directory);
    print(while_owned);

    device.reset();
    std::cout << "released " << target->description << '\n';

    if (!reported_occupied(while_owned, *target)) {
        std::cerr << "example_host: the owned device was not reported occupied: " << target->description << '\n';
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: example_host PLUGIN_DIRECTORY\n";
        return 2;
    }
    // The library logs through spdlog's default logger, which writes to
    // standard output; a host whose standard output is data sends it elsewhere.
    spdlog::set_default_logger(spdlog::stderr_color_mt("zelm"));
    try {
        return run(argv[1]);
    } catch (std::exception const& e) {
        std::cerr << "example_host: " << e.what() << '\n';
        return 1;
    }
}
