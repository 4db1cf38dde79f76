// A second process for the simulated family's tests: loads the plug-in on its
// own and reports what it sees there.
//   sim_probe path PLUGIN                 prints the manager's get_path
//   sim_probe open PLUGIN DESCRIPTION N   opens (and closes) the device N times
//   sim_probe device PLUGIN DESCRIPTION STEP...
//                                         opens the device and runs the steps on it:
//                                         set:A=V (register A to V), write:A=B (byte B
//                                         at memory address A), get:A (prints "register
//                                         A V"), read:A (prints "memory A B"), reopen
//                                         (closes the device and opens it again)
// Exit status 0 on success, 1 with a message on standard error otherwise.
#include <zelm/device_manager.hpp>

#include <cstdlib>
#include <exception>
#include <functional>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

int print_path(std::string const& plugin) {
    std::cout << zelm::get_device_manager(plugin)->get_path().native() << '\n';
    return 0;
}

int open_times(std::string const& plugin, std::string const& description, int times) {
    auto const manager = zelm::get_device_manager(plugin);
    for (int i = 0; i < times; ++i) {
        manager->open_device(description);
    }
    return 0;
}

// "A=V" or "A": the numbers of a step.
std::pair<unsigned int, unsigned int> step_numbers(std::string_view text) {
    auto const equals = text.find('=');
    auto const number = [](std::string_view digits) {
        return static_cast<unsigned int>(std::stoul(std::string(digits)));
    };
    return {number(text.substr(0, equals)), equals == text.npos ? 0 : number(text.substr(equals + 1))};
}

void run_step(std::unique_ptr<zelm::Device>& device, std::function<std::unique_ptr<zelm::Device>()> const& open,
              std::string_view step) {
    auto const colon = step.find(':');
    auto const action = step.substr(0, colon);
    auto const [address, value] = colon == step.npos ? std::pair(0U, 0U) : step_numbers(step.substr(colon + 1));
    if (action == "set" && device->set_register_sync(address, value, 0) == 0) {
        return;
    }
    auto const byte = static_cast<unsigned char>(value);
    if (action == "write" && device->write(address, 1, &byte) == 0) {
        return;
    }
    if (action == "get") {
        std::cout << "register " << address << ' ' << device->get_register_sync(address).value() << std::endl;
        return;
    }
    unsigned char read_back = 0;
    if (action == "read" && device->read(address, 1, &read_back) == 0) {
        std::cout << "memory " << address << ' ' << static_cast<unsigned int>(read_back) << std::endl;
        return;
    }
    if (action == "reopen") {
        device.reset();
        device = open();
        return;
    }
    throw std::runtime_error("step failed: " + std::string(step));
}

int run_steps(std::string const& plugin, std::string const& description, std::vector<std::string_view> const& steps) {
    auto const manager = zelm::get_device_manager(plugin);
    auto const open = [&] { return manager->open_device(description); };
    auto device = open();
    for (auto const step : steps) {
        run_step(device, open, step);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        std::string_view const command = argc > 1 ? argv[1] : "";
        if (command == "path" && argc == 3) {
            return print_path(argv[2]);
        }
        if (command == "open" && argc == 5) {
            return open_times(argv[2], argv[3], std::atoi(argv[4]));
        }
        if (command == "device" && argc >= 4) {
            return run_steps(argv[2], argv[3], std::vector<std::string_view>(argv + 4, argv + argc));
        }
        std::cerr << "usage: sim_probe path PLUGIN | sim_probe open PLUGIN DESCRIPTION N"
                     " | sim_probe device PLUGIN DESCRIPTION STEP...\n";
        return 2;
    } catch (std::exception const& error) {
        std::cerr << "sim_probe: " << error.what() << '\n';
        return 1;
    }
}
