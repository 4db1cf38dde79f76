// Plug-ins that declare their capabilities in each of the ways the library
// meets, one per build of this file (CAPABILITY_KIND): a table of this
// library's version; a table of a later version, longer than this one; a
// table shorter than its version needs; a table of version 0; only the
// function zelm_is_lab_wide of plug-ins built before tables. The shim kinds
// take their manager from the family library (see capability_family.hpp),
// which exports a table of its own: with their own table, with only the
// function, and with neither.
#include "capability_family.hpp"

#include <zelm/cluster.hpp>
#include <zelm/plugin_capabilities.hpp>

#define CAPABILITY_TABLE 1
#define CAPABILITY_NEWER_TABLE 2
#define CAPABILITY_SHORT_TABLE 3
#define CAPABILITY_UNVERSIONED_TABLE 4
#define CAPABILITY_FUNCTION_ONLY 5
#define CAPABILITY_SHIM_TABLE 6
#define CAPABILITY_SHIM_FUNCTION_ONLY 7
#define CAPABILITY_SHIM_NONE 8

ZELM_PLUGIN_ENTRY zelm::DeviceManager* create_manager() { return new capability_test::CapabilityManager; }

#if CAPABILITY_KIND == CAPABILITY_TABLE || CAPABILITY_KIND == CAPABILITY_SHIM_TABLE
ZELM_PLUGIN_CAPABILITIES{.is_lab_wide = &capability_test::lab_by_description};

#elif CAPABILITY_KIND == CAPABILITY_NEWER_TABLE
namespace {
void later_capability() noexcept {}
}  // namespace

// What a later header might declare: this version's members, then more.
struct NewerTable {
    zelm_plugin_capability_table known;
    void (*later)() noexcept;
};
extern "C" ZELM_API __attribute__((section(".data.rel.ro.zelm_plugin_capabilities")))
NewerTable const zelm_plugin_capabilities{
    .known = {.version = ZELM_PLUGIN_CAPABILITIES_VERSION + 1,
              .size = sizeof(NewerTable),
              .is_lab_wide = &capability_test::lab_by_description},
    .later = &later_capability};

#elif CAPABILITY_KIND == CAPABILITY_SHORT_TABLE
ZELM_PLUGIN_CAPABILITIES{.size = 8, .is_lab_wide = &capability_test::lab_by_description};

#elif CAPABILITY_KIND == CAPABILITY_UNVERSIONED_TABLE
ZELM_PLUGIN_CAPABILITIES{.version = 0, .is_lab_wide = &capability_test::lab_by_description};

#elif CAPABILITY_KIND == CAPABILITY_FUNCTION_ONLY || CAPABILITY_KIND == CAPABILITY_SHIM_FUNCTION_ONLY
ZELM_LAB_WIDE_ENTRY int zelm_is_lab_wide(zelm::DeviceManager* manager, char const* description) noexcept {
    return capability_test::lab_by_description(manager, description);
}
#endif
