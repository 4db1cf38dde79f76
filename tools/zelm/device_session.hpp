// Choosing and opening one device for the device commands: the library's
// selection (select_device), or the tool's row of the last scan, then the
// library's ownership, so that the tool never touches a device that another
// process owns.
#pragma once

#include "commands.hpp"

#include <zelm/device.hpp>
#include <zelm/holder.hpp>
#include <zelm/select.hpp>

#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace zelm::tool {

// Runs `action`, turning a standard exception into one that says what was
// being done: the tool's error lines name the failed step, not only the
// cause. The cause stays nested in it, so that its type still decides the
// exit status (exit_status.hpp).
template <typename Action>
auto explained(std::string const& doing, Action&& action) {
    try {
        return action();
    } catch (std::exception const& e) {
        std::throw_with_nested(std::runtime_error(doing + ": " + e.what()));
    }
}

// Finds the one device that `target` names: the row of "@N" in the last
// scan's table, else the library's select_device among the devices of its
// plug-in, or of every plug-in of the plug-in directory when it names none (a
// plug-in there that cannot be searched is left out, and named when nothing
// matches). Throws UsageError when "@N" names no current row; what
// select_device throws (NoMatchingDeviceError, AmbiguousSelectorError, ...),
// except that a plug-in that does not load is "cannot load plug-in <path>:
// <reason>" (PluginLoadError nested); std::runtime_error naming the plug-in
// directory when it cannot be listed.
SelectedDevice choose_device(DeviceTarget const& target);

// "device <listed description> (<plug-in file name>)", as messages name it.
std::string device_name(SelectedDevice const& device);

// An owned device and the name the tool's messages give it.
struct DeviceSession {
    std::string name;  // "device <listed description> (<plug-in file name>)"
    std::unique_ptr<Device> device;
};

// Another process owns the device, here or on another host: "cannot own
// <device>: Device is already occupied by process 4242 (zelm)", with the
// library's DeviceOccupiedError nested. `hold --wait` waits on the holder it
// names: on a lab-wide holder's key in the cluster.
class OccupiedError : public std::runtime_error {
public:
    OccupiedError(std::string const& message, std::optional<DeviceHolder> holder)
        : std::runtime_error(message), holder_(std::move(holder)) {}
    std::optional<DeviceHolder> const& holder() const noexcept { return holder_; }

private:
    std::optional<DeviceHolder> holder_;
};

// Owns, then opens, the chosen device through the library's
// open_managed_device. Throws OccupiedError when another process holds it;
// otherwise std::runtime_error "cannot own <device>: ..." when its ownership
// could not be taken (its lock cannot be used, the cluster cannot answer) or
// "cannot open <device>: ..." when it did not open, with the library's
// exception nested.
DeviceSession open_chosen_device(SelectedDevice const& chosen);

// choose_device, then open_chosen_device.
DeviceSession open_managed_device(DeviceTarget const& target);

}  // namespace zelm::tool
