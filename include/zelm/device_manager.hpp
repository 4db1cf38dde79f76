// The manager interface that each device-family plug-in implements, the
// plug-in entry point, and the loader that turns a plug-in file into its one
// shared manager.
//
// The library's few diagnostics (a plug-in skipped by a scan, a device query
// that failed) go to spdlog's process-wide default logger, which writes to
// standard output unless the host replaces it; see <zelm/scan.hpp>.
//
// The virtual slot order is part of the binary interface between the library
// and separately built plug-ins: never reorder, insert or remove a slot.
#pragma once

#include <zelm/device.hpp>
#include <zelm/export.hpp>

#include <filesystem>
#include <memory>
#include <string>

namespace zelm {

class ManagedDevice;  // <zelm/managed_device.hpp>

// A device family's manager. Made by the plug-in's create_manager and owned,
// once loaded, through std::shared_ptr handles: the last handle's release
// deletes the manager and then unloads the plug-in.
class ZELM_API DeviceManager : public std::enable_shared_from_this<DeviceManager> {
public:
    virtual ~DeviceManager() = default;

    // The device family's display name, for tools.
    virtual std::string get_name() = 0;
    // The path that identifies this manager. It is part of every device's lock
    // identity, so it must be the same on every call and in every process.
    virtual std::filesystem::path get_path() = 0;
    // The devices this manager sees, as JSON text: an array of descriptions,
    // an object whose member values are descriptions, null (none), or one
    // single description. A description must list the same device with the
    // same member values every time, in every process.
    virtual std::string list_devices() = 0;
    // The plug-in's version text, for tools.
    virtual std::string get_version() = 0;
    // Opens the device that `description` (compact JSON text of one listed
    // description) names. Returns a device or throws; never an empty handle.
    virtual std::unique_ptr<Device> open_device(std::string const& description) = 0;

    // Wraps `device`, opened by this manager from `description`, in a device
    // that owns it across processes for as long as it lives and keeps this
    // manager (and its plug-in) loaded. An empty `description` takes no lock.
    // Throws (the device passed in is then destroyed):
    // - std::bad_weak_ptr when this manager is not owned by a shared handle;
    // - zelm::DeviceOccupiedError (<zelm/owner.hpp>), a std::runtime_error
    //   "Device is already occupied", when another owner, in any process,
    //   holds the device;
    // - std::runtime_error "Lock directory <path> is not safe: <reason>;
    //   <how to fix it>" when the lock directory is refused (another user
    //   owns it, or others may write to it but it is not sticky);
    // - std::runtime_error "Cannot open device lock file: <path>: <reason>"
    //   when the device's lock file cannot be opened safely;
    // - nlohmann::json::parse_error when `description` is not JSON;
    // - std::filesystem::filesystem_error when the system temporary
    //   directory cannot be determined;
    // - whatever get_path() throws.
    std::unique_ptr<Device> manage_device(std::unique_ptr<Device> device, std::string const& description);

