#include "connection.hpp"

#include <fcntl.h>

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace zelm::modbus {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long to wait for another process's transaction on a shared line: a
// holder needs at most a response timeout, a few byte timeouts and, after a
// failure, the drain.
milliseconds line_patience(milliseconds timeout) { return std::max(milliseconds(1000), 10 * timeout); }

// The silence that ends a frame on a serial line: 3.5 character times, and
// a fixed 1.75 ms above 19200 baud, as the serial line protocol has it.
std::chrono::microseconds inter_frame_time(SerialSettings const& serial) {
    constexpr int fixed_above_baud = 19200;
    if (serial.baud > fixed_above_baud) {
        return std::chrono::microseconds(1750);
    }
    int const bits = 1 + serial.data_bits + (serial.parity == 'N' ? 0 : 1) + serial.stop_bits;
    return std::chrono::microseconds(35LL * bits * 100'000 / serial.baud);
}

// How long a serial line must be quiet after a failed transaction: a unit
// that missed its time-out may still be answering, so a whole time-out.
milliseconds drain_quiet(BusConfig const& bus) {
    return std::max(bus.timeout, std::chrono::ceil<milliseconds>(inter_frame_time(bus.serial)));
}
// A line that does not fall quiet within this many quiet periods is noise:
// the connection is closed and opened anew, flushed.
constexpr int drain_periods = 4;

modbus_t* new_context(BusConfig const& bus, BusIdentity const& identity) {
    if (bus.transport == Transport::tcp) {
        return modbus_new_tcp_pi(identity.address.c_str(), bus.service.c_str());
    }
    return modbus_new_rtu(bus.port.c_str(), bus.serial.baud, bus.serial.parity, bus.serial.data_bits,
                          bus.serial.stop_bits);
}

ReplyWait reply_wait(modbus_t* context, milliseconds timeout) {
    std::uint32_t seconds = 0;
    std::uint32_t microseconds = 0;
    modbus_get_byte_timeout(context, &seconds, &microseconds);
    return {timeout, milliseconds(seconds * 1000 + (microseconds + 999) / 1000)};
}

void keep_from_children(int fd) {
    if (int const flags = ::fcntl(fd, F_GETFD); flags >= 0) {
        ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
}

}  // namespace

nlohmann::json TransactionStatistics::to_json() const {
    nlohmann::json object{{"Transactions", transactions},
                          {"Answered", answered},
                          {"No answer", no_answers},
                          {"Link failures", link_failures},
                          {"Exceptions", exceptions}};
    if (last_response_ms) {
        object["Last response ms"] = *last_response_ms;
        object["Mean response ms"] = total_response_ms / static_cast<double>(answered);
    }
    return object;
}

void Connection::ContextDeleter::operator()(modbus_t* context) const noexcept {
    modbus_close(context);
    modbus_free(context);
}

Connection::Connection(BusConfig const& bus, BusIdentity identity)
    : bus_(bus), identity_(std::move(identity)), transport_(bus.transport), timeout_(bus.timeout) {}

Connection::~Connection() = default;

void Connection::connect() {
    std::lock_guard lock(mutex_);
    connect_locked();
}

void Connection::connect_locked() {
    if (connected_) {
        return;
    }
    // The port may lead to another line than when the device was opened (an
    // adapter plugged in since, under the same node name): that line's units
    // are not the ones this device owns.
    if (transport_ == Transport::rtu) {
        if (auto const line = line_name(bus_.port); line != identity_.address) {
            throw std::runtime_error(fmt::format("modbus: {} leads to line {} now, not to {}: open the device again",
                                                 bus_.port, line, identity_.address));
        }
    }
    if (!context_) {
        context_.reset(new_context(bus_, identity_));
        if (!context_) {
            throw std::runtime_error(fmt::format("modbus: cannot set up {}: {}", identity_.name, modbus_strerror(errno)));
        }
        auto const timeout = std::chrono::duration_cast<std::chrono::microseconds>(timeout_).count();
        modbus_set_response_timeout(context_.get(), static_cast<std::uint32_t>(timeout / 1'000'000),
                                    static_cast<std::uint32_t>(timeout % 1'000'000));
    }
    if (modbus_connect(context_.get()) != 0) {
        throw std::runtime_error(
            fmt::format("modbus: cannot connect to {}: {}", identity_.name, modbus_strerror(errno)));
    }
    keep_from_children(modbus_get_socket(context_.get()));
    connected_ = true;
}

void Connection::disconnect_locked() noexcept {
    if (connected_) {
        modbus_close(context_.get());
        connected_ = false;
    }
}

Pdu Connection::transact(int unit, RequestPdu const& request) {
    std::lock_guard lock(mutex_);
    Turn turn;
    begin(turn);
    return finish(turn, unit, request.request, exchange(unit, request.bytes));
}

void Connection::begin(Turn& turn) {
    connect_locked();
    if (transport_ == Transport::rtu) {
        turn.line.emplace(modbus_get_socket(context_.get()), bus_.port.c_str(), line_patience(timeout_));
        modbus_flush(context_.get());
    }
    turn.start = Clock::now();
}

Reply Connection::exchange(int unit, std::span<std::uint8_t const> pdu) {
    auto const wait = reply_wait(context_.get(), timeout_);
    int const fd = modbus_get_socket(context_.get());
    Reply reply;
    if (transport_ == Transport::tcp) {
        ++transaction_;
        if (int const error = send_tcp_request(fd, transaction_, unit, pdu, timeout_); error != 0) {
            return std::unexpected(error);
        }
        reply = receive_tcp_reply(fd, transaction_, unit, wait);
    } else {
        if (int const error = send_rtu_request(context_.get(), unit, pdu); error != 0) {
            return std::unexpected(error);
        }
        reply = receive_rtu_reply(fd, unit, wait);
    }
    if (reply) {
        if (int const error = reply_error(pdu, *reply); error != 0) {
            return std::unexpected(error);
        }
    }
    return reply;
}

bool Connection::drain_line() {
    auto const quiet = drain_quiet(bus_);
    return drain_until_quiet(modbus_get_socket(context_.get()), quiet, drain_periods * quiet);
}

Pdu Connection::finish(Turn& turn, int unit, Request const& request, Reply reply) {
    auto const elapsed = std::chrono::duration<double, std::milli>(Clock::now() - turn.start).count();
    ++statistics_.transactions;
    if (reply) {
        turn.line.reset();
        ++statistics_.answered;
        statistics_.last_response_ms = elapsed;
        statistics_.total_response_ms += elapsed;
        return std::move(*reply);
    }
    auto error = transaction_error(request, unit, identity_.name, reply.error());
    bool const answered = error.kind() == TransactionError::Kind::exception;
    bool const line_clear = answered || transport_ == Transport::tcp || drain_line();
    turn.line.reset();  // the line is free again before anything else happens
    if (answered) {
        ++statistics_.answered;
        statistics_.last_response_ms = elapsed;
        statistics_.total_response_ms += elapsed;
        ++statistics_.exceptions[modbus_strerror(reply.error())];
    } else if (error.kind() == TransactionError::Kind::no_answer) {
        ++statistics_.no_answers;
    } else {
        ++statistics_.link_failures;
    }
    if (error.kind() == TransactionError::Kind::link || !line_clear) {
        disconnect_locked();
    }
    throw error;
}

TransactionStatistics Connection::statistics() const {
    std::lock_guard lock(mutex_);
    return statistics_;
}

}  // namespace zelm::modbus
