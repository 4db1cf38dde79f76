// What the system knows about a serial port's adapter (libserialport): its
// USB vendor and product ids, manufacturer, product and serial number, for
// people telling adapters apart.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace zelm::modbus {

// {"USB Vendor ID": "0403", "USB Product ID": "6001", "USB Manufacturer":
// ..., "USB Product": ..., "USB Serial": ...} for a USB adapter, with the
// members the system knows; an empty object for any other port, or one that
// is not there. `port` may be a link, such as a /dev/serial/by-id path.
// Throws only std::bad_alloc.
nlohmann::json usb_details(std::string const& port);

}  // namespace zelm::modbus
