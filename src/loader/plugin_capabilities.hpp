// A plug-in's capabilities: read from its table once, when the loader loads
// it, and kept with the manager it makes (in the manager's deleter, beside
// the library handle), so that asking costs no symbol lookup.
#pragma once

#include <zelm/device_manager.hpp>
#include <zelm/plugin_capabilities.hpp>

#include <expected>
#include <string>

namespace zelm::detail {

using LabWideQuery = decltype(zelm_plugin_capability_table::is_lab_wide);

// What the library uses of a capability table. Empty: no capabilities.
struct PluginCapabilities {
    LabWideQuery is_lab_wide = nullptr;
};

// The capabilities in `table` (the rules of <zelm/plugin_capabilities.hpp>),
// or why the table is broken. Never throws but std::bad_alloc.
std::expected<PluginCapabilities, std::string> capabilities_in(zelm_plugin_capability_table const& table);

// The capabilities of the plug-in that `library` (a dlopen handle) opened:
// its table; for a plug-in built before tables, its function
// zelm_is_lab_wide (<zelm/cluster.hpp>); else none. Only the plug-in's own
// definitions count, not those of the libraries it links. An error says why
// its table is ignored. Never throws but std::bad_alloc.
std::expected<PluginCapabilities, std::string> read_plugin_capabilities(void* library);

// The capabilities kept with `manager` when get_device_manager made it; none
// for a manager made any other way (a host's own, even of a plug-in's type)
// or no longer owned by a shared handle. Valid while the manager lives.
// Never throws.
PluginCapabilities plugin_capabilities_of(DeviceManager const& manager) noexcept;

}  // namespace zelm::detail
