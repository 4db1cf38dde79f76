// Read Device Identification (function 43, MEI type 14): the vendor name,
// product code and revision a device reports, and the regular objects
// (vendor URL, product name, model name, user application name) where it
// has them. libmodbus has no call for it, so the request is built and its
// replies taken apart here.
#pragma once

#include "connection.hpp"

#include <chrono>
#include <map>
#include <optional>
#include <string>

namespace zelm::modbus {

// Object id to value.
using IdentificationObjects = std::map<int, std::string>;

struct Identification {
    IdentificationObjects objects;
    // False when the unit still said "more follows" once the identification's
    // time was up: `objects` are what it gave until then.
    bool complete = true;
};

// How long one identification may go on asking for more objects: a few
// time-outs, so that a unit that says "more follows" forever costs a
// get_info that much, and not 255 requests.
std::chrono::milliseconds identification_time(std::chrono::milliseconds timeout);

// The unit's identification; none when the unit does not implement the
// function (it answers "illegal function"). No request goes out once
// identification_time has passed. Throws TransactionError for every other
// failure, and for a reply that is not a well-formed identification reply.
std::optional<Identification> read_identification(Connection& connection, int unit);

// "Vendor Name", "Product Code", ... for the standard objects 0-6, else
// "Object 128" and so on.
std::string object_name(int id);

}  // namespace zelm::modbus
