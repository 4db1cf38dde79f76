// A Modbus device's description, {"bus":"tcp:10.0.0.5:502","unit":1}: only
// what names the unit and never changes, the bus by its identity
// (bus_identity.hpp) whatever the configuration calls it, so that a device
// keeps its lock identity across scans, configurations, reboots and
// re-plugged adapters.
#pragma once

#include "bus_identity.hpp"

#include <string>
#include <string_view>

namespace zelm::modbus {

// The description's compact text (keys sorted, no white space), the only
// text that opens the device.
std::string compact_description(BusIdentity const& bus, int unit);

// Whether the compact description is of a unit on a TCP bus, from its text
// alone. Never throws.
bool on_tcp_bus(std::string_view compact) noexcept;

}  // namespace zelm::modbus
