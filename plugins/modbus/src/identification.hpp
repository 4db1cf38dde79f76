// Read Device Identification (function 43, MEI type 14): the vendor name,
// product code and revision a device reports, and the regular objects
// (vendor URL, product name, model name, user application name) where it
// has them. libmodbus has no call for it, so the request goes out through
// its raw-request call and the reply is read and taken apart here.
#pragma once

#include "connection.hpp"

#include <map>
#include <optional>
#include <string>

namespace zelm::modbus {

// Object id to value.
using IdentificationObjects = std::map<int, std::string>;

// The unit's identification objects; none when the unit does not implement
// the function (it answers "illegal function"). Throws TransactionError for
// every other failure, and for a reply that is not a well-formed
// identification reply.
std::optional<IdentificationObjects> read_identification(Connection& connection, int unit);

// "Vendor Name", "Product Code", ... for the standard objects 0-6, else
// "Object 128" and so on.
std::string object_name(int id);

}  // namespace zelm::modbus
