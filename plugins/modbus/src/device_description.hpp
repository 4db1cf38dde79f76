// A Modbus device's description, {"bus":"tcp:10.0.0.5:502","unit":1}: only
// what names the unit and never changes, so that a device keeps its lock
// identity across scans, reboots and re-plugged adapters.
#pragma once

#include "bus_config.hpp"

#include <string>

namespace zelm::modbus {

// The description's compact text (keys sorted, no white space), the only
// text that opens the device.
std::string compact_description(BusConfig const& bus, int unit);

}  // namespace zelm::modbus
