#include "cluster/lease.hpp"

#include <fmt/format.h>

#include <time.h>

#include <algorithm>

namespace zelm::detail {

BootClock::time_point BootClock::now() noexcept {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return time_point(std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec));
}

std::chrono::nanoseconds lease_margin(std::chrono::seconds ttl) {
    return std::max<std::chrono::nanoseconds>(ttl / 5, std::chrono::milliseconds(500));
}

std::chrono::milliseconds keep_alive_period(std::chrono::seconds ttl) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(ttl) / 3;
}

std::chrono::milliseconds request_time_limit(std::chrono::seconds ttl) {
    auto const spare = ttl - lease_margin(ttl) - keep_alive_period(ttl);
    return std::chrono::duration_cast<std::chrono::milliseconds>(spare) / 2;
}

Lease::Lease(std::int64_t id, std::chrono::seconds ttl, BootClock::time_point granted_at)
    : id_(id), ttl_(ttl), alive_until_(granted_at + ttl - lease_margin(ttl)) {}

void Lease::renewed(BootClock::time_point sent_at, std::chrono::seconds ttl) {
    std::lock_guard const lock(mutex_);
    if (!lost_) {
        alive_until_ = std::max(alive_until_, sent_at + ttl - lease_margin(ttl));
    }
}

BootClock::time_point Lease::alive_until() const {
    std::lock_guard const lock(mutex_);
    return alive_until_;
}

void Lease::lose(std::string const& reason) {
    std::vector<std::pair<std::uint64_t, Listener>> listeners;
    {
        std::lock_guard const lock(mutex_);
        if (lost_) {
            return;
        }
        lost_ = reason;
        listeners.swap(listeners_);
        notifying_ = std::this_thread::get_id();
    }
    for (auto const& [number, listener] : listeners) {
        try {
            listener(reason);
        } catch (...) {
            // a host's callback: its failure must not stop the others
        }
    }
    std::lock_guard const lock(mutex_);
    notifying_.reset();
    notified_.notify_all();
}

std::optional<std::string> Lease::lost_reason() {
    BootClock::time_point until;
    {
        std::lock_guard const lock(mutex_);
        if (lost_) {
            return lost_;
        }
        until = alive_until_;
    }
    auto const now = BootClock::now();
    if (now < until) {
        return std::nullopt;
    }
    lose(fmt::format("lease {:x} may have expired: no keep-alive was acknowledged within its {} s time-to-live",
                     id_, ttl_.count()));
    std::lock_guard const lock(mutex_);
    return lost_;
}

bool Lease::lost() const {
    std::lock_guard const lock(mutex_);
    return lost_.has_value();
}

bool Lease::alive() const {
    std::lock_guard const lock(mutex_);
    return !lost_ && BootClock::now() < alive_until_;
}

std::uint64_t Lease::listen(Listener listener) {
    std::optional<std::string> lost;
    std::uint64_t number = 0;
    {
        std::lock_guard const lock(mutex_);
        number = next_number_++;
        if (!lost_) {
            listeners_.emplace_back(number, std::move(listener));
            return number;
        }
        lost = lost_;
    }
    listener(*lost);
    return number;
}

void Lease::forget(std::uint64_t number) {
    std::unique_lock lock(mutex_);
    std::erase_if(listeners_, [number](auto const& entry) { return entry.first == number; });
    notified_.wait(lock, [this] { return !notifying_ || *notifying_ == std::this_thread::get_id(); });
}

}  // namespace zelm::detail
