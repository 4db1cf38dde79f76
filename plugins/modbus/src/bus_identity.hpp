// What a bus is, whatever the configuration calls it. A unit's description
// names its bus, and the description is the unit's lock identity and, over
// TCP, its key in a cluster: two configurations that spell one server or one
// serial line differently must still describe the same unit the same way, or
// both would own it at once.
//
//   TCP  "tcp:<address>:<port>"  the numeric address the host resolves to
//        (IPv6 in brackets); a name with several addresses stands for its
//        lowest IPv4 address, else its lowest IPv6 one, and the connection
//        goes to that address only, so the unit owned is the unit talked to.
//   RTU  "rtu:<line>"  the port's /dev/serial/by-id link, which names the
//        adapter wherever it is plugged, else the device node the port leads
//        to; a port that is not there keeps the name it is configured by.
#pragma once

#include "bus_config.hpp"

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zelm::modbus {

// A TCP bus whose host name does not resolve; the message is one line
// naming the bus and the resolver's answer.
class ResolveError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct BusIdentity {
    std::string name;     // as descriptions name the bus: "tcp:10.0.0.5:502"
    std::string address;  // tcp: the numeric address connected to; rtu: the line's name
};

// Resolves a TCP bus's host (which may ask DNS); throws ResolveError when it
// does not resolve. Finds an RTU bus's line; never fails.
BusIdentity identify(BusConfig const& bus);

// The stable name of the serial line `port` leads to: the link in
// `stable_links` that leads to the same device node (the lowest, should
// several), else the node itself; `port` as written when it leads nowhere.
std::string line_name(std::filesystem::path const& port,
                      std::filesystem::path const& stable_links = "/dev/serial/by-id");

// Whether `bus` could be the one `name` describes, without resolving
// anything: the same transport and, over TCP, the same port. Narrows which
// buses a description needs resolved.
bool may_be_named(BusConfig const& bus, std::string_view name);

}  // namespace zelm::modbus
