// The read streams of a lab-wide device end with its ownership: once the
// lease is lost (or may have lapsed), the stream is stopped, the host's
// callback gets one Error naming the loss, and nothing of the device after
// it. Without this a stream's thread would go on reading a device that
// another host now owns.
//
// The fence stands between the plug-in's stream and the host's callback. It
// checks the lease before every event it passes on (a process resumed after
// a stop learns of the loss before any data does) and stops an idle stream
// from the notifier's thread when the lease is lost.
#pragma once

#include "cluster/inherited.hpp"
#include "cluster/lease.hpp"
#include "cluster/notifier.hpp"

#include <zelm/device.hpp>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace zelm::detail {

class StreamFence : public std::enable_shared_from_this<StreamFence> {
public:
    // Made through make_fence only.
    StreamFence(std::shared_ptr<Lease> lease, std::shared_ptr<Notifier> notifier,
                ::zelm::DataStream::Callback callback);
    StreamFence(StreamFence const&) = delete;
    StreamFence& operator=(StreamFence const&) = delete;

    // The callback to hand the device in place of the host's.
    ::zelm::DataStream::Callback gate();
    // The stream the device started; it is stopped when the ownership is
    // lost, also if it was lost before this call.
    void attach(Device::DataStream& stream);
    // Before the stream is destroyed: no stop() and no call of the host's
    // callback from the notifier starts after this returns, and one in
    // progress is waited for (unless this is the notifier's thread). Never
    // throws.
    void detach() noexcept;
    // After the stream is destroyed: destroys the host's callback on this
    // thread, as destroying the stream would have. Never throws.
    void drop_callback() noexcept;

private:
    friend std::shared_ptr<StreamFence> make_fence(std::shared_ptr<Lease> lease, std::shared_ptr<Notifier> notifier,
                                                   ::zelm::DataStream::Callback callback);

    void pass(::zelm::DataStream::Event&& event);
    // Called on the notifier's thread when the lease is lost.
    void end(std::string const& reason);
    // Delivers the loss's Error if it is due and nobody else is delivering;
    // `lock` is held on entry and on return.
    void deliver_loss(std::unique_lock<std::mutex>& lock);
    // Calls the host's callback with the lock released; `lock` is held on
    // entry and on return, also when the callback throws.
    void call_host(std::unique_lock<std::mutex>& lock, ::zelm::DataStream::Event&& event);

    Origin const origin_;
    std::shared_ptr<Lease> const lease_;
    std::shared_ptr<Notifier> const notifier_;
    std::optional<std::uint64_t> listener_;
    std::mutex mutex_;  // guards everything below; never held while calling out
    std::condition_variable idle_;
    ::zelm::DataStream::Callback callback_;
    Device::DataStream* stream_ = nullptr;
    std::optional<std::string> lost_;
    bool ended_ = false;       // the host has had its last event
    int delivering_ = 0;       // calls of the host's callback in progress
    bool ending_ = false;      // end() is stopping the stream or delivering the loss
    bool detached_ = false;
};

// A fence for a stream of a device owned under `lease`, listening to it.
// Throws std::bad_alloc only.
std::shared_ptr<StreamFence> make_fence(std::shared_ptr<Lease> lease, std::shared_ptr<Notifier> notifier,
                                        ::zelm::DataStream::Callback callback);

}  // namespace zelm::detail
