#include "register_block.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>

namespace zelm::modbus {
namespace {

int read_function(RegisterTable table) {
    return table == RegisterTable::holding ? function::read_holding_registers : function::read_input_registers;
}

}  // namespace

RegisterBlock block_at(unsigned int address, unsigned long length, bool writing) {
    if (length % 2 != 0) {
        throw std::invalid_argument(
            fmt::format("modbus: {} bytes is not a whole number of 16-bit registers; give an even length", length));
    }
    auto const table = address >= input_register_base ? RegisterTable::input : RegisterTable::holding;
    if (writing && table == RegisterTable::input) {
        throw std::invalid_argument(fmt::format(
            "modbus: address {} is input register {}, and input registers are read-only", address,
            address - input_register_base));
    }
    auto const first = static_cast<unsigned long>(address) - (table == RegisterTable::input ? input_register_base : 0);
    auto const count = length / 2;
    if (first >= register_space || count > register_space - first) {
        throw std::out_of_range(fmt::format(
            "modbus: {} register(s) at address {} reach past the last register (65535; input registers are "
            "65536-131071)",
            count, address));
    }
    return {table, static_cast<int>(first), static_cast<int>(count)};
}

void read_block(Connection& connection, int unit, RegisterBlock const& block, std::span<unsigned char> bytes) {
    for (int done = 0; done < block.count;) {
        int const count = std::min(block.count - done, MODBUS_MAX_READ_REGISTERS);
        auto const reply =
            connection.transact(unit, read_registers_request(read_function(block.table), block.first + done, count));
        std::ranges::copy(read_values(reply), bytes.begin() + 2 * static_cast<long>(done));
        done += count;
    }
}

void write_block(Connection& connection, int unit, RegisterBlock const& block, std::span<unsigned char const> bytes) {
    for (int done = 0; done < block.count;) {
        int const count = std::min(block.count - done, MODBUS_MAX_WRITE_REGISTERS);
        connection.transact(unit, write_registers_request(block.first + done, bytes.subspan(2 * static_cast<std::size_t>(done),
                                                                                             2 * static_cast<std::size_t>(count))));
        done += count;
    }
}

}  // namespace zelm::modbus
