// get_device_manager: one live manager per plug-in file per process.
//
// The cache holds weak references only, so it never keeps a plug-in loaded;
// the manager's deleter deletes the manager and then closes the library,
// since the destructor's code lives in that library. A manager whose last
// handle is gone is still being deleted for a moment; a load of the same file
// waits for that to end, so that create_manager never meets the previous
// manager's destructor and runs once per load of the library.
#include <zelm/device_manager.hpp>

#include <dlfcn.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <fmt/format.h>

#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

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

// What the loader knows of one plug-in file: its manager, while it lives,
// and whether that manager has since been deleted and its library closed.
struct LoadedPlugin {
    std::weak_ptr<DeviceManager> manager;
    std::shared_ptr<bool> unloaded;  // none before the first load
};

struct Loader {
    // Guards `plugins` and every `unloaded` flag, and serialises every load,
    // create_manager included. Recursive, since a manager may be released
    // (and so its deleter run) while a load holds it.
    std::recursive_mutex mutex;
    std::condition_variable_any unloaded;
    std::unordered_map<std::string, LoadedPlugin> plugins;
};

// Never destroyed: a host may drop its last manager at exit, after this
// library's statics are gone.
Loader& loader() {
    static Loader* const instance = std::make_unique<Loader>().release();
    return *instance;
}

// Owns a manager together with the library its code lives in.
struct ManagerDeleter {
    void* library;
    std::shared_ptr<bool> unloaded;

    void operator()(DeviceManager* manager) const {
        delete manager;  // before dlclose: the destructor is plug-in code
        if (library != nullptr) {
            report_leaks_while_loaded();
            dlclose(library);
        }
        auto& state = loader();
        {
            std::lock_guard guard(state.mutex);
            *unloaded = true;
        }
        state.unloaded.notify_all();
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
std::shared_ptr<DeviceManager> create(CreateManager entry, LibraryHandle& library, std::string const& canonical,
                                      std::shared_ptr<bool> const& unloaded) {
    try {
        std::unique_ptr<DeviceManager> manager(entry());
        if (manager == nullptr) {
            throw std::runtime_error("create_manager returned no manager");
        }
        // From here the deleter alone releases both, also if the handle's
        // allocation fails.
        auto* raw = manager.release();
        return std::shared_ptr<DeviceManager>(raw, ManagerDeleter{library.release(), unloaded});
    } catch (std::exception const& e) {
        throw std::runtime_error("Failed to create manager: " + canonical + " " + e.what());
    }
}

}  // namespace

std::shared_ptr<DeviceManager> get_device_manager(std::filesystem::path const& path) {
    auto const canonical = checked_canonical(path).native();

    auto& state = loader();
    std::unique_lock lock(state.mutex);
    LoadedPlugin* plugin = nullptr;
    std::shared_ptr<bool> unloaded;
    try {
        plugin = &state.plugins[canonical];
        unloaded = std::make_shared<bool>(false);
    } catch (std::exception const& e) {
        throw std::runtime_error("Failed to create manager: " + canonical + " " + e.what());
    }
    for (;;) {
        if (auto manager = plugin->manager.lock()) {
            return manager;
        }
        if (!plugin->unloaded || *plugin->unloaded) {
            break;
        }
        state.unloaded.wait(lock);
    }

    auto library = open_library(canonical);
    check_abi_tag(library, canonical);
    auto const entry = find_entry_point(library, canonical);
    auto manager = create(entry, library, canonical, unloaded);
    *plugin = LoadedPlugin{manager, std::move(unloaded)};
    return manager;
}

}  // namespace zelm
