#include "modbus_device.hpp"

#include "identification.hpp"
#include "poll_stream.hpp"
#include "register_block.hpp"
#include "serial_port_info.hpp"

#include <zelm/plugin/utf8_text.hpp>

#include <fmt/format.h>

#include <cstdint>
#include <span>
#include <stdexcept>
#include <utility>

namespace zelm::modbus {
namespace {

constexpr unsigned int holding = 0;
constexpr unsigned int coil = 1;
constexpr unsigned int max_register_value = 0xffff;

int coil_address(unsigned int address) {
    if (address >= register_space) {
        throw std::out_of_range(fmt::format("modbus: coil {} is past the last coil, 65535", address));
    }
    return static_cast<int>(address);
}

// "ABC\0\0" read from registers, without the padding devices put after it.
std::string registers_as_text(std::span<unsigned char const> bytes) {
    std::string text(bytes.begin(), bytes.end());
    text.resize(std::min(text.find('\0'), text.size()));
    text.erase(text.find_last_not_of(' ') + 1);
    return plugin::as_utf8(text);
}

std::uint64_t registers_as_number(std::span<unsigned char const> bytes) {
    std::uint64_t number = 0;
    for (auto const byte : bytes) {
        number = (number << 8) | byte;
    }
    return number;
}

}  // namespace

ModbusDevice::ModbusDevice(BusConfig const& bus, BusIdentity const& identity, int unit, nlohmann::json listing)
    : bus_(bus),
      unit_(unit),
      listing_(std::move(listing)),
      connection_(std::make_shared<Connection>(bus, identity)) {}

int ModbusDevice::set_register(unsigned int address, unsigned int value, unsigned int operand) {
    if (operand == holding) {
        auto const block = block_at(address, 2, true);
        if (value > max_register_value) {
            throw std::out_of_range(
                fmt::format("modbus: {} does not fit a 16-bit register (0 to 65535)", value));
        }
        staged_.push_back({.coil = false, .address = block.first, .value = static_cast<std::uint16_t>(value)});
    } else if (operand == coil) {
        if (value > 1) {
            throw std::invalid_argument(fmt::format("modbus: a coil is 0 or 1, not {}", value));
        }
        staged_.push_back({.coil = true, .address = coil_address(address), .value = static_cast<std::uint16_t>(value)});
    } else {
        throw std::invalid_argument(
            fmt::format("modbus: operand {} selects nothing; 0 is a holding register, 1 a coil", operand));
    }
    return 0;
}

void ModbusDevice::send(StagedWrite const& write) {
    connection_->transact(unit_, write.coil ? write_coil_request(write.address, write.value != 0)
                                            : write_register_request(write.address, write.value));
}

// In the order staged; the first failure throws and drops the rest.
int ModbusDevice::send_registers() {
    auto const writes = std::exchange(staged_, {});
    for (auto const& write : writes) {
        send(write);
    }
    return 0;
}

unsigned int ModbusDevice::get_register(unsigned int address) {
    std::array<unsigned char, 2> bytes{};
    read_block(*connection_, unit_, block_at(address, bytes.size(), false), bytes);
    return (static_cast<unsigned int>(bytes[0]) << 8) | bytes[1];
}

int ModbusDevice::read_registers() {
    connection_->connect();
    return 0;
}

int ModbusDevice::trigger(unsigned int address, int operand) {
    connection_->transact(unit_, write_coil_request(coil_address(address), operand != 0));
    return 0;
}

int ModbusDevice::write(unsigned int address, unsigned long length, unsigned char const* data) {
    auto const block = block_at(address, length, true);
    write_block(*connection_, unit_, block, {data, length});
    return 0;
}

int ModbusDevice::read(unsigned int address, unsigned long length, unsigned char* data) {
    auto const block = block_at(address, length, false);
    read_block(*connection_, unit_, block, {data, length});
    return 0;
}

std::unique_ptr<Device::DataStream> ModbusDevice::start_read_stream(unsigned int address,
                                                                    ::zelm::DataStream::Callback&& callback,
                                                                    unsigned long size) {
    auto const block = block_at(address, size, false);
    if (block.count == 0) {
        throw std::invalid_argument("modbus: a read stream needs at least one register (2 bytes)");
    }
    return std::make_unique<PollStream>(connection_, unit_, block, bus_.poll_interval, std::move(callback));
}

TextResult ModbusDevice::get_status() {
    auto status = connection_->statistics().to_json();
    status["API"] = "modbus/1";
    status["Bus"] = connection_->bus_name();
    status["Unit"] = unit_;
    if (!listing_.is_null()) {
        status["Bus listing"] = listing_;
    }
    return status.dump();
}

void ModbusDevice::add_serial_number(nlohmann::json& info, IdentificationObjects const* objects) {
    auto const& source = bus_.serial_number;
    if (!source) {
        return;
    }
    if (source->object) {
        if (objects != nullptr && objects->contains(*source->object)) {
            info["Serial Number"] = plugin::as_utf8(objects->at(*source->object));
        }
        return;
    }
    std::vector<unsigned char> bytes(2 * static_cast<std::size_t>(source->register_count));
    try {
        read_block(*connection_, unit_, {RegisterTable::holding, source->first_register, source->register_count},
                   bytes);
    } catch (TransactionError const& error) {
        // A unit that answers, but not with this source (a configuration
        // made for other devices on the bus), still has its information.
        if (error.kind() != TransactionError::Kind::exception) {
            throw;
        }
        info["Serial Number Error"] = error.what();
        return;
    }
    if (source->format == SerialNumberSource::Format::number) {
        info["Serial Number"] = registers_as_number(bytes);
    } else if (auto text = registers_as_text(bytes); !text.empty()) {
        info["Serial Number"] = std::move(text);
    }
}

TextResult ModbusDevice::get_info() {
    try {
        nlohmann::json info{
            {"Bus", connection_->bus_name()}, {"Bus as configured", bus_.name()}, {"Unit", unit_}};
        if (auto const name = bus_.unit_names.find(unit_); name != bus_.unit_names.end()) {
            info["Name"] = name->second;
        }
        auto const identification = read_identification(*connection_, unit_);
        if (!identification) {
            info["Identification"] = "none: the unit answers function 43/14 with \"illegal function\"";
        } else if (!identification->complete) {
            info["Identification"] =
                fmt::format("incomplete: the unit still had more objects after {} ms",
                            identification_time(connection_->timeout()).count());
        }
        if (identification) {
            for (auto const& [id, value] : identification->objects) {
                info[object_name(id)] = plugin::as_utf8(value);
            }
        }
        if (bus_.transport == Transport::rtu) {
            info.update(usb_details(bus_.port));
        }
        add_serial_number(info, identification ? &identification->objects : nullptr);
        return info.dump();
    } catch (std::runtime_error const& error) {
        return std::unexpected(std::string(error.what()));
    }
}

}  // namespace zelm::modbus
