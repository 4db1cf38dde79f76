// get_device_manager: one live manager per plug-in file per process.
//
// The cache holds weak references only, so it never keeps a plug-in loaded;
// the manager's deleter deletes the manager and then closes the library,
// since the destructor's code lives in that library. The deleter takes no
// lock: a load of the same file while the old manager is still being deleted
// finds it gone and loads the plug-in anew, and the dynamic loader's
// reference count keeps the library mapped until both are done with it.
#include <zelm/device_manager.hpp>
#include <zelm/errors.hpp>

#include "loader/manager_cache.hpp"
#include "loader/plugin_capabilities.hpp"
#include "loader/plugin_pin.hpp"

#include <dlfcn.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zelm {
namespace {

// Under AddressSanitizer, looks for leaks now, while the plug-in about to be
// unloaded is still mapped: the check at exit could no longer name plug-in
// code in the leaks' stacks. A leak still fails the process at exit.
void report_leaks_while_loaded() {
#if defined(__SANITIZE_ADDRESS__)
    __lsan_do_recoverable_leak_check();
#endif
}

// Closes a dlopen handle unless released; a handle is closed exactly once.
struct LibraryCloser {
    void operator()(void* library) const {
        report_leaks_while_loaded();
        dlclose(library);
    }
};
using LibraryHandle = std::unique_ptr<void, LibraryCloser>;

// Owns a manager together with the library its code lives in, and keeps
// the plug-in's capabilities with them.
struct ManagerDeleter {
    void* library;
    detail::PluginCapabilities capabilities;

    void operator()(DeviceManager* manager) const {
        delete manager;  // before dlclose: the destructor is plug-in code
        if (library != nullptr) {
            LibraryCloser{}(library);
        }
    }
};

using CreateManager = DeviceManager* (*)();

std::filesystem::path checked_canonical(std::filesystem::path const& path) {
    auto const type = std::filesystem::status(path).type();
    if (type == std::filesystem::file_type::not_found || type == std::filesystem::file_type::none) {
        throw PluginLoadError("Device Manager not found: " + path.native(), path, "no such file");
    }
    auto canonical = std::filesystem::canonical(path);
    if (!std::filesystem::is_regular_file(std::filesystem::status(canonical))) {
        throw PluginLoadError("Not a regular file: " + path.native(), path, "not a regular file");
    }
    return canonical;
}

LibraryHandle open_library(std::string const& canonical) {
    dlerror();
    LibraryHandle library(dlopen(canonical.c_str(), RTLD_LAZY | RTLD_GLOBAL));
    if (library.get() == nullptr) {
        char const* reason = dlerror();
        std::string why = reason != nullptr ? reason : "";
        // Formatted first: the order in which arguments are evaluated is
        // unspecified, and the reason is moved away.
        auto const message = fmt::format("Failed to load library: {} [dlerror]: {}", canonical, why);
        throw PluginLoadError(message, canonical, std::move(why));
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
        auto why = fmt::format("built for another interface (plug-in {}, library {})", tag, ZELM_ABI_TAG);
        throw PluginLoadError(fmt::format("Device Manager ABI mismatch: {} (plug-in {}, library {})", canonical, tag,
                                          ZELM_ABI_TAG),
                              canonical, std::move(why));
    }
}

void* find_entry_point(LibraryHandle const& library, std::string const& canonical) {
    auto* symbol = dlsym(library.get(), "create_manager");
    if (symbol == nullptr) {
        throw PluginLoadError("Device Manager missing create_manager: " + canonical, canonical, "no create_manager");
    }
    return symbol;
}

// Calls the entry point, hands the library over to the manager's deleter and
// stores the manager in `cache`. A standard exception, or no manager, becomes
// "Failed to create manager" while the library is still loaded; `library`
// then closes it once. Any other exception passes through unchanged, and the
// plug-in, whose code the exception may need, stays loaded for good.
std::shared_ptr<DeviceManager> create(void* entry_point, LibraryHandle& library,
                                      detail::PluginCapabilities capabilities, std::string const& canonical,
                                      detail::ManagerCache& cache) {
    try {
        std::unique_ptr<DeviceManager> created(reinterpret_cast<CreateManager>(entry_point)());
        if (created == nullptr) {
            throw std::runtime_error("create_manager returned no manager");
        }
        // From here the deleter alone releases both, also if the handle's
        // allocation fails.
        std::shared_ptr<DeviceManager> manager(created.release(), ManagerDeleter{library.release(), capabilities});
        cache.store(canonical, manager);
        return manager;
    } catch (std::exception const& e) {
        throw PluginLoadError("Failed to create manager: " + canonical + " " + e.what(), canonical, e.what());
    } catch (...) {
        detail::pin_plugin_for_current_exception(entry_point);
        throw;
    }
}

struct Shared {
    std::shared_ptr<DeviceManager> manager;
    std::string ignored_capabilities;  // why the plug-in's table was ignored, if it was
};

// The live manager of the plug-in file `canonical`, loading the plug-in when
// there is none; under the loader's lock.
Shared shared_or_loaded(std::string const& canonical) {
    auto& loaded = detail::loaded_managers();
    std::lock_guard const lock(loaded.cache_mutex);
    if (auto manager = loaded.cache.lookup(canonical)) {
        return {std::move(manager), {}};
    }
    loaded.cache.erase(canonical);  // a manager that is gone, or being deleted right now
    auto library = open_library(canonical);
    check_abi_tag(library, canonical);
    auto* const entry_point = find_entry_point(library, canonical);
    auto const capabilities = detail::read_plugin_capabilities(library.get());
    return {create(entry_point, library, capabilities.value_or(detail::PluginCapabilities{}), canonical, loaded.cache),
            capabilities ? std::string() : capabilities.error()};
}

}  // namespace

std::shared_ptr<DeviceManager> get_device_manager(std::filesystem::path const& path) {
    auto const canonical = checked_canonical(path).native();
    auto [manager, ignored_capabilities] = shared_or_loaded(canonical);
    // Outside the loader's lock: a log sink may load plug-ins itself.
    if (!ignored_capabilities.empty()) {
        spdlog::warn("Device Manager capabilities ignored: {}: {}", canonical, ignored_capabilities);
    }
    return std::move(manager);
}

namespace detail {

PluginCapabilities plugin_capabilities_of(DeviceManager const& manager) noexcept {
    auto const* deleter = std::get_deleter<ManagerDeleter>(manager.weak_from_this().lock());
    return deleter != nullptr ? deleter->capabilities : PluginCapabilities{};
}

}  // namespace detail

}  // namespace zelm
