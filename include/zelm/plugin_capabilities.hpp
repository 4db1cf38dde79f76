// What a plug-in can do beyond its manager: one table per plug-in, exported
// under the name zelm_plugin_capabilities. The loader looks it up once, in
// the plug-in file it has just loaded (not in the libraries that file links),
// and keeps it with the manager. A plug-in without a table has none of the
// capabilities. Today the table holds one: which devices are lab-wide (see
// <zelm/cluster.hpp>).
//
//   #include <zelm/plugin_capabilities.hpp>
//
//   namespace {
//   int is_lab_wide(zelm::DeviceManager* manager, char const* description) noexcept { ... }
//   }
//   ZELM_PLUGIN_CAPABILITIES{.is_lab_wide = &is_lab_wide};
//
// Define it in exactly one source file of the plug-in.
//
// The table grows: a later version of this header appends members, raises
// ZELM_PLUGIN_CAPABILITIES_VERSION and never changes or removes a member. A
// table carries the version and size it was built with, so each side uses
// what both know:
// - a table of a newer version than the library's: the library uses the
//   members it knows (they come first) and ignores the rest;
// - a table of an older version: the library uses its members, and the
//   capabilities added since count as absent;
// - a table of version 0, or smaller than its version's members need, is
//   broken: the library ignores the whole table, and logs a warning naming
//   the plug-in when it loads it.
#pragma once

#include <zelm/device_manager.hpp>
#include <zelm/export.hpp>

#include <cstdint>

// The version of zelm_plugin_capability_table that this header declares.
#define ZELM_PLUGIN_CAPABILITIES_VERSION 1

struct zelm_plugin_capability_table {
    // Left to their defaults: the header's version and size.
    std::uint32_t version = ZELM_PLUGIN_CAPABILITIES_VERSION;
    std::uint32_t size = sizeof(zelm_plugin_capability_table);

    // Version 1. Whether the device that `description` (its compact JSON
    // text, as listed) names is lab-wide: non-zero for a device that other
    // hosts reach too. `manager` is one made by this plug-in's
    // create_manager. It must not throw, must give the same answer for a
    // description every time and should be cheap: a scan asks once per
    // device. Null: no device is lab-wide.
    int (*is_lab_wide)(zelm::DeviceManager* manager, char const* description) noexcept = nullptr;
};

// Defines and exports the plug-in's table; follow it with the table's
// initialiser. The table has a section of its own for the reason the ABI tag
// has (see ZELM_PLUGIN_ENTRY): every plug-in exports this one name.
#define ZELM_PLUGIN_CAPABILITIES                                                                 \
    extern "C" ZELM_API __attribute__((section(".data.rel.ro.zelm_plugin_capabilities")))       \
    zelm_plugin_capability_table const zelm_plugin_capabilities
