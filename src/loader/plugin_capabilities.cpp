#include "loader/plugin_capabilities.hpp"

#include <dlfcn.h>
#include <link.h>

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstddef>

namespace zelm::detail {
namespace {

// Index v: the bytes that a table of version v needs, its header and the
// members of versions 1 to v. A new member needs an entry here.
constexpr std::array<std::size_t, ZELM_PLUGIN_CAPABILITIES_VERSION + 1> size_of_version{
    offsetof(zelm_plugin_capability_table, is_lab_wide),
    offsetof(zelm_plugin_capability_table, is_lab_wide) + sizeof(LabWideQuery),
};
static_assert(size_of_version.back() == sizeof(zelm_plugin_capability_table));

// `name` as defined by the object that `library` opened itself; null when
// only a library that it links defines it (dlsym searches those too), or
// nothing does.
void* own_symbol(void* library, char const* name) noexcept {
    void* const symbol = dlsym(library, name);
    link_map* own = nullptr;
    link_map* defining = nullptr;
    Dl_info info{};
    if (symbol == nullptr || dlinfo(library, RTLD_DI_LINKMAP, &own) != 0 ||
        dladdr1(symbol, &info, reinterpret_cast<void**>(&defining), RTLD_DL_LINKMAP) == 0) {
        return nullptr;
    }
    return defining == own ? symbol : nullptr;
}

}  // namespace

std::expected<PluginCapabilities, std::string> capabilities_in(zelm_plugin_capability_table const& table) {
    if (table.version == 0) {
        return std::unexpected(std::string("table of version 0"));
    }
    auto const known = std::min<std::size_t>(table.version, ZELM_PLUGIN_CAPABILITIES_VERSION);
    if (table.size < size_of_version[known]) {
        return std::unexpected(fmt::format("table of {} bytes, version {} needs at least {}", table.size,
                                           table.version, size_of_version[known]));
    }
    return PluginCapabilities{.is_lab_wide = table.is_lab_wide};
}

std::expected<PluginCapabilities, std::string> read_plugin_capabilities(void* library) {
    if (auto const* table =
            static_cast<zelm_plugin_capability_table const*>(own_symbol(library, "zelm_plugin_capabilities"))) {
        return capabilities_in(*table);
    }
    // A plug-in built before tables declares lab-wide devices by this
    // function alone.
    return PluginCapabilities{.is_lab_wide = reinterpret_cast<LabWideQuery>(own_symbol(library, "zelm_is_lab_wide"))};
}

}  // namespace zelm::detail
