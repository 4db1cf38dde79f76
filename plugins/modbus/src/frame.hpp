// Requests and replies on the wire. A PDU travels over TCP behind a header
// (transaction id, protocol, length, unit id), and on a serial line between
// the unit id and a CRC. libmodbus reads only the replies whose length it
// knows (not Read Device Identification's) and does not check that a TCP
// reply comes from the unit asked, so replies are read here, whole whatever
// they carry, and given back only when they come from the unit asked.
#pragma once

#include "pdu.hpp"

#include <modbus.h>

#include <chrono>
#include <cstdint>
#include <expected>
#include <span>

namespace zelm::modbus {

// How long a reply may take: to its first byte, and from each byte to the
// next.
struct ReplyWait {
    std::chrono::milliseconds first_byte;
    std::chrono::milliseconds next_byte;
};

// A reply's PDU, or libmodbus's error number (an errno value or EMB...).
using Reply = std::expected<Pdu, int>;

// Sends `pdu` to `unit` as transaction `transaction` on a TCP socket,
// waiting at most `patience` for room to send. 0, or the error number.
int send_tcp_request(int socket, std::uint16_t transaction, int unit, std::span<std::uint8_t const> pdu,
                     std::chrono::milliseconds patience);

// The reply to `transaction` from `unit`. Frames of other transactions
// (answers to requests that timed out) are read and skipped. Errors:
// ETIMEDOUT when no reply began in time, EMBBADDATA for a malformed frame or
// one cut short, EMBBADSLAVE for a reply from another unit, ECONNRESET when
// the server closed, or the socket's error.
Reply receive_tcp_reply(int socket, std::uint16_t transaction, int unit, ReplyWait wait);

// Sends `pdu` to `unit` on the serial line of `context`; libmodbus adds the
// CRC. 0, or the error number.
int send_rtu_request(modbus_t* context, int unit, std::span<std::uint8_t const> pdu);

// The next frame on the serial line `fd`, read as far as its own fields say
// it goes. Errors: ETIMEDOUT when nothing came in time, EMBBADDATA for a
// frame cut short or of a function this family does not send, EMBBADCRC for
// a wrong checksum, EMBBADSLAVE for a frame from another unit, or the line's
// error.
Reply receive_rtu_reply(int fd, int unit, ReplyWait wait);

// Reads and drops whatever arrives on `fd` until nothing has come for
// `quiet`; false when the line was not quiet that long within `limit`, or
// failed.
bool drain_until_quiet(int fd, std::chrono::milliseconds quiet, std::chrono::milliseconds limit);

}  // namespace zelm::modbus
