#include "cluster/stream_fence.hpp"

#include <zelm/cluster.hpp>

#include <variant>

namespace zelm::detail {
namespace {

namespace Events = ::zelm::DataStream::Events;

bool ends_stream(::zelm::DataStream::Event const& event) {
    return std::holds_alternative<Events::Stop>(event) || std::holds_alternative<Events::Error>(event);
}

}  // namespace

StreamFence::StreamFence(std::shared_ptr<Lease> lease, std::shared_ptr<Notifier> notifier,
                         ::zelm::DataStream::Callback callback)
    : lease_(std::move(lease)), notifier_(std::move(notifier)), callback_(std::move(callback)) {}

std::shared_ptr<StreamFence> make_fence(std::shared_ptr<Lease> lease, std::shared_ptr<Notifier> notifier,
                                        ::zelm::DataStream::Callback callback) {
    auto fence = std::make_shared<StreamFence>(std::move(lease), std::move(notifier), std::move(callback));
    // Weak: a lease outlives the streams of its devices.
    std::weak_ptr<StreamFence> const weak = fence;
    fence->listener_ = fence->lease_->listen([weak](std::string const& reason) {
        if (auto const alive = weak.lock()) {
            alive->notifier_->post([alive, reason] { alive->end(reason); });
        }
    });
    return fence;
}

::zelm::DataStream::Callback StreamFence::gate() {
    return [self = shared_from_this()](::zelm::DataStream::Event&& event) { self->pass(std::move(event)); };
}

void StreamFence::attach(Device::DataStream& stream) {
    {
        std::lock_guard const lock(mutex_);
        stream_ = &stream;
        if (!lost_) {
            return;
        }
    }
    stream.stop();  // lost while the device was starting it
}

void StreamFence::pass(::zelm::DataStream::Event&& event) {
    // Asked of the clock, not only of the keep-alive thread: a process that
    // was stopped past its lease runs this before that thread runs again.
    auto const lapsed = lease_->lost_reason();
    std::unique_lock lock(mutex_);
    if (lapsed && !lost_) {
        lost_ = lapsed;
    }
    if (ended_) {
        return;
    }
    if (lost_) {
        deliver_loss(lock);
        return;
    }
    bool const last = ends_stream(event);
    call_host(lock, std::move(event));
    ended_ = ended_ || last;
    deliver_loss(lock);  // a loss noted while the host had the event
}

void StreamFence::end(std::string const& reason) {
    std::unique_lock lock(mutex_);
    if (!lost_) {
        lost_ = reason;
    }
    if (detached_) {
        return;
    }
    ending_ = true;
    auto* const stream = stream_;
    lock.unlock();
    if (stream != nullptr) {
        try {
            stream->stop();
        } catch (...) {
            // the plug-in's failure to stop: the fence still keeps its data from the host
        }
    }
    lock.lock();
    try {
        deliver_loss(lock);
    } catch (...) {
        // the host's callback: its failure is its own
    }
    ending_ = false;
    idle_.notify_all();
}

void StreamFence::deliver_loss(std::unique_lock<std::mutex>& lock) {
    if (!lost_ || ended_ || delivering_ > 0) {
        return;
    }
    ended_ = true;
    call_host(lock, Events::Error{cluster::OwnershipLostError(*lost_).what()});
}

void StreamFence::call_host(std::unique_lock<std::mutex>& lock, ::zelm::DataStream::Event&& event) {
    ++delivering_;
    lock.unlock();
    try {
        callback_(std::move(event));
    } catch (...) {
        lock.lock();
        --delivering_;
        idle_.notify_all();
        throw;
    }
    lock.lock();
    --delivering_;
    idle_.notify_all();
}

void StreamFence::detach() noexcept {
    if (origin_.forked()) {
        return;  // the parent's lease and notifier: nothing here to wait for
    }
    if (listener_) {
        lease_->forget(*listener_);
    }
    std::unique_lock lock(mutex_);
    detached_ = true;
    stream_ = nullptr;
    if (!notifier_->on_own_thread()) {
        idle_.wait(lock, [this] { return !ending_; });
    }
}

void StreamFence::drop_callback() noexcept {
    ::zelm::DataStream::Callback dropped;  // destroyed after the lock is released: it is the host's code
    std::lock_guard const lock(mutex_);
    dropped.swap(callback_);
}

}  // namespace zelm::detail
