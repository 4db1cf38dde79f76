// ManagedDevice: a device that owns its ownership lock and keeps its manager
// (and so its plug-in's code) alive, forwarding every operation unchanged.
#include <zelm/managed_device.hpp>

#include "locking/lock_identity.hpp"

#include <stdexcept>

namespace zelm {

std::unique_ptr<Device> DeviceManager::manage_device(std::unique_ptr<Device> device, std::string const& description) {
    auto self = shared_from_this();
    return std::make_unique<ManagedDevice>(std::move(device), std::move(self), description);
}

std::unique_ptr<ManagedDevice> DeviceManager::open_managed_device(std::string const& description) {
    auto self = shared_from_this();
    auto const value = detail::parse_description(description);
    auto const compact = value.dump();
    auto lock = std::make_shared<detail::OwnershipLock>(detail::make_lock_id_from_text(get_path().native(), compact),
                                                        true);
    auto device = open_device(compact);
    if (!device) {
        throw std::runtime_error("Device Manager returned no device: " + compact);
    }
    return std::make_unique<ManagedDevice>(std::move(device), std::move(self), std::move(lock));
}

ManagedDevice::ManagedDevice(std::unique_ptr<Device> wrapped, std::shared_ptr<DeviceManager> owner,
                             std::shared_ptr<detail::OwnershipLock> held)
    : manager(std::move(owner)), device(std::move(wrapped)), lock(std::move(held)) {}

ManagedDevice::ManagedDevice(std::unique_ptr<Device> wrapped, std::shared_ptr<DeviceManager> owner,
                             std::string const& description)
    : manager(std::move(owner)), device(std::move(wrapped)) {
    lock = detail::acquire_device_ownership_lock(manager->get_path().native(), description);
}

// Members go in reverse order: lock released, device destroyed, manager dropped.
ManagedDevice::~ManagedDevice() = default;

int ManagedDevice::set_register(unsigned int address, unsigned int value, unsigned int operand) {
    return device->set_register(address, value, operand);
}

int ManagedDevice::send_registers() { return device->send_registers(); }

unsigned int ManagedDevice::get_register(unsigned int address) { return device->get_register(address); }

int ManagedDevice::read_registers() { return device->read_registers(); }

int ManagedDevice::trigger(unsigned int address, int operand) { return device->trigger(address, operand); }

int ManagedDevice::write(unsigned int address, unsigned long length, unsigned char const* data) {
    return device->write(address, length, data);
}

int ManagedDevice::read(unsigned int address, unsigned long length, unsigned char* data) {
    return device->read(address, length, data);
}

std::unique_ptr<Device::DataStream> ManagedDevice::start_read_stream(unsigned int address,
                                                                     ::zelm::DataStream::Callback&& callback,
                                                                     unsigned long size) {
    auto stream = device->start_read_stream(address, std::move(callback), size);
    if (!stream) {
        return {};
    }
    return std::make_unique<ManagedDataStream>(manager->shared_from_this(), std::move(stream));
}

TextResult ManagedDevice::get_status() { return device->get_status(); }

TextResult ManagedDevice::get_info() { return device->get_info(); }

ManagedDevice::ManagedDataStream::ManagedDataStream(std::shared_ptr<DeviceManager> owner,
                                                    std::unique_ptr<Device::DataStream> wrapped)
    : manager(std::move(owner)), stream(std::move(wrapped)) {}

// The wrapped stream goes before the manager, whose plug-in holds its code.
ManagedDevice::ManagedDataStream::~ManagedDataStream() = default;

int ManagedDevice::ManagedDataStream::stop() { return stream->stop(); }

int ManagedDevice::ManagedDataStream::wait_stop() { return stream->wait_stop(); }

}  // namespace zelm
