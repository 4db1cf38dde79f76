// ManagedDevice: a device that owns its ownership lock and keeps its manager
// (and so its plug-in's code) alive, forwarding every operation unchanged.
#include <zelm/managed_device.hpp>

#include <zelm/cluster.hpp>

#include "cluster/lab_claim.hpp"
#include "cluster/stream_fence.hpp"
#include "loader/plugin_pin.hpp"
#include "locking/lock_identity.hpp"
#include "ownership/open_device.hpp"

namespace zelm {

std::unique_ptr<Device> DeviceManager::manage_device(std::unique_ptr<Device> device, std::string const& description) {
    auto self = shared_from_this();
    return std::make_unique<ManagedDevice>(std::move(device), std::move(self), description);
}

std::unique_ptr<ManagedDevice> DeviceManager::open_managed_device(std::string const& description) {
    auto self = shared_from_this();
    auto const value = detail::parse_description(description);
    auto const compact = value.dump();
    // A plug-in's own exception type needs the plug-in loaded while it lives,
    // also when the caller's handle to this manager goes during unwinding.
    auto const path = detail::pinning_on_exception(*this, [&] { return get_path(); });
    auto lock = std::make_shared<detail::OwnershipLock>(detail::make_lock_id_from_text(path.native(), compact), true);
    auto claim = detail::claim_if_lab_wide(*this, path.native(), compact);
    auto device = detail::pinning_on_exception(*this, [&] { return detail::open_device_checked(*this, compact); });
    return std::make_unique<ManagedDevice>(std::move(device), std::move(self), std::move(lock), std::move(claim));
}

ManagedDevice::ManagedDevice(std::unique_ptr<Device> wrapped, std::shared_ptr<DeviceManager> owner,
                             std::shared_ptr<detail::OwnershipLock> held)
    : manager(std::move(owner)), device(std::move(wrapped)), lock(std::move(held)) {}

ManagedDevice::ManagedDevice(std::unique_ptr<Device> wrapped, std::shared_ptr<DeviceManager> owner,
                             std::shared_ptr<detail::OwnershipLock> held, std::unique_ptr<detail::LabClaim> claim)
    : manager(std::move(owner)), device(std::move(wrapped)), lock(std::move(held)), lab_claim(std::move(claim)) {}

ManagedDevice::ManagedDevice(std::unique_ptr<Device> wrapped, std::shared_ptr<DeviceManager> owner,
                             std::string const& description)
    : manager(std::move(owner)), device(std::move(wrapped)) {
    auto const path = detail::pinning_on_exception(*manager, [&] { return manager->get_path(); });
    lock = detail::acquire_device_ownership_lock(path.native(), description);
    if (lock) {
        lab_claim = detail::claim_if_lab_wide(*manager, path.native(), detail::parse_description(description).dump());
    }
}

// Members go in reverse order: lab-wide key deleted, lock released, device
// destroyed, manager dropped.
ManagedDevice::~ManagedDevice() = default;

bool ManagedDevice::lab_wide() const noexcept { return lab_claim != nullptr; }

std::optional<std::string> ManagedDevice::ownership_lost() const {
    return lab_claim ? lab_claim->lost_reason() : std::nullopt;
}

void ManagedDevice::on_ownership_lost(OwnershipLostCallback callback) {
    if (lab_claim) {
        lab_claim->on_lost(std::move(callback));
    }
}

void ManagedDevice::check_ownership() const {
    if (lab_claim) {
        lab_claim->check();
    }
}

// Every forwarded call pins the plug-in should it throw: the host may drop
// this device, and with it the last manager handle, while the exception,
// whose type may be the plug-in's, is still in flight.

int ManagedDevice::set_register(unsigned int address, unsigned int value, unsigned int operand) {
    check_ownership();
    return detail::pinning_on_exception(*manager, [&] { return device->set_register(address, value, operand); });
}

int ManagedDevice::send_registers() {
    check_ownership();
    return detail::pinning_on_exception(*manager, [&] { return device->send_registers(); });
}

unsigned int ManagedDevice::get_register(unsigned int address) {
    check_ownership();
    return detail::pinning_on_exception(*manager, [&] { return device->get_register(address); });
}

int ManagedDevice::read_registers() {
    check_ownership();
    return detail::pinning_on_exception(*manager, [&] { return device->read_registers(); });
}

int ManagedDevice::trigger(unsigned int address, int operand) {
    check_ownership();
    return detail::pinning_on_exception(*manager, [&] { return device->trigger(address, operand); });
}

int ManagedDevice::write(unsigned int address, unsigned long length, unsigned char const* data) {
    check_ownership();
    return detail::pinning_on_exception(*manager, [&] { return device->write(address, length, data); });
}

int ManagedDevice::read(unsigned int address, unsigned long length, unsigned char* data) {
    check_ownership();
    return detail::pinning_on_exception(*manager, [&] { return device->read(address, length, data); });
}

std::unique_ptr<Device::DataStream> ManagedDevice::start_read_stream(unsigned int address,
                                                                     ::zelm::DataStream::Callback&& callback,
                                                                     unsigned long size) {
    check_ownership();
    if (lab_claim) {
        return start_fenced_stream(address, std::move(callback), size);
    }
    auto stream = detail::pinning_on_exception(
        *manager, [&] { return device->start_read_stream(address, std::move(callback), size); });
    if (!stream) {
        return {};
    }
    return std::make_unique<ManagedDataStream>(manager->shared_from_this(), std::move(stream));
}

namespace {

// A lab-wide device's stream until its wrapper owns it; unwinding, it lets go
// in the wrapper's order.
struct StartingStream {
    std::shared_ptr<detail::StreamFence> fence;
    std::unique_ptr<Device::DataStream> stream;

