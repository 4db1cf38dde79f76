// The example family's device. Register and memory operations report a bad
// address by result code 1; get_register, which has no result code, throws.
#include "counter_device.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <stdexcept>
#include <utility>
#include <vector>

namespace example {
namespace {

// The stream of this device delivers all its data before start_read_stream
// returns, so there is nothing left to stop. A device that produces data on
// a thread of its own must end and join that thread in stop, wait_stop and
// its destructor: the plug-in may be unloaded right after the handle is gone.
class FinishedStream : public zelm::Device::DataStream {
public:
    int stop() override { return 0; }
    int wait_stop() override { return 0; }
};

}  // namespace

CounterDevice::CounterDevice(std::string serial) : serial_(std::move(serial)) {}

int CounterDevice::set_register(unsigned int address, unsigned int value, unsigned int /*operand*/) {
    if (address >= register_count) {
        return 1;
    }
    staged_[address] = value;
    return 0;
}

int CounterDevice::send_registers() {
    registers_ = staged_;
    return 0;
}

unsigned int CounterDevice::get_register(unsigned int address) {
    if (address >= register_count) {
        throw std::out_of_range("example counter " + serial_ + ": no register " + std::to_string(address));
    }
    return snapshot_[address];
}

int CounterDevice::read_registers() {
    snapshot_ = registers_;
    return 0;
}

int CounterDevice::trigger(unsigned int /*address*/, int /*operand*/) {
    ++triggers_;
    return 0;
}

bool CounterDevice::in_memory(unsigned int address, unsigned long length) const {
    return address <= memory_size && length <= memory_size - address;
}

int CounterDevice::write(unsigned int address, unsigned long length, unsigned char const* data) {
    if (!in_memory(address, length)) {
        return 1;
    }
    std::copy_n(data, length, memory_.begin() + address);
    return 0;
}

int CounterDevice::read(unsigned int address, unsigned long length, unsigned char* data) {
    if (!in_memory(address, length)) {
        return 1;
    }
    std::copy_n(memory_.begin() + address, length, data);
    return 0;
}

std::unique_ptr<zelm::Device::DataStream> CounterDevice::start_read_stream(unsigned int address,
                                                                          zelm::DataStream::Callback&& callback,
                                                                          unsigned long size) {
    if (!in_memory(address, size)) {
        return nullptr;  // no stream started
    }
    auto const first = memory_.begin() + address;
    callback(zelm::DataStream::Events::OwnedData{std::vector<unsigned char>(first, first + static_cast<long>(size))});
    callback(zelm::DataStream::Events::Stop{});
    return std::make_unique<FinishedStream>();
}

zelm::TextResult CounterDevice::get_info() {
    nlohmann::json const info{
        {"Serial Number", serial_},
        {"Model", "example counter"},
        {"Registers", register_count},
        {"Memory", memory_size},
    };
    return info.dump();
}

zelm::TextResult CounterDevice::get_status() {
    nlohmann::json const status{{"API", "example-counter/1"}, {"Triggers", triggers_}};
    return status.dump();
}

}  // namespace example
