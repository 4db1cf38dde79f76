// A device that owns its ownership lock and keeps its manager loaded for as
// long as it lives. Made by DeviceManager::open_managed_device (lock first,
// then open) or DeviceManager::manage_device (a device already opened).
#pragma once

#include <zelm/device.hpp>
#include <zelm/device_manager.hpp>
#include <zelm/export.hpp>
#include <zelm/lock.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace zelm {

namespace detail {
class LabClaim;     // the device's key in the cluster (<zelm/cluster.hpp>)
class StreamFence;  // ends a lab-wide device's stream with its ownership
}

// Forwards every operation to the wrapped device unchanged (results and
// exceptions alike). A lab-wide device owned in a cluster (<zelm/cluster.hpp>)
// first checks that its ownership still holds: once it is lost, or may have
// lapsed, every operation throws zelm::cluster::OwnershipLostError instead
// of reaching the device. set_register_sync and get_register_sync are the
// interface's defaults, built from the forwarding operations.
//
// Destruction order: the lock is released, then the device destroyed, then
// the manager dropped (which may unload the plug-in), so plug-in code never
// outlives its library.
class ZELM_API ManagedDevice : public Device {
public:
    // A stream that keeps the manager loaded until the wrapped stream is
    // destroyed.
    //
    // It may outlive the device that started it, but it holds no lock: from
    // the moment the ManagedDevice is destroyed the device counts as free for
    // every process, while such a stream, if not stopped, goes on reading it.
    // Stop and destroy a device's streams before the device.
    //
    // A stream of a lab-wide device owned in a cluster ends with the
    // ownership: once it is lost (or may have lapsed) the stream is stopped,
    // its callback gets one Error event naming the loss ("Lab-wide ownership
    // lost: ...") and no data after it.
    class ZELM_API ManagedDataStream : public Device::DataStream {
    public:
        ManagedDataStream(std::shared_ptr<DeviceManager> owner, std::unique_ptr<Device::DataStream> wrapped);
        // The same for a lab-wide device's stream, which `fence` ends with its
        // ownership.
        __attribute__((visibility("hidden"))) ManagedDataStream(std::shared_ptr<DeviceManager> owner,
                                                                std::unique_ptr<Device::DataStream> wrapped,
                                                                std::shared_ptr<detail::StreamFence> fence);
        ~ManagedDataStream() override;
        int stop() override;
        int wait_stop() override;

    private:
        std::shared_ptr<DeviceManager> manager;
        std::unique_ptr<Device::DataStream> stream;
        std::shared_ptr<detail::StreamFence> fence;  // none for a device that is not lab-wide
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
    // The same with the device's lab-wide claim, which the caller also took.
    __attribute__((visibility("hidden"))) ManagedDevice(std::unique_ptr<Device> wrapped,
                                                        std::shared_ptr<DeviceManager> owner,
                                                        std::shared_ptr<detail::OwnershipLock> held,
                                                        std::unique_ptr<detail::LabClaim> claim);
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

    // Lab-wide ownership (<zelm/cluster.hpp>). A device that is not owned in
    // a cluster is never lost.
    using OwnershipLostCallback = std::function<void(std::string const& reason)>;
    // True when the device is owned through the cluster. Never throws.
    bool lab_wide() const noexcept;
    // Why the device's lab-wide ownership is lost (or may have lapsed); none
    // while it holds. Throws std::bad_alloc only.
    std::optional<std::string> ownership_lost() const;
    // Calls `callback` once, with the reason, when the ownership is lost: on
    // a thread of the library's own that runs such callbacks one at a time,
    // never the cluster's keep-alive thread nor a thread calling the device,
    // so the callback may block, destroy devices or leave the cluster without
    // harm to any other device. When the ownership is lost already (in a
    // process forked from the owner it is lost from the start), at once on
    // this thread. Replaces an earlier callback; the device's destruction
    // waits for a call in progress on another thread. Does nothing for a
    // device that is not lab-wide. Throws std::bad_alloc only.
    void on_ownership_lost(OwnershipLostCallback callback);

private:
    // Throws cluster::OwnershipLostError when a lab-wide ownership is lost.
    void check_ownership() const;
    // A lab-wide device's stream, behind a fence that ends it with the
    // ownership.
    std::unique_ptr<Device::DataStream> start_fenced_stream(unsigned int address,
                                                            ::zelm::DataStream::Callback&& callback,
                                                            unsigned long size);

    // Declaration order is construction order; destruction runs backwards.
    std::shared_ptr<DeviceManager> manager;
    std::unique_ptr<Device> device;
    std::shared_ptr<detail::OwnershipLock> lock;
    // Released first: the key goes before the local lock.
    std::unique_ptr<detail::LabClaim> lab_claim;
};

}  // namespace zelm
