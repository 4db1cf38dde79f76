// Failures of one Modbus transaction, told as one line that names the
// request (function, address, unit, bus) and what went wrong.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace zelm::modbus {

// One request, for messages: its function code and the first address and
// count it reaches (a count of 0 leaves it out).
struct Request {
    int function = 0;
    int address = 0;
    int count = 0;
};

// Function codes the family sends.
namespace function {
inline constexpr int read_coils = 0x01;
inline constexpr int read_holding_registers = 0x03;
inline constexpr int read_input_registers = 0x04;
inline constexpr int write_single_coil = 0x05;
inline constexpr int write_single_register = 0x06;
inline constexpr int write_multiple_registers = 0x10;
inline constexpr int read_device_identification = 0x2b;
}  // namespace function

// "read holding registers", or "function 0x41" for one the family does not
// send.
std::string function_name(int function);

class TransactionError : public std::runtime_error {
public:
    enum class Kind {
        exception,  // the unit answered with a Modbus exception
        no_answer,  // nothing came back in time
        link,       // the connection or the line failed, or the reply was garbled
    };

    TransactionError(Kind kind, int exception_code, std::string const& message)
        : std::runtime_error(message), kind_(kind), exception_code_(exception_code) {}

    Kind kind() const noexcept { return kind_; }
    // The Modbus exception code for Kind::exception, else 0.
    int exception_code() const noexcept { return exception_code_; }

private:
    Kind kind_;
    int exception_code_;
};

// The error for `request` to `unit` on `bus` that failed with libmodbus's
// `error_number` (errno after the failed call).
TransactionError transaction_error(Request const& request, int unit, std::string_view bus, int error_number);

// Gateway exceptions (0x0A, 0x0B): a gateway's way of saying that nothing
// answered behind it.
bool means_nobody_there(TransactionError const& error);

}  // namespace zelm::modbus
