// One Modbus unit on one bus, driven through the device interface:
//
//   get_register_sync(a)        read holding register a (function 3), or input
//                               register a - 0x10000 (function 4)
//   set_register_sync(a, v, 0)  write holding register a (function 6)
//   set_register_sync(a, v, 1)  write coil a, v 0 or 1 (function 5)
//   read(a, n, data)            n bytes from the registers at a (functions 3/4)
//   write(a, n, data)           n bytes to the holding registers at a (function 16)
//   trigger(a, operand)         write coil a: on when operand is not 0 (function 5)
//   start_read_stream(a, cb, n) n bytes at a, read at the bus's poll interval
//
// Blocks are big-endian words; n must be even. Refused arguments throw
// std::invalid_argument or std::out_of_range before anything is sent; bus
// failures and exception responses throw TransactionError (a
// std::runtime_error) naming the function, address, unit and bus. Every
// operation returns 0 when it did not throw.
//
// A device may be called from several threads: its transactions are
// serialised by its connection.
#pragma once

#include "bus_config.hpp"
#include "bus_identity.hpp"
#include "connection.hpp"
#include "identification.hpp"

#include <zelm/device.hpp>

#include <nlohmann/json.hpp>

#include <memory>
#include <vector>

namespace zelm::modbus {

class ModbusDevice final : public Device {
public:
    // The unit `unit` of the bus that `identity` names. `listing`: what the
    // manager's last listing of the bus found, shown in the status (null when
    // this process has not listed the bus).
    ModbusDevice(BusConfig const& bus, BusIdentity const& identity, int unit, nlohmann::json listing);

    int set_register(unsigned int address, unsigned int value, unsigned int operand) override;
    int send_registers() override;
    unsigned int get_register(unsigned int address) override;
    // Opens the connection when it is not open; throws std::runtime_error
    // when it cannot.
    int read_registers() override;
    int trigger(unsigned int address, int operand) override;
    int write(unsigned int address, unsigned long length, unsigned char const* data) override;
    int read(unsigned int address, unsigned long length, unsigned char* data) override;
    std::unique_ptr<DataStream> start_read_stream(unsigned int address, ::zelm::DataStream::Callback&& callback,
                                                  unsigned long size) override;
    TextResult get_status() override;
    TextResult get_info() override;

private:
    // A write staged by set_register, sent by send_registers.
    struct StagedWrite {
        bool coil = false;
        int address = 0;
        std::uint16_t value = 0;
    };

    void send(StagedWrite const& write);
    // `objects`: the unit's identification, none without one.
    void add_serial_number(nlohmann::json& info, IdentificationObjects const* objects);

    BusConfig bus_;
    int unit_;
    nlohmann::json listing_;
    std::shared_ptr<Connection> connection_;  // shared with the device's streams
    std::vector<StagedWrite> staged_;
};

}  // namespace zelm::modbus