    explicit StartingStream(std::shared_ptr<detail::StreamFence> made) : fence(std::move(made)) {}
    StartingStream(StartingStream const&) = delete;
    StartingStream& operator=(StartingStream const&) = delete;
    ~StartingStream() {
        if (fence) {
            fence->detach();
            stream.reset();
            fence->drop_callback();
        }
    }
};

}  // namespace

std::unique_ptr<Device::DataStream> ManagedDevice::start_fenced_stream(unsigned int address,
                                                                       ::zelm::DataStream::Callback&& callback,
                                                                       unsigned long size) {
    StartingStream starting(lab_claim->fence_stream(std::move(callback)));
    starting.stream = detail::pinning_on_exception(
        *manager, [&] { return device->start_read_stream(address, starting.fence->gate(), size); });
    if (!starting.stream) {
        return {};
    }
    starting.fence->attach(*starting.stream);
    return std::make_unique<ManagedDataStream>(manager->shared_from_this(), std::move(starting.stream),
                                               std::move(starting.fence));
}

TextResult ManagedDevice::get_status() {
    check_ownership();
    return detail::pinning_on_exception(*manager, [&] { return device->get_status(); });
}

TextResult ManagedDevice::get_info() {
    check_ownership();
    return detail::pinning_on_exception(*manager, [&] { return device->get_info(); });
}

ManagedDevice::ManagedDataStream::ManagedDataStream(std::shared_ptr<DeviceManager> owner,
                                                    std::unique_ptr<Device::DataStream> wrapped)
    : manager(std::move(owner)), stream(std::move(wrapped)) {}

ManagedDevice::ManagedDataStream::ManagedDataStream(std::shared_ptr<DeviceManager> owner,
                                                    std::unique_ptr<Device::DataStream> wrapped,
                                                    std::shared_ptr<detail::StreamFence> ending)
    : manager(std::move(owner)), stream(std::move(wrapped)), fence(std::move(ending)) {}

// The wrapped stream goes before the manager, whose plug-in holds its code;
// a fence lets go of the stream before it goes, and of the host's callback
// after, so the callback is destroyed here, as the stream would destroy it.
ManagedDevice::ManagedDataStream::~ManagedDataStream() {
    if (fence) {
        fence->detach();
    }
    stream.reset();
    if (fence) {
        fence->drop_callback();
    }
}

int ManagedDevice::ManagedDataStream::stop() {
    return detail::pinning_on_exception(*manager, [&] { return stream->stop(); });
}

int ManagedDevice::ManagedDataStream::wait_stop() {
    return detail::pinning_on_exception(*manager, [&] { return stream->wait_stop(); });
}

}  // namespace zelm
