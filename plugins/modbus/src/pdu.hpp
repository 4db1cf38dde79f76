// Requests as the protocol carries them, without unit id or framing: a PDU,
// the function code and its data; and the rule for whether a reply answers
// a request. A reply that answers another request (a late one, or a frame
// that noise made) must be an error, never a value.
#pragma once

#include "transaction_error.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace zelm::modbus {

using Pdu = std::vector<std::uint8_t>;

// A request as messages name it, and as it is sent.
struct RequestPdu {
    Request request;
    Pdu bytes;
};

// Read holding registers (3) or input registers (4).
RequestPdu read_registers_request(int function, int first, int count);
RequestPdu write_register_request(int address, std::uint16_t value);
RequestPdu write_coil_request(int address, bool on);
// Write multiple registers (16): `bytes` two a register, high byte first.
RequestPdu write_registers_request(int first, std::span<std::uint8_t const> bytes);
// Read Device Identification (43/14), the objects of `code` from
// `first_object` on.
RequestPdu identification_request(int code, int first_object);

// How long the reply PDU that begins with `have` is, as far as `have`
// tells: a length past `have` means more must be read first, and may grow
// once it has; 0 for a function this family does not send. Serial lines
// frame replies by it.
std::size_t reply_length(std::span<std::uint8_t const> have);

// 0 when `reply` answers `request`: its function, with the length and the
// echoed address, count or value that the request calls for. Otherwise
// libmodbus's error number: the exception of an exception reply
// (EMBXILFUN...), EMBBADEXC for an exception code the protocol does not
// have, EMBBADDATA for any other reply.
int reply_error(std::span<std::uint8_t const> request, std::span<std::uint8_t const> reply);

// The register values of an answered read, two bytes a register, high byte
// first.
std::span<std::uint8_t const> read_values(std::span<std::uint8_t const> reply);

}  // namespace zelm::modbus
