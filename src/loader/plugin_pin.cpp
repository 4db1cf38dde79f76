#include "loader/plugin_pin.hpp"

#include <cxxabi.h>
#include <dlfcn.h>

#include <exception>
#include <typeinfo>

namespace zelm::detail {
namespace {

// The base address of the loaded object that contains `address`, or null.
void* object_containing(void const* address) noexcept {
    Dl_info info{};
    return dladdr(address, &info) != 0 ? info.dli_fbase : nullptr;
}

// Whether the exception being handled can outlive every plug-in: a
// std::exception whose type information lives in the standard library, as
// std::runtime_error's does. A std::exception subclass of a plug-in's own
// (or of a library the plug-in brought in) needs that code when it is read
// or destroyed, and so does any type outside the std::exception family.
bool exception_outlives_plugins() noexcept {
    try {
        throw;
    } catch (std::exception const&) {
        auto const* type = abi::__cxa_current_exception_type();
        auto const* standard = object_containing(&typeid(std::exception));
        return type != nullptr && standard != nullptr && object_containing(type) == standard;
    } catch (...) {
        return false;
    }
}

// Marks the library as never to be unloaded; the extra reference taken for
// that is given back at once.
void pin_library_containing(void const* address) noexcept {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
        return;
    }
    if (void* handle = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE)) {
        dlclose(handle);
    }
}

}  // namespace

void pin_plugin_for_current_exception(void const* address_in_plugin) noexcept {
    if (!exception_outlives_plugins()) {
        pin_library_containing(address_in_plugin);
    }
}

void pin_plugin_for_current_exception(DeviceManager const& manager) noexcept {
    // The manager's dynamic type, and so its type information, is the
    // plug-in's own.
    pin_plugin_for_current_exception(&typeid(manager));
}

}  // namespace zelm::detail
