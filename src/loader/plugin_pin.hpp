// Keeping a plug-in loaded for as long as an exception thrown by it may live.
//
// An exception whose type the plug-in defined carries the plug-in's type
// information and destructor (and, for a std::exception subclass, its
// what()). If the last manager handle goes while such an exception is in
// flight, the plug-in is unloaded under it and the host crashes when the
// exception is destroyed. Such a plug-in is therefore pinned: it stays loaded
// until the process ends.
#pragma once

#include <zelm/device_manager.hpp>

#include <utility>

namespace zelm::detail {

// Called inside a catch handler. Pins the library that contains
// `address_in_plugin` unless the exception being handled is a
// std::exception whose type the standard library itself defines.
void pin_plugin_for_current_exception(void const* address_in_plugin) noexcept;

// The same for the plug-in that made `manager`.
void pin_plugin_for_current_exception(DeviceManager const& manager) noexcept;

// Calls `call` and returns its result; should it throw, pins the plug-in of
// `manager` before the exception passes on unchanged. Costs nothing unless
// something is thrown.
template <typename Call>
decltype(auto) pinning_on_exception(DeviceManager const& manager, Call&& call) {
    try {
        return std::forward<Call>(call)();
    } catch (...) {
        pin_plugin_for_current_exception(manager);
        throw;
    }
}

}  // namespace zelm::detail