    // Owns, then opens, the device that `description` (the JSON text of one
    // listed description, in any spacing or member order) names: takes the
    // device's ownership lock first and only then calls open_device with the
    // description's compact text, so that nobody ever opens a device that
    // another owner holds. The device is owned, across processes, for as long
    // as the result lives (include <zelm/managed_device.hpp> to use it).
    // Throws, holding nothing and having opened nothing unless said:
    // - nlohmann::json::parse_error when `description` is not JSON (the empty
    //   text included) or nests too deeply;
    // - std::bad_weak_ptr when this manager is not owned by a shared handle;
    // - zelm::DeviceOccupiedError (<zelm/owner.hpp>), a std::runtime_error
    //   "Device is already occupied", when another owner, in any process,
    //   holds the device (open_device is not called);
    // - zelm::UnsafeLockDirectoryError "Lock directory <path> is not safe:
    //   <reason>; <how to fix it>" or zelm::LockFileError "Cannot open device
    //   lock file: <path>: <reason>" (<zelm/errors.hpp>, both
    //   std::runtime_error) when the lock cannot be taken safely;
    // - std::runtime_error "Device Manager returned no device: <description>"
    //   when open_device returns an empty handle;
    // - std::filesystem::filesystem_error when the system temporary
    //   directory cannot be determined;
    // - whatever get_path() and open_device() throw (the lock is released).
    std::unique_ptr<ManagedDevice> open_managed_device(std::string const& description);
};

// Returns the one live manager of the plug-in file at `path` (absolute or
// relative, possibly through symbolic links), loading the plug-in and calling
// its create_manager when no live manager of that file exists.
// Throws zelm::PluginLoadError (<zelm/errors.hpp>, a std::runtime_error
// carrying the path and the reason) with one of:
// - "Device Manager not found: <path>" (the path as passed);
// - "Not a regular file: <path>" (the path as passed);
// - "Failed to load library: <canonical path> [dlerror]: <reason>";
// - "Device Manager missing create_manager: <canonical path>";
// - "Device Manager ABI mismatch: <canonical path> (plug-in <tag>, library
//   <tag>)" when the plug-in was built against another interface version or
//   standard library ABI (see ZELM_ABI_TAG);
// - "Failed to create manager: <canonical path> <reason>" when
//   create_manager throws a standard exception or returns no manager;
// std::filesystem::filesystem_error when the path cannot be resolved for
// another reason; and any non-standard exception of create_manager unchanged.
ZELM_API std::shared_ptr<DeviceManager> get_device_manager(std::filesystem::path const& path);

namespace detail {
// The deepest nesting the library reads in JSON from outside (device lists
// and descriptions, devices' answers, cache files): deeper text is refused,
// since reading, writing or comparing a value recurses once per level. Hosts
// that build descriptions apply the same bound.
inline constexpr int max_json_depth = 128;
}  // namespace detail

}  // namespace zelm

// The version of the plug-in interface: the virtual slots of DeviceManager and
// Device and the types they pass. Raised whenever any of them changes.
#define ZELM_INTERFACE_VERSION 1

#define ZELM_STRINGIFY_VALUE(value) #value
#define ZELM_STRINGIFY(value) ZELM_STRINGIFY_VALUE(value)

// What a plug-in must share with the library to be called safely: the
// interface version and the standard library's string and list ABI.
#define ZELM_ABI_TAG                                                   \
    "zelm-interface-" ZELM_STRINGIFY(ZELM_INTERFACE_VERSION) "/libstdc++-cxx11-abi-" \
        ZELM_STRINGIFY(_GLIBCXX_USE_CXX11_ABI)

// Put before a plug-in's definition of create_manager to export it, together
// with the plug-in's ABI tag, which the loader compares with its own before
// calling into the plug-in:
//   ZELM_PLUGIN_ENTRY zelm::DeviceManager* create_manager() { return new MyManager; }
// The tag has a section of its own because AddressSanitizer leaves such data
// alone: every plug-in exports this one name, and it would otherwise report
// any two plug-ins loaded at once as a violation of the one-definition rule.
#define ZELM_PLUGIN_ENTRY                                                                             \
    extern "C" ZELM_API __attribute__((section(".rodata.zelm_plugin_abi_tag"))) char const zelm_plugin_abi_tag[] = \
        ZELM_ABI_TAG;                                                                                 \
    extern "C" ZELM_API

// The plug-in entry point: returns a new manager made with `new`, whose
// ownership passes to the library; reports failure by throwing a standard
// exception. Called whenever a process needs the plug-in's manager and none
// lives (normally once per load; again in the still-loaded library when a new
// manager is wanted while the previous one's destructor runs on another
// thread), under the loader's lock, so it must not call get_device_manager.
extern "C" ZELM_API zelm::DeviceManager* create_manager();

// A plug-in's ABI tag, defined by ZELM_PLUGIN_ENTRY. Plug-ins without it load
// unchecked.
extern "C" ZELM_API char const zelm_plugin_abi_tag[];
