#include "register_block.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <stdexcept>

namespace zelm::modbus {
namespace {

Request read_request(RegisterBlock const& block, int first, int count) {
    auto const code =
        block.table == RegisterTable::holding ? function::read_holding_registers : function::read_input_registers;
    return {code, first, count};
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
    std::array<std::uint16_t, MODBUS_MAX_READ_REGISTERS> words{};
    for (int done = 0; done < block.count;) {
        int const count = std::min(block.count - done, MODBUS_MAX_READ_REGISTERS);
        int const first = block.first + done;
        connection.transact(unit, read_request(block, first, count), [&](modbus_t* context) {
            return block.table == RegisterTable::holding ? modbus_read_registers(context, first, count, words.data())
                                                         : modbus_read_input_registers(context, first, count,
                                                                                       words.data());
        });
        for (int i = 0; i < count; ++i) {
            bytes[2 * static_cast<std::size_t>(done + i)] = static_cast<unsigned char>(words[i] >> 8);
            bytes[2 * static_cast<std::size_t>(done + i) + 1] = static_cast<unsigned char>(words[i] & 0xff);
        }
        done += count;
    }
}

void write_block(Connection& connection, int unit, RegisterBlock const& block, std::span<unsigned char const> bytes) {
    std::array<std::uint16_t, MODBUS_MAX_WRITE_REGISTERS> words{};
    for (int done = 0; done < block.count;) {
        int const count = std::min(block.count - done, MODBUS_MAX_WRITE_REGISTERS);
        int const first = block.first + done;
        for (int i = 0; i < count; ++i) {
            auto const at = 2 * static_cast<std::size_t>(done + i);
            words[i] = static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
        }
        connection.transact(unit, {function::write_multiple_registers, first, count},
                            [&](modbus_t* context) { return modbus_write_registers(context, first, count, words.data()); });
        done += count;
    }
}

}  // namespace zelm::modbus
