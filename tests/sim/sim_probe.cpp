// A second process for the simulated family's tests: loads the plug-in on its
// own and reports what it sees there.
//   sim_probe path PLUGIN                 prints the manager's get_path
//   sim_probe open PLUGIN DESCRIPTION N   opens (and closes) the device N times
// Exit status 0 on success, 1 with a message on standard error otherwise.
#include <zelm/device_manager.hpp>

#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>

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
        std::cerr << "usage: sim_probe path PLUGIN | sim_probe open PLUGIN DESCRIPTION N\n";
        return 2;
    } catch (std::exception const& error) {
        std::cerr << "sim_probe: " << error.what() << '\n';
        return 1;
    }
}
