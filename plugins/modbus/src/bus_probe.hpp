// Finding the units that answer on the configured buses: each unit id is
// sent one cheap request (read holding register 0); any answer, an
// exception included, means a device is there, while silence or a
// gateway's "no response" exception means none is. The buses are probed at
// the same time, each bus one unit after another (a line carries one
// transaction at a time), so a full RTU bus takes at most its units times
// its timeout.
#pragma once

#include "bus_config.hpp"
#include "bus_identity.hpp"

#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zelm::modbus {

struct BusListing {
    std::string bus;                         // as configured
    std::optional<BusIdentity> identity{};  // none when the bus could not be identified
    std::vector<int> units{};  // the units found, ascending
    std::size_t probed = 0;  // units sent a request
    double elapsed_ms = 0;
    std::optional<std::string> failure{};  // why the bus could not be probed at all

    // {"Units probed": ..., "Units found": ..., "Listing ms": ...}, and
    // "Listing error" when the bus failed.
    nlohmann::json to_json() const;
};

// Whether another process owns a unit; such a unit is listed without being
// sent anything, for nobody touches a device that another process owns.
using IsOwned = std::function<bool(BusConfig const& bus, BusIdentity const& identity, int unit)>;

// Identifies one bus and probes it, logging nothing. Never throws but
// std::bad_alloc: a bus that cannot be identified or reached is a listing
// with a failure.
BusListing probe_bus(BusConfig const& bus, IsOwned const& owned);

// Probes every bus, all at once, and returns their listings in order. Logs
// each bus that could not be probed as a warning, on the calling thread.
std::vector<BusListing> probe_buses(std::vector<BusConfig> const& buses, IsOwned const& owned);

}  // namespace zelm::modbus
