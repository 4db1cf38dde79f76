#include "bus_probe.hpp"

#include "connection.hpp"

#include <spdlog/spdlog.h>

#include <chrono>
#include <future>

namespace zelm::modbus {
namespace {

constexpr int probe_register = 0;

// Whether a device answers as `unit`. Throws std::runtime_error when the
// bus cannot be reached at all.
bool answers(Connection& connection, int unit) {
    try {
        connection.transact(unit, read_registers_request(function::read_holding_registers, probe_register, 1));
        return true;
    } catch (TransactionError const& error) {
        // A garbled or refused reply leaves the unit out: its id is not
        // usable until whatever answers garbled on it is sorted out.
        return error.kind() == TransactionError::Kind::exception && !means_nobody_there(error);
    }
}

void probe_units(BusConfig const& bus, IsOwned const& owned, BusListing& listing) {
    auto const& identity = listing.identity.emplace(identify(bus));
    Connection connection(bus, identity);
    for (auto const unit : bus.units) {
        if (owned(bus, identity, unit)) {
            listing.units.push_back(unit);
            continue;
        }
        ++listing.probed;
        if (answers(connection, unit)) {
            listing.units.push_back(unit);
        }
    }
}

// On the caller's thread: the host's logger is the host's to configure, and
// not every sink takes lines from threads the host does not know.
void report(BusListing const& listing) {
    if (listing.failure) {
        spdlog::warn("{}", *listing.failure);
    }
    spdlog::debug("modbus: {}: {} unit(s) found, {} probed in {:.1f} ms", listing.bus, listing.units.size(),
                  listing.probed, listing.elapsed_ms);
}

}  // namespace

nlohmann::json BusListing::to_json() const {
    nlohmann::json object{{"Units probed", probed}, {"Units found", units.size()}, {"Listing ms", elapsed_ms}};
    if (failure) {
        object["Listing error"] = *failure;
    }
    return object;
}

BusListing probe_bus(BusConfig const& bus, IsOwned const& owned) {
    BusListing listing{.bus = bus.name()};
    auto const start = std::chrono::steady_clock::now();
    try {
        probe_units(bus, owned, listing);
    } catch (std::runtime_error const& error) {
        listing.failure = error.what();
    }
    listing.elapsed_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return listing;
}

std::vector<BusListing> probe_buses(std::vector<BusConfig> const& buses, IsOwned const& owned) {
    std::vector<std::future<BusListing>> pending;
    pending.reserve(buses.size());
    for (auto const& bus : buses) {
        pending.push_back(std::async(std::launch::async, [&bus, &owned] { return probe_bus(bus, owned); }));
    }
    std::vector<BusListing> listings;
    listings.reserve(pending.size());
    for (auto& listing : pending) {
        listings.push_back(listing.get());
        report(listings.back());
    }
    return listings;
}

}  // namespace zelm::modbus
