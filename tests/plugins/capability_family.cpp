#include "capability_family.hpp"

#include <cstring>
#include <stdexcept>

#if defined(CAPABILITY_FAMILY_SHARED)
#include <zelm/plugin_capabilities.hpp>
#endif

namespace capability_test {

CapabilityManager::~CapabilityManager() = default;
std::string CapabilityManager::get_name() { return "capabilities"; }
std::filesystem::path CapabilityManager::get_path() { return "zelm-test/capabilities"; }
std::string CapabilityManager::list_devices() { return std::string("[") + lab_device + "," + local_device + "]"; }
std::string CapabilityManager::get_version() { return "1"; }
std::unique_ptr<zelm::Device> CapabilityManager::open_device(std::string const& description) {
    throw std::runtime_error("capabilities: devices are never opened: " + description);
}

int lab_by_description(zelm::DeviceManager*, char const* description) noexcept {
    return std::strstr(description, R"("lab":true)") != nullptr ? 1 : 0;
}

}  // namespace capability_test

#if defined(CAPABILITY_FAMILY_SHARED)
namespace {
int every_device(zelm::DeviceManager*, char const*) noexcept { return 1; }
}  // namespace

// The family library's own table, calling every device lab-wide: it is not
// the plug-in's, so the library must never use it for a plug-in that links
// this library.
ZELM_PLUGIN_CAPABILITIES{.is_lab_wide = &every_device};
#endif
