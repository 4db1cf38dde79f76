// The device family of the capability test plug-ins: a manager that lists
// one lab-wide device and one local one. The standalone plug-ins compile it
// in; the shim plug-ins link it as a shared library of its own
// (CAPABILITY_FAMILY_SHARED), so that the manager's type, and with it its
// type information, lives outside the plug-in file, as it does for a plug-in
// that is a thin layer over a family's library.
#pragma once

#include <zelm/device_manager.hpp>

#if defined(CAPABILITY_FAMILY_SHARED)
#define CAPABILITY_FAMILY_API __attribute__((visibility("default")))
#else
#define CAPABILITY_FAMILY_API
#endif

namespace capability_test {

inline constexpr char const* lab_device = R"({"lab":true,"n":1})";
inline constexpr char const* local_device = R"({"n":2})";

class CAPABILITY_FAMILY_API CapabilityManager : public zelm::DeviceManager {
public:
    ~CapabilityManager() override;
    std::string get_name() override;
    std::filesystem::path get_path() override;
    std::string list_devices() override;
    std::string get_version() override;
    std::unique_ptr<zelm::Device> open_device(std::string const& description) override;
};

// Lab-wide: the device whose description holds "lab":true.
CAPABILITY_FAMILY_API int lab_by_description(zelm::DeviceManager* manager, char const* description) noexcept;

}  // namespace capability_test
