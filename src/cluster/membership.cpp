#include "cluster/membership.hpp"

#include "cluster/inherited.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>

namespace zelm::detail {

Membership::Membership(std::vector<std::string> endpoints, cluster::Options options)
    : client_(std::move(endpoints), std::min(options.request_timeout, request_time_limit(options.ttl))),
      options_(std::move(options)),
      keeper_([this](std::stop_token stop) { keep_alive(stop); }) {}

std::shared_ptr<Membership> Membership::make(std::vector<std::string> endpoints, cluster::Options options) {
    return {new Membership(std::move(endpoints), std::move(options)), [](Membership* membership) {
                std::unique_ptr<Membership> owned(membership);
                if (membership->origin_.forked()) {
                    abandon(std::move(owned));  // the parent's: neither joined nor destroyed here
                }
            }};
}

Membership::~Membership() {
    keeper_.request_stop();
    keeper_.join();
    end("left the cluster");
}

std::shared_ptr<Lease> Membership::current_lease() {
    if (origin_.forked()) {
        throw cluster::UnavailableError("this process was forked from one in the cluster; join it anew");
    }
    std::lock_guard const lock(mutex_);
    if (ended_) {
        throw cluster::UnavailableError("this process has left the cluster");
    }
    return lease_;
}

std::shared_ptr<Lease> Membership::lease() {
    // alive(), not lost_reason(): the listeners of a lease that ran out are
    // told by the keep-alive thread or the device that notices, never here,
    // where a listener that acquires a device would wait for itself.
    if (auto current = current_lease(); current && current->alive()) {
        return current;
    }
    // One grant at a time, so that threads acquiring at once share a lease
    // rather than each replace the other's.
    std::lock_guard const granting(grant_mutex_);
    if (auto current = current_lease(); current && current->alive()) {
        return current;
    }
    auto const granted_at = BootClock::now();
    auto const id = client_.grant_lease(options_.ttl);
    auto fresh = std::make_shared<Lease>(id, options_.ttl, granted_at);
    {
        std::lock_guard const lock(mutex_);
        lease_ = fresh;
    }
    wake_.notify_all();
    return fresh;
}

void Membership::end(std::string const& reason) noexcept {
    if (origin_.forked()) {
        return;  // the parent's lease
    }
    std::shared_ptr<Lease> lease;
    {
        std::lock_guard const lock(mutex_);
        ended_ = true;
        lease.swap(lease_);
    }
    if (!lease) {
        return;
    }
    lease->lose(reason);
    try {
        client_.revoke_lease(lease->id());
    } catch (std::exception const& e) {
        spdlog::warn("Cluster lease {:x} not revoked: {}; it expires in {} s", lease->id(), e.what(),
                     options_.ttl.count());
    }
    // The hosts hear of their lost devices before leaving returns.
    try {
        notifier_->drain();
    } catch (std::bad_alloc const&) {
        // they hear of it all the same, a moment later
    }
}

// A keep-alive every third of the time-to-live; after a failure, another
// soon, until the lease's time runs out here, which makes it lost.
void Membership::keep_alive(std::stop_token stop) {
    auto const period = keep_alive_period(options_.ttl);
    auto const retry = std::chrono::milliseconds(200);
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
        if (!lease_ || lease_->lost()) {
            wake_.wait(lock, stop, [this] { return lease_ && !lease_->lost(); });
            continue;
        }
        auto const lease = lease_;
        lock.unlock();
        bool const renewed = renew_once(*lease);
        if (lease->lost_reason()) {
            // Given up here, so given up there too: others need not wait for
            // the server to notice.
            try {
                client_.revoke_lease(lease->id());
            } catch (std::exception const&) {
            }
        }
        lock.lock();
        wake_.wait_for(lock, stop, renewed ? period : retry, [] { return false; });
    }
}

bool Membership::renew_once(Lease& lease) {
    auto const sent_at = BootClock::now();
    try {
        auto const ttl = client_.keep_alive(lease.id());
        if (ttl > 0) {
            lease.renewed(sent_at, std::chrono::seconds(ttl));
            return true;
        }
        lease.lose(fmt::format("lease {:x} expired on the cluster", lease.id()));
    } catch (std::exception const& e) {
        spdlog::warn("Cluster keep-alive of lease {:x} failed: {}", lease.id(), e.what());
    }
    return false;
}

}  // namespace zelm::detail
