// Reading a Read Device Identification reply (function 43/14) from a serial
// line. libmodbus 3.1.6 does not know how long such a reply is: on a serial
// line it stops after four bytes and then fails the checksum, leaving the
// rest on the line. So the reply is read here, its length worked out from
// its own fields as they arrive, and its CRC checked by libmodbus's own code.
#pragma once

#include <modbus.h>

#include <chrono>
#include <cstdint>
#include <span>

namespace zelm::modbus {

// Reads one reply frame from the serial line of `context` into `frame`:
// waits up to `response_timeout` for its first byte and up to
// `byte_timeout` between bytes. Returns the frame's length (address,
// function, data, CRC), or -1 with errno set: ETIMEDOUT when nothing or
// too little came, EMBBADDATA when the reply cannot be an identification
// reply, EMBBADCRC when its checksum is wrong.
int receive_identification_reply(modbus_t* context, std::span<std::uint8_t> frame,
                                 std::chrono::milliseconds response_timeout,
                                 std::chrono::milliseconds byte_timeout);

}  // namespace zelm::modbus
