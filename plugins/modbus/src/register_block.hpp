// Where the device operations' addresses point, and moving blocks of 16-bit
// registers as bytes (big-endian words, as the registers travel on the bus).
//
// An address below 0x10000 is a holding register; 0x10000 + n is input
// register n (read-only). Registers are counted from 0, as the protocol,
// libmodbus and pymodbus count them.
#pragma once

#include "connection.hpp"

#include <cstdint>
#include <span>

namespace zelm::modbus {

enum class RegisterTable { holding, input };

struct RegisterBlock {
    RegisterTable table = RegisterTable::holding;
    int first = 0;
    int count = 0;
};

inline constexpr unsigned int input_register_base = 0x10000;
inline constexpr unsigned int register_space = 0x10000;  // registers in each table

// The block of `length` bytes at `address`. Throws std::invalid_argument
// for an odd length and std::out_of_range for a block outside one table;
// `writing` refuses the read-only input registers (std::invalid_argument).
RegisterBlock block_at(unsigned int address, unsigned long length, bool writing);

// Reads the block into `bytes` (two a register, high byte first), in as
// many requests as the protocol's limits need. Throws TransactionError.
void read_block(Connection& connection, int unit, RegisterBlock const& block, std::span<unsigned char> bytes);

// Writes `bytes` (two a register, high byte first) to the block's holding
// registers, in as many requests as needed. Throws TransactionError.
void write_block(Connection& connection, int unit, RegisterBlock const& block, std::span<unsigned char const> bytes);

}  // namespace zelm::modbus
