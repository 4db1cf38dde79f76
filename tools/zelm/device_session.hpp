// Opening one device for the device commands: through its plug-in's manager
// and into the library's ownership, so that the tool never touches a device
// that another process owns.
#pragma once

#include "commands.hpp"

#include <zelm/device.hpp>

#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

namespace zelm::tool {

// Runs `action`, turning a standard exception into one that says what was
// being done: the tool's error lines name the failed step, not only the cause.
template <typename Action>
auto explained(std::string const& doing, Action&& action) {
    try {
        return action();
    } catch (std::exception const& e) {
        throw std::runtime_error(doing + ": " + e.what());
    }
}

// An owned device and the name the tool's messages give it.
struct DeviceSession {
    std::string name;  // "device <listed description> (<plug-in file name>)"
    std::unique_ptr<Device> device;
};

// Loads the plug-in, finds the listed description that the typed one names
// (see find_listed) and owns, then opens, that device through the library's
// open_managed_device, so that nothing is opened while another process owns
// it. Throws UsageError when no listed description, or more than one, matches;
// otherwise std::runtime_error naming the step that failed and why, for
// example "cannot own device {...} (sim_manager.so): Device is already
// occupied by process 4242 (zelm)" (the holder is named when it can be
// identified).
DeviceSession open_managed_device(DeviceTarget const& target);

}  // namespace zelm::tool
