// get_device_manager: one live manager per plug-in file per process.
//
// The cache holds weak references only, so it never keeps a plug-in loaded;
// the manager's deleter deletes the manager and then closes the library,
// since the destructor's code lives in that library.
#include <zelm/device_manager.hpp>

#include <dlfcn.h>

#include <fmt/format.h>

#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

namespace zelm {
namespace {

// Closes a dlopen handle unless released; a handle is closed exactly once.
struct LibraryCloser {
    void operator()(void* library) const { dlclose(library); }
};
using LibraryHandle = std::unique_ptr<void, LibraryCloser>;

// Owns a manager together with the library its code lives in.
struct ManagerDeleter {
    void* library;

    void operator()(DeviceManager* manager) const {
        delete manager;  // before dlclose: the destructor is plug-in code
        if (library != nullptr) {
            dlclose(library);
        }
    }
};

using CreateManager = DeviceManager* (*)();

std::filesystem::path checked_canonical(std::filesystem::path const& path) {
    auto const type = std::filesystem::status(path).type();
    if (type == std::filesystem::file_type::not_found || type == std::filesystem::file_type::none) {
        throw std::runtime_error("Device Manager not found: " + path.native());
    }
    auto canonical = std::filesystem::canonical(path);
    if (!std::filesystem::is_regular_file(std::filesystem::status(canonical))) {
        throw std::runtime_error("Not a regular file: " + path.native());
    }
    return canonical;
}

LibraryHandle open_library(std::string const& canonical) {
    dlerror();
    LibraryHandle library(dlopen(canonical.c_str(), RTLD_LAZY | RTLD_GLOBAL));
    if (library.get() == nullptr) {
        char const* reason = dlerror();
        throw std::runtime_error(
            fmt::format("Failed to load library: {} [dlerror]: {}", canonical, reason != nullptr ? reason : ""));
    }
    return library;
}

// A plug-in built with the export macro carries its ABI tag; one built
// against other headers or another standard library would crash at its first
// call, so it is refused before any of its code runs. An untagged plug-in
// loads unchecked.
void check_abi_tag(LibraryHandle const& library, std::string const& canonical) {
    auto const* tag = static_cast<char const*>(dlsym(library.get(), "zelm_plugin_abi_tag"));
    if (tag != nullptr && std::string_view(tag) != ZELM_ABI_TAG) {
        throw std::runtime_error(fmt::format("Device Manager ABI mismatch: {} (plug-in {}, library {})", canonical,
                                             tag, ZELM_ABI_TAG));
    }
}

CreateManager find_entry_point(LibraryHandle const& library, std::string const& canonical) {
    auto* symbol = dlsym(library.get(), "create_manager");
    if (symbol == nullptr) {
        throw std::runtime_error("Device Manager missing create_manager: " + canonical);
    }
    return reinterpret_cast<CreateManager>(symbol);
}

// Calls the entry point and hands the library over to the manager's deleter.
// A standard exception, or no manager, becomes "Failed to create manager";
// the library is then closed once, by `library`. Other exceptions pass
// through unchanged, also closing the library.
std::shared_ptr<DeviceManager> create(CreateManager entry, LibraryHandle& library, std::string const& canonical) {
    try {
        std::unique_ptr<DeviceManager> manager(entry());
        if (manager == nullptr) {
            throw std::runtime_error("create_manager returned no manager");
        }
        // From here the deleter alone releases both, also if the handle's
        // allocation fails.
        auto* raw = manager.release();
        return std::shared_ptr<DeviceManager>(raw, ManagerDeleter{library.release()});
    } catch (std::exception const& e) {
        throw std::runtime_error("Failed to create manager: " + canonical + " " + e.what());
    }
}

}  // namespace

std::shared_ptr<DeviceManager> get_device_manager(std::filesystem::path const& path) {
    auto const canonical = checked_canonical(path).native();

    // Guards `cache` and serialises every load, create_manager included.
    static std::mutex cache_mutex;
    static std::unordered_map<std::string, std::weak_ptr<DeviceManager>> cache;
    std::lock_guard guard(cache_mutex);

    if (auto found = cache.find(canonical); found != cache.end()) {
        if (auto manager = found->second.lock()) {
            return manager;
        }
        cache.erase(found);
    }

    auto library = open_library(canonical);
    check_abi_tag(library, canonical);
    auto const entry = find_entry_point(library, canonical);
    auto manager = create(entry, library, canonical);
    try {
        cache[canonical] = manager;
    } catch (std::exception const& e) {
        throw std::runtime_error("Failed to create manager: " + canonical + " " + e.what());
    }
    return manager;
}

}  // namespace zelm
