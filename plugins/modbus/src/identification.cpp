#include "identification.hpp"

#include <array>
#include <cstdint>
#include <span>

namespace zelm::modbus {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int more_follows = 0xff;
// Read device id codes: the basic objects (0-2), or the basic and regular
// ones (0-6).
constexpr int basic_objects = 1;
constexpr int regular_objects = 2;
// A reply's fields before its objects: function, MEI type, read device id
// code, conformity level, more follows, next object id, number of objects.
constexpr std::size_t more_follows_at = 4;
constexpr std::size_t next_object_at = 5;
constexpr std::size_t object_count_at = 6;
constexpr std::size_t first_object_at = 7;
constexpr int identification_timeouts = 4;

struct Reply {
    int next_object = 0;
    bool more = false;
};

// Adds the objects of one reply, whose shape the connection has checked.
Reply take_objects(std::span<std::uint8_t const> pdu, IdentificationObjects& objects) {
    auto at = first_object_at;
    for (int i = 0; i < pdu[object_count_at]; ++i) {
        auto const* text = reinterpret_cast<char const*>(pdu.data() + at + 2);
        objects[pdu[at]] = std::string(text, pdu[at + 1]);
        at += 2 + pdu[at + 1];
    }
    return {.next_object = pdu[next_object_at], .more = pdu[more_follows_at] == more_follows};
}

// Each request asks for the objects from one id on, a higher one each time.
Identification read_objects(Connection& connection, int unit, int code, Clock::time_point deadline) {
    Identification identification;
    int first_object = 0;
    for (;;) {
        auto const reply =
            take_objects(connection.transact(unit, identification_request(code, first_object)), identification.objects);
        if (!reply.more || reply.next_object <= first_object) {
            return identification;
        }
        if (Clock::now() >= deadline) {
            identification.complete = false;
            return identification;
        }
        first_object = reply.next_object;
    }
}

}  // namespace

std::chrono::milliseconds identification_time(std::chrono::milliseconds timeout) {
    return identification_timeouts * timeout;
}

std::optional<Identification> read_identification(Connection& connection, int unit) {
    auto const deadline = Clock::now() + identification_time(connection.timeout());
    try {
        return read_objects(connection, unit, regular_objects, deadline);
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
    return read_objects(connection, unit, basic_objects, deadline);
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
