#include "connection.hpp"

#include <fcntl.h>

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>

namespace zelm::modbus {
namespace {

using Clock = std::chrono::steady_clock;

// How long to wait for another process's transaction on a shared line: a
// holder needs at most a response timeout and a few byte timeouts.
std::chrono::milliseconds line_patience(std::chrono::milliseconds timeout) {
    return std::max(std::chrono::milliseconds(1000), 10 * timeout);
}

modbus_t* new_context(BusConfig const& bus) {
    if (bus.transport == Transport::tcp) {
        return modbus_new_tcp_pi(bus.host.c_str(), bus.service.c_str());
    }
    return modbus_new_rtu(bus.port.c_str(), bus.serial.baud, bus.serial.parity, bus.serial.data_bits,
                          bus.serial.stop_bits);
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

Connection::Connection(BusConfig const& bus)
    : bus_(bus), bus_name_(bus.name()), transport_(bus.transport), timeout_(bus.timeout) {}

Connection::~Connection() = default;

void Connection::connect() {
    std::lock_guard lock(mutex_);
    connect_locked();
}

void Connection::connect_locked() {
    if (connected_) {
        return;
    }
    if (!context_) {
        context_.reset(new_context(bus_));
        if (!context_) {
            throw std::runtime_error(fmt::format("modbus: cannot set up {}: {}", bus_name_, modbus_strerror(errno)));
        }
        auto const timeout = std::chrono::duration_cast<std::chrono::microseconds>(timeout_).count();
        modbus_set_response_timeout(context_.get(), static_cast<std::uint32_t>(timeout / 1'000'000),
                                    static_cast<std::uint32_t>(timeout % 1'000'000));
    }
    if (modbus_connect(context_.get()) != 0) {
        throw std::runtime_error(fmt::format("modbus: cannot connect to {}: {}", bus_name_, modbus_strerror(errno)));
    }
    keep_from_children(modbus_get_socket(context_.get()));
    connected_ = true;
    stale_input_ = false;
}

void Connection::disconnect_locked() noexcept {
    if (connected_) {
        modbus_close(context_.get());
        connected_ = false;
    }
}

void Connection::begin(int unit, Turn& turn) {
    connect_locked();
    if (transport_ == Transport::rtu) {
        turn.line.emplace(modbus_get_socket(context_.get()), bus_.port.c_str(), line_patience(timeout_));
        modbus_flush(context_.get());
    } else if (stale_input_) {
        modbus_flush(context_.get());
        stale_input_ = false;
    }
    modbus_set_slave(context_.get(), unit);
    turn.start = Clock::now();
}

int Connection::finish(Turn& turn, int unit, Request const& request, int result, int error_number) {
    auto const elapsed = std::chrono::duration<double, std::milli>(Clock::now() - turn.start).count();
    turn.line.reset();  // the line is free again before anything else happens
    ++statistics_.transactions;
    if (result >= 0) {
        ++statistics_.answered;
        statistics_.last_response_ms = elapsed;
        statistics_.total_response_ms += elapsed;
        return result;
    }
    auto error = transaction_error(request, unit, bus_name_, error_number);
    switch (error.kind()) {
        case TransactionError::Kind::exception:
            ++statistics_.answered;
            statistics_.last_response_ms = elapsed;
            statistics_.total_response_ms += elapsed;
            ++statistics_.exceptions[modbus_strerror(error_number)];
            break;
        case TransactionError::Kind::no_answer:
            ++statistics_.no_answers;
            stale_input_ = true;
            break;
        case TransactionError::Kind::link:
            ++statistics_.link_failures;
            disconnect_locked();
            break;
    }
    throw error;
}

TransactionStatistics Connection::statistics() const {
    std::lock_guard lock(mutex_);
    return statistics_;
}

}  // namespace zelm::modbus
