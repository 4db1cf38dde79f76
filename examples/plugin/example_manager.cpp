// The example family's manager and the plug-in's entry point.
//
// The manager holds nothing that changes after construction, so the library
// may call it from several threads at once without locks.
#include "counter_device.hpp"

#include <zelm/device_manager.hpp>
#include <zelm/plugin/bounded_json.hpp>

#include <nlohmann/json.hpp>

#include <stdexcept>

namespace example {
namespace {

using nlohmann::json;

// The devices this family sees. A real manager would enumerate its bus; what
// matters is that each description holds only values that name the device
// and never change (a serial number, not a port that is renumbered at boot).
json const devices = json::array({
    {{"family", "example"}, {"serial", "EX-0001"}},
    {{"family", "example"}, {"serial", "EX-0002"}},
});

class ExampleManager : public zelm::DeviceManager {
public:
    std::string get_name() override { return "Example counters"; }

    // Part of every device's lock identity: the same text in every process
    // and whichever copy of the plug-in file is loaded, so that two copies
    // driving the same hardware still exclude each other.
    std::filesystem::path get_path() override { return "zelm-example/counters"; }

    std::string list_devices() override { return devices.dump(); }

    std::string get_version() override { return "1.0.0"; }

    // Opens only by a listed description's compact text, never by JSON value
    // equality ({"n":7} equals {"n":7.0}): the library owns a device under
    // that text, and a second text that opened it would give it a second owner.
    // A host may pass any text: it is read within the library's bounds.
    std::unique_ptr<zelm::Device> open_device(std::string const& description) override {
        auto const parsed = zelm::plugin::parse_bounded(description);
        if (!parsed) {
            throw std::runtime_error("example: not a device description (JSON within bounds): " + description);
        }
        auto const wanted = parsed->dump();
        for (auto const& device : devices) {
            if (device.dump() == wanted) {
                return std::make_unique<CounterDevice>(device.at("serial").get<std::string>());
            }
        }
        throw std::runtime_error("example: no such device: " + wanted);
    }
};

}  // namespace
}  // namespace example

// The library deletes the manager, then unloads this file.
ZELM_PLUGIN_ENTRY zelm::DeviceManager* create_manager() { return new example::ExampleManager; }
