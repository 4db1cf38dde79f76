// The simulated device's operations. Latencies are slept outside the lock,
// so that a slow query does not hold up other operations on the device.
#include "sim_device.hpp"

#include "sim_stream.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>
#include <thread>
#include <utility>

namespace zelm::sim {
namespace {

std::vector<unsigned char> configured_memory(std::size_t size) {
    std::vector<unsigned char> memory(size);
    for (std::size_t i = 0; i < size; ++i) {
        memory[i] = configured_memory_byte(i);
    }
    return memory;
}

void sleep_for(Milliseconds latency) {
    if (latency > Milliseconds::zero()) {
        std::this_thread::sleep_for(std::chrono::duration_cast<std::chrono::nanoseconds>(latency));
    }
}

}  // namespace

SimDevice::SimDevice(std::shared_ptr<DeviceConfig const> config)
    : config_(std::move(config)),
      registers_(config_->registers),
      snapshot_(config_->registers),
      memory_(configured_memory(config_->memory_size)) {}

void SimDevice::load_state() {
    if (std::exchange(state_loaded_, true) || !config_->keep_state) {
        return;
    }
    state_ = DeviceState::open(*config_);
    if (state_) {
        state_->load(registers_, memory_);
        snapshot_ = registers_;
    }
}

void SimDevice::save_state() const {
    if (state_) {
        state_->save(registers_, memory_);
    }
}

int SimDevice::set_register(unsigned int address, unsigned int value, unsigned int /*operand*/) {
    std::lock_guard lock(mutex_);
    load_state();
    if (address >= registers_.size()) {
        return 1;
    }
    staged_[address] = value;
    return 0;
}

int SimDevice::send_registers() {
    std::lock_guard lock(mutex_);
    load_state();
    if (staged_.empty()) {
        return 0;
    }
    for (auto const& [address, value] : staged_) {
        registers_[address] = value;
    }
    staged_.clear();
    save_state();
    return 0;
}

unsigned int SimDevice::get_register(unsigned int address) {
    std::lock_guard lock(mutex_);
    load_state();
    if (address >= snapshot_.size()) {
        throw std::out_of_range(fmt::format("sim device {}: register {} is beyond the register count {}",
                                            config_->description.dump(), address, snapshot_.size()));
    }
    return snapshot_[address];
}

int SimDevice::read_registers() {
    std::lock_guard lock(mutex_);
    load_state();
    snapshot_ = registers_;
    return 0;
}

int SimDevice::trigger(unsigned int /*address*/, int /*operand*/) {
    std::lock_guard lock(mutex_);
    ++triggers_;
    return 0;
}

bool SimDevice::in_memory(unsigned int address, unsigned long length) const {
    return address <= memory_.size() && length <= memory_.size() - address;
}

int SimDevice::write(unsigned int address, unsigned long length, unsigned char const* data) {
    std::lock_guard lock(mutex_);
    load_state();
    if (!in_memory(address, length) || (data == nullptr && length != 0)) {
        return 1;
    }
    if (length != 0) {
        std::copy_n(data, length, memory_.begin() + address);
        save_state();
    }
    return 0;
}

int SimDevice::read(unsigned int address, unsigned long length, unsigned char* data) {
    std::lock_guard lock(mutex_);
    load_state();
    if (!in_memory(address, length) || (data == nullptr && length != 0)) {
        return 1;
    }
    std::copy_n(memory_.begin() + address, length, data);
    return 0;
}

std::unique_ptr<Device::DataStream> SimDevice::start_read_stream(unsigned int address,
                                                                 ::zelm::DataStream::Callback&& callback,
                                                                 unsigned long size) {
    StreamPlan plan{
        .source = {},
        .total = size,
        .chunk_size = config_->stream.chunk_size,
        .chunks_per_second = config_->stream.chunks_per_second,
        .error = config_->faults.stream_error,
        .error_after = config_->faults.stream_error_after,
    };
    {
        std::lock_guard lock(mutex_);
        load_state();
        if (address >= memory_.size() || !callback) {
            return nullptr;
        }
        // Rotated so that the stream's first byte is the one at `address`.
        plan.source.reserve(memory_.size());
        plan.source.insert(plan.source.end(), memory_.begin() + address, memory_.end());
        plan.source.insert(plan.source.end(), memory_.begin(), memory_.begin() + address);
    }
    return std::make_unique<SimStream>(std::move(plan), std::move(callback));
}

TextResult SimDevice::get_status() {
    if (config_->faults.get_status_error) {
        return std::unexpected(*config_->faults.get_status_error);
    }
    auto status = config_->status;
    std::lock_guard lock(mutex_);
    status["Triggers"] = triggers_;
    return status.dump();
}

TextResult SimDevice::get_info() {
    sleep_for(config_->get_info_latency);
    auto const& faults = config_->faults;
    if (faults.get_info_error) {
        return std::unexpected(*faults.get_info_error);
    }
    if (faults.info_not_json) {
        // What a device with broken firmware might print instead.
        return fmt::format("Serial Number: {} (firmware answered in plain text)",
                           config_->description.at("serial").dump());
    }
    return config_->info.dump();
}

}  // namespace zelm::sim
