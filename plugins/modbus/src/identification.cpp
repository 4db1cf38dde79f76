#include "identification.hpp"

#include "rtu_reply.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <span>

namespace zelm::modbus {
namespace {

constexpr int mei_read_device_identification = 0x0e;
constexpr int exception_flag = 0x80;
constexpr int more_follows = 0xff;
// Read device id codes: the basic objects (0-2), or the basic and regular
// ones (0-6).
constexpr int basic_objects = 1;
constexpr int regular_objects = 2;
// A reply's fixed part after the function code: MEI type, read device id
// code, conformity level, more follows, next object id, number of objects.
constexpr std::size_t fixed_part = 6;
constexpr std::size_t tcp_header = 7;  // transaction, protocol, length, unit
constexpr std::size_t tcp_length_offset = 4;
// Each request asks for the objects from one id on; a device that claims
// more than this many replies is broken.
constexpr int max_replies = 256;

// libmodbus does not know how long a function 43 reply is, and over TCP it
// stops reading early; the header's length field tells where the frame ends.
// (On a serial line, rtu_reply.hpp reads the whole reply.)
int read_rest_of_tcp_frame(modbus_t* context, std::span<std::uint8_t> frame, int received,
                           std::chrono::milliseconds timeout) {
    if (received < static_cast<int>(tcp_header)) {
        return received;
    }
    auto const declared = static_cast<std::size_t>((frame[tcp_length_offset] << 8) | frame[tcp_length_offset + 1]);
    auto const total = std::min(tcp_header - 1 + declared, frame.size());
    auto const socket = modbus_get_socket(context);
    auto const deadline = std::chrono::steady_clock::now() + timeout;
    auto have = static_cast<std::size_t>(received);
    while (have < total) {
        auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ready{.fd = socket, .events = POLLIN, .revents = 0};
        if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        auto const got = ::recv(socket, frame.data() + have, total - have, 0);
        if (got == 0) {
            errno = ECONNRESET;
            return -1;
        }
        if (got < 0 && errno != EINTR) {
            return -1;
        }
        have += got > 0 ? static_cast<std::size_t>(got) : 0;
    }
    return static_cast<int>(have);
}

std::chrono::milliseconds byte_timeout(modbus_t* context) {
    std::uint32_t seconds = 0;
    std::uint32_t microseconds = 0;
    modbus_get_byte_timeout(context, &seconds, &microseconds);
    return std::chrono::milliseconds(seconds * 1000 + (microseconds + 999) / 1000);
}

// The whole reply frame, header and checksum included; -1 with errno set.
int receive_reply(modbus_t* context, Connection const& connection, std::span<std::uint8_t> frame) {
    if (connection.transport() == Transport::rtu) {
        return receive_identification_reply(context, frame, connection.timeout(), byte_timeout(context));
    }
    int const received = modbus_receive_confirmation(context, frame.data());
    return received < 0 ? received : read_rest_of_tcp_frame(context, frame, received, connection.timeout());
}

struct Reply {
    int next_object = 0;
    bool more = false;
};

// Takes apart the PDU of one reply, adding its objects. Sets errno and
// returns nothing for an exception or a malformed reply.
std::optional<Reply> parse_reply(std::span<std::uint8_t const> pdu, IdentificationObjects& objects) {
    if (pdu.size() >= 2 && pdu[0] == (function::read_device_identification | exception_flag)) {
        errno = MODBUS_ENOBASE + pdu[1];
        return std::nullopt;
    }
    if (pdu.size() < 1 + fixed_part || pdu[0] != function::read_device_identification ||
        pdu[1] != mei_read_device_identification) {
        errno = EMBBADDATA;
        return std::nullopt;
    }
    Reply reply{.next_object = pdu[5], .more = pdu[4] == more_follows};
    std::size_t at = 1 + fixed_part;
    for (int i = 0; i < pdu[6]; ++i) {
        if (at + 2 > pdu.size() || at + 2 + pdu[at + 1] > pdu.size()) {
            errno = EMBBADDATA;
            return std::nullopt;
        }
        auto const* text = reinterpret_cast<char const*>(pdu.data() + at + 2);
        objects[pdu[at]] = std::string(text, pdu[at + 1]);
        at += 2 + pdu[at + 1];
    }
    return reply;
}

// One request and its reply: the objects from `first_object` on.
std::optional<Reply> exchange(modbus_t* context, Connection const& connection, int unit, int code, int first_object,
                              IdentificationObjects& objects) {
    std::array<std::uint8_t, 5> const request{static_cast<std::uint8_t>(unit),
                                               static_cast<std::uint8_t>(function::read_device_identification),
                                               mei_read_device_identification, static_cast<std::uint8_t>(code),
                                               static_cast<std::uint8_t>(first_object)};
    if (modbus_send_raw_request(context, request.data(), static_cast<int>(request.size())) < 0) {
        return std::nullopt;
    }
    std::array<std::uint8_t, MODBUS_MAX_ADU_LENGTH> frame{};
    int const received = receive_reply(context, connection, frame);
    if (received < 0) {
        return std::nullopt;
    }
    auto const header = static_cast<std::size_t>(modbus_get_header_length(context));
    auto const checksum = connection.transport() == Transport::rtu ? std::size_t{2} : std::size_t{0};
    if (static_cast<std::size_t>(received) < header + checksum) {
        errno = EMBBADDATA;
        return std::nullopt;
    }
    return parse_reply(std::span<std::uint8_t const>(frame).subspan(header, received - header - checksum), objects);
}

IdentificationObjects read_objects(Connection& connection, int unit, int code) {
    IdentificationObjects objects;
    int first_object = 0;
    for (int replies = 0; replies < max_replies; ++replies) {
        std::optional<Reply> reply;
        connection.transact(unit, {function::read_device_identification, first_object, 0}, [&](modbus_t* context) {
            reply = exchange(context, connection, unit, code, first_object, objects);
            return reply ? 0 : -1;
        });
        if (!reply->more || reply->next_object <= first_object) {
            break;
        }
        first_object = reply->next_object;
    }
    return objects;
}

}  // namespace

std::optional<IdentificationObjects> read_identification(Connection& connection, int unit) {
    try {
        return read_objects(connection, unit, regular_objects);
    } catch (TransactionError const& error) {
        if (error.kind() != TransactionError::Kind::exception) {
            throw;
        }
        if (error.exception_code() == MODBUS_EXCEPTION_ILLEGAL_FUNCTION) {
            return std::nullopt;
        }
        // A device with only the basic objects may refuse to be asked for
        // the regular ones.
        if (error.exception_code() != MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE &&
            error.exception_code() != MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS) {
            throw;
        }
    }
    return read_objects(connection, unit, basic_objects);
}

std::string object_name(int id) {
    static constexpr std::array<char const*, 7> standard{
        "Vendor Name", "Product Code", "Revision", "Vendor URL", "Product Name", "Model Name", "User Application Name"};
    if (id >= 0 && id < static_cast<int>(standard.size())) {
        return standard[static_cast<std::size_t>(id)];
    }
    return "Object " + std::to_string(id);
}

}  // namespace zelm::modbus
