// One connection to a bus through libmodbus: a TCP connection to a server or
// gateway, or an open serial line. Every transaction (one request and its
// response) runs whole under the connection's mutex and, on a serial line,
// in the line's turn (line_lock.hpp), after the line's input is flushed: a
// reply left unread by an earlier transaction, of this or another process,
// would otherwise be taken for the answer to this one.
#pragma once

#include "bus_config.hpp"
#include "line_lock.hpp"
#include "transaction_error.hpp"

#include <modbus.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace zelm::modbus {

// What an operator wants to know about a connection's transactions.
struct TransactionStatistics {
    std::uint64_t transactions = 0;  // every request sent, answered or not
    std::uint64_t no_answers = 0;
    std::uint64_t link_failures = 0;
    std::map<std::string, std::uint64_t> exceptions;  // by the exception's name
    std::optional<double> last_response_ms;
    double total_response_ms = 0;  // of answered transactions
    std::uint64_t answered = 0;

    nlohmann::json to_json() const;
};

class Connection {
public:
    // Connects on the first transaction, not here.
    explicit Connection(BusConfig const& bus);
    ~Connection();
    Connection(Connection const&) = delete;
    Connection& operator=(Connection const&) = delete;

    // Runs `call(context)`, which sends one request to `unit` and reads its
    // response through libmodbus and returns what libmodbus returned, and
    // returns that. Connects first when not connected. Throws
    // TransactionError when the call fails (after which a broken connection
    // is closed, to be opened anew by the next transaction), and
    // std::runtime_error when the connection or the line's turn cannot be had.
    template <typename Call>
    int transact(int unit, Request const& request, Call&& call) {
        std::lock_guard lock(mutex_);
        Turn turn;
        begin(unit, turn);
        errno = 0;
        int const result = call(context_.get());
        int const error_number = errno;
        return finish(turn, unit, request, result, error_number);
    }

    // Opens the connection when it is not open. Throws std::runtime_error.
    void connect();

    TransactionStatistics statistics() const;
    std::string const& bus_name() const noexcept { return bus_name_; }
    Transport transport() const noexcept { return transport_; }
    std::chrono::milliseconds timeout() const noexcept { return timeout_; }

private:
    struct ContextDeleter {
        void operator()(modbus_t* context) const noexcept;
    };
    // One transaction's hold on the line, and when it began.
    struct Turn {
        std::optional<LineTurn> line;
        std::chrono::steady_clock::time_point start;
    };

    void begin(int unit, Turn& turn);
    int finish(Turn& turn, int unit, Request const& request, int result, int error_number);
    void connect_locked();
    void disconnect_locked() noexcept;

    BusConfig bus_;
    std::string bus_name_;
    Transport transport_;
    std::chrono::milliseconds timeout_;
    mutable std::mutex mutex_;
    // Guarded by mutex_.
    std::unique_ptr<modbus_t, ContextDeleter> context_;
    bool connected_ = false;
    bool stale_input_ = false;  // a TCP reply may still arrive for a request that timed out
    TransactionStatistics statistics_;
};

}  // namespace zelm::modbus
