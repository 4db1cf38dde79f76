// One connection to a bus through libmodbus: a TCP connection to a server or
// gateway, or an open serial line. Every transaction (one request and its
// response) runs whole under the connection's mutex and, on a serial line,
// in the line's turn (line_lock.hpp), after the line's input is flushed: a
// reply left unread by an earlier transaction, of this or another process,
// would otherwise be taken for the answer to this one.
//
// A reply is taken only when it answers its request (pdu.hpp) and, over TCP,
// its transaction. A serial line's frames carry no transaction id, so after
// a request that got no answer, or a reply that was not its answer, the line
// stays this transaction's until it has been quiet for the response time-out
// (at least 3.5 character times): a unit that answers late, or the genuine
// reply that noise ran into, is drained then, never taken for the answer to
// the next request, of this process or another.
#pragma once

#include "bus_config.hpp"
#include "bus_identity.hpp"
#include "frame.hpp"
#include "line_lock.hpp"
#include "pdu.hpp"
#include "transaction_error.hpp"

#include <modbus.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
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
    // Connects on the first transaction, not here, to the bus `identity`
    // names: over TCP its address, on a serial line the configured port,
    // which must still be that line.
    Connection(BusConfig const& bus, BusIdentity identity);
    ~Connection();
    Connection(Connection const&) = delete;
    Connection& operator=(Connection const&) = delete;

    // Sends `request` to `unit` and returns the reply's PDU, once it answers
    // the request. Connects first when not connected. Throws
    // TransactionError when no reply came, a reply did not answer, or the
    // unit answered with an exception (after which a broken connection is
    // closed, to be opened anew by the next transaction), and
    // std::runtime_error when the connection or the line's turn cannot be had.
    Pdu transact(int unit, RequestPdu const& request);

    // Opens the connection when it is not open. Throws std::runtime_error.
    void connect();

    TransactionStatistics statistics() const;
    // The bus as descriptions name it, for messages.
    std::string const& bus_name() const noexcept { return identity_.name; }
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

    void begin(Turn& turn);
    Reply exchange(int unit, std::span<std::uint8_t const> pdu);
    Pdu finish(Turn& turn, int unit, Request const& request, Reply reply);
    // After a failed transaction on a serial line, in its turn: false when
    // the line did not fall quiet.
    bool drain_line();
    void connect_locked();
    void disconnect_locked() noexcept;

    BusConfig bus_;
    BusIdentity identity_;
    Transport transport_;
    std::chrono::milliseconds timeout_;
    mutable std::mutex mutex_;
    // Guarded by mutex_.
    std::unique_ptr<modbus_t, ContextDeleter> context_;
    bool connected_ = false;
    std::uint16_t transaction_ = 0;  // TCP: the last transaction id sent
    TransactionStatistics statistics_;
};

}  // namespace zelm::modbus
