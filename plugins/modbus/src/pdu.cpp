#include "pdu.hpp"

#include <modbus.h>

#include <algorithm>

namespace zelm::modbus {
namespace {

constexpr std::uint8_t exception_flag = 0x80;
constexpr std::uint8_t mei_read_device_identification = 0x0e;
constexpr std::uint16_t coil_on = 0xff00;
// An identification reply before its objects: function, MEI type, read
// device id code, conformity level, more follows, next object id, number of
// objects.
constexpr std::size_t identification_header = 7;
constexpr std::size_t object_count_at = identification_header - 1;
// A write's reply echoes its address and its value or count.
constexpr std::size_t echo_length = 5;

void append_word(Pdu& pdu, int word) {
    pdu.push_back(static_cast<std::uint8_t>((word >> 8) & 0xff));
    pdu.push_back(static_cast<std::uint8_t>(word & 0xff));
}

int word_at(std::span<std::uint8_t const> pdu, std::size_t at) { return (pdu[at] << 8) | pdu[at + 1]; }

std::size_t identification_length(std::span<std::uint8_t const> have) {
    auto end = identification_header;
    if (have.size() < end) {
        return end;
    }
    for (std::size_t object = 0; object < have[object_count_at]; ++object) {
        if (have.size() < end + 2) {
            return end + 2;
        }
        end += 2 + have[end + 1];
    }
    return end;
}

int exception_error(std::span<std::uint8_t const> reply) {
    if (reply.size() != 2) {
        return EMBBADDATA;
    }
    int const code = reply[1];
    return code >= MODBUS_EXCEPTION_ILLEGAL_FUNCTION && code < MODBUS_EXCEPTION_MAX ? MODBUS_ENOBASE + code
                                                                                     : EMBBADEXC;
}

bool answers(std::span<std::uint8_t const> request, std::span<std::uint8_t const> reply) {
    switch (request[0]) {
        case function::read_holding_registers:
        case function::read_input_registers:
            return reply[1] == 2 * word_at(request, 3);
        case function::write_single_coil:
        case function::write_single_register:
            return std::ranges::equal(reply, request);
        case function::write_multiple_registers:
            return std::ranges::equal(reply, request.first(echo_length));
        case function::read_device_identification:
            return reply[1] == mei_read_device_identification;
        default:
            return false;
    }
}

}  // namespace

RequestPdu read_registers_request(int function, int first, int count) {
    RequestPdu request{{function, first, count}, {static_cast<std::uint8_t>(function)}};
    append_word(request.bytes, first);
    append_word(request.bytes, count);
    return request;
}

RequestPdu write_register_request(int address, std::uint16_t value) {
    RequestPdu request{{function::write_single_register, address, 1}, {function::write_single_register}};
    append_word(request.bytes, address);
    append_word(request.bytes, value);
    return request;
}

RequestPdu write_coil_request(int address, bool on) {
    RequestPdu request{{function::write_single_coil, address, 1}, {function::write_single_coil}};
    append_word(request.bytes, address);
    append_word(request.bytes, on ? coil_on : 0);
    return request;
}

RequestPdu write_registers_request(int first, std::span<std::uint8_t const> bytes) {
    auto const count = static_cast<int>(bytes.size() / 2);
    RequestPdu request{{function::write_multiple_registers, first, count}, {function::write_multiple_registers}};
    append_word(request.bytes, first);
    append_word(request.bytes, count);
    request.bytes.push_back(static_cast<std::uint8_t>(bytes.size()));
    request.bytes.insert(request.bytes.end(), bytes.begin(), bytes.end());
    return request;
}

RequestPdu identification_request(int code, int first_object) {
    return {{function::read_device_identification, first_object, 0},
            {function::read_device_identification, mei_read_device_identification, static_cast<std::uint8_t>(code),
             static_cast<std::uint8_t>(first_object)}};
}

std::size_t reply_length(std::span<std::uint8_t const> have) {
    if (have.empty()) {
        return 1;
    }
    if ((have[0] & exception_flag) != 0) {
        return 2;
    }
    switch (have[0]) {
        case function::read_holding_registers:
        case function::read_input_registers:
            return have.size() < 2 ? 2 : 2 + std::size_t{have[1]};
        case function::write_single_coil:
        case function::write_single_register:
        case function::write_multiple_registers:
            return echo_length;
        case function::read_device_identification:
            return identification_length(have);
        default:
            return 0;
    }
}

int reply_error(std::span<std::uint8_t const> request, std::span<std::uint8_t const> reply) {
    if (reply.empty()) {
        return EMBBADDATA;
    }
    if (reply[0] == (request[0] | exception_flag)) {
        return exception_error(reply);
    }
    if (reply[0] != request[0] || reply_length(reply) != reply.size() || !answers(request, reply)) {
        return EMBBADDATA;
    }
    return 0;
}

std::span<std::uint8_t const> read_values(std::span<std::uint8_t const> reply) { return reply.subspan(2); }

}  // namespace zelm::modbus
