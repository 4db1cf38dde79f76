#include "transaction_error.hpp"

#include <modbus.h>

#include <fmt/format.h>

#include <cerrno>

namespace zelm::modbus {
namespace {

bool is_exception(int error_number) { return error_number >= EMBXILFUN && error_number <= EMBXGTAR; }

bool reaches_coils(int function) {
    return function == function::read_coils || function == function::write_single_coil;
}

std::string request_text(Request const& request) {
    auto const at = fmt::format("{} at address {}", function_name(request.function), request.address);
    if (request.count == 0) {
        return at;
    }
    auto const noun = reaches_coils(request.function) ? "coil" : "register";
    return fmt::format("{} ({} {}{})", at, request.count, noun, request.count == 1 ? "" : "s");
}

}  // namespace

std::string function_name(int function) {
    switch (function) {
        case function::read_coils: return "read coils (function 1)";
        case function::read_holding_registers: return "read holding registers (function 3)";
        case function::read_input_registers: return "read input registers (function 4)";
        case function::write_single_coil: return "write single coil (function 5)";
        case function::write_single_register: return "write single register (function 6)";
        case function::write_multiple_registers: return "write multiple registers (function 16)";
        case function::read_device_identification: return "read device identification (function 43/14)";
        default: return fmt::format("function {}", function);
    }
}

TransactionError transaction_error(Request const& request, int unit, std::string_view bus, int error_number) {
    auto const where = fmt::format("modbus {}, unit {} on {}", request_text(request), unit, bus);
    if (is_exception(error_number)) {
        auto const code = error_number - MODBUS_ENOBASE;
        return {TransactionError::Kind::exception, code,
                fmt::format("{}: exception {} ({})", where, code, modbus_strerror(error_number))};
    }
    if (error_number == ETIMEDOUT) {
        return {TransactionError::Kind::no_answer, 0, fmt::format("{}: no answer in time", where)};
    }
    return {TransactionError::Kind::link, 0, fmt::format("{}: {}", where, modbus_strerror(error_number))};
}

bool means_nobody_there(TransactionError const& error) {
    return error.kind() == TransactionError::Kind::exception &&
           (error.exception_code() == MODBUS_EXCEPTION_GATEWAY_PATH ||
            error.exception_code() == MODBUS_EXCEPTION_GATEWAY_TARGET);
}

}  // namespace zelm::modbus
