// Opening one device for the device commands: through its plug-in's manager
// and into the library's ownership, so that the tool never touches a device
// that another process owns.
#pragma once

#include "commands.hpp"

#include <zelm/device.hpp>
#include <zelm/device_manager.hpp>

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

// The device that a target names: its plug-in file, the plug-in's loaded
// manager and the description as the plug-in lists it.
struct ChosenDevice {
    std::filesystem::path plugin;
    std::shared_ptr<DeviceManager> manager;
    nlohmann::json description;
};

// Finds the one device that `target` names (see parse_selector and
// matching) among the devices listed by its plug-in, or by every plug-in of
// the plug-in directory when it names none; in that case a plug-in that does
// not load or list is left out with a warning. Lists the devices, and scans
// them only for a serial number; takes the row of "@N" from the last scan's
// table. Throws UsageError when no device, or more than one, matches
// (AmbiguousSelector), or when "@N" names no current row; IncompleteSearch
// when none matches while devices could not be queried (a failed query, or
// lock files that cannot be used, as owning such a device tells) or plug-ins
// were left out; otherwise std::runtime_error naming the step that failed
// and why.
ChosenDevice choose_device(DeviceTarget const& target);

// "device <listed description> (<plug-in file name>)", as messages name it.
std::string device_name(ChosenDevice const& device);

// An owned device and the name the tool's messages give it.
struct DeviceSession {
    std::string name;  // "device <listed description> (<plug-in file name>)"
    std::unique_ptr<Device> device;
};

// A lab-wide device that a process on another host (or one in the cluster
// here) owns: its key in the cluster, not only a lock on this machine, keeps
// it. `hold --wait` waits on the key.
class HeldElsewhere : public OccupiedError {
public:
    using OccupiedError::OccupiedError;
};

// Owns, then opens, the chosen device through the library's
// open_managed_device. Throws HeldElsewhere when the cluster names another
// holder of a lab-wide device, OccupiedError when another process here holds
// it, std::runtime_error "cannot own <device>: Cluster unavailable: ..." when
// the cluster cannot answer; otherwise std::runtime_error naming the step
// that failed and why.
DeviceSession open_chosen_device(ChosenDevice const& chosen);

// Chooses the device (see choose_device) and owns, then opens, it through the
// library's open_managed_device, so that nothing is opened while another
// process owns it. Throws what choose_device throws; OccupiedError when
// another process owns the device, for example "cannot own device {...}
// (sim_manager.so): Device is already occupied by process 4242 (zelm)" (the
// holder is named when it can be identified, with its host in a cluster);
// otherwise what open_chosen_device throws.
DeviceSession open_managed_device(DeviceTarget const& target);

}  // namespace zelm::tool
