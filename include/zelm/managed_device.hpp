// A device that owns its ownership lock and keeps its manager loaded for as
// long as it lives. Made by DeviceManager::open_managed_device (lock first,
// then open) or DeviceManager::manage_device (a device already opened).
#pragma once

#include <zelm/device.hpp>
#include <zelm/device_manager.hpp>
#include <zelm/export.hpp>
#include <zelm/lock.hpp>

#include <memory>
#include <string>

namespace zelm {

// Forwards every operation to the wrapped device unchanged (results and
// exceptions alike). set_register_sync and get_register_sync are the
// interface's defaults, built from the forwarding operations.
//
// Destruction order: the lock is released, then the device destroyed, then
// the manager dropped (which may unload the plug-in), so plug-in code never
// outlives its library.
class ZELM_API ManagedDevice : public Device {
public:
    // A stream that keeps the manager loaded until the wrapped stream is
    // destroyed; it may outlive the device that started it, but holds no lock.
    class ZELM_API ManagedDataStream : public Device::DataStream {
    public:
        ManagedDataStream(std::shared_ptr<DeviceManager> owner, std::unique_ptr<Device::DataStream> wrapped);
        ~ManagedDataStream() override;
        int stop() override;
        int wait_stop() override;

    private:
        std::shared_ptr<DeviceManager> manager;
        std::unique_ptr<Device::DataStream> stream;
    };

    // Only DeviceManager::manage_device builds one. Throws what
    // detail::acquire_device_ownership_lock throws and what the manager's
    // get_path throws.
    __attribute__((visibility("hidden"))) ManagedDevice(std::unique_ptr<Device> wrapped,
                                                        std::shared_ptr<DeviceManager> owner,
                                                        std::string const& description);
    // The same for a device whose ownership lock `held` the caller already
    // took (DeviceManager::open_managed_device).
    __attribute__((visibility("hidden"))) ManagedDevice(std::unique_ptr<Device> wrapped,
                                                        std::shared_ptr<DeviceManager> owner,
                                                        std::shared_ptr<detail::OwnershipLock> held);
    ~ManagedDevice() override;

    int set_register(unsigned int address, unsigned int value, unsigned int operand) override;
    int send_registers() override;
    unsigned int get_register(unsigned int address) override;
    int read_registers() override;
    int trigger(unsigned int address, int operand) override;
    int write(unsigned int address, unsigned long length, unsigned char const* data) override;
    int read(unsigned int address, unsigned long length, unsigned char* data) override;
    // Empty when the wrapped device started no stream. Throws std::bad_weak_ptr
    // when the manager is no longer owned by a shared handle.
    std::unique_ptr<Device::DataStream> start_read_stream(unsigned int address, ::zelm::DataStream::Callback&& callback,
                                                          unsigned long size) override;
    TextResult get_status() override;
    TextResult get_info() override;

private:
    // Declaration order is construction order; destruction runs backwards.
    std::shared_ptr<DeviceManager> manager;
    std::unique_ptr<Device> device;
    std::shared_ptr<detail::OwnershipLock> lock;
};

}  // namespace zelm
