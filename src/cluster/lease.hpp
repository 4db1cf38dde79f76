// One granted etcd lease as this process sees it: until when it is surely
// alive, whether it is lost, and who wants to hear when it is.
//
// "Surely alive" is measured on CLOCK_BOOTTIME, which keeps counting while
// the process is stopped and while the machine is suspended, as the
// server's clock does: a keep-alive sent at t and acknowledged with a
// time-to-live T keeps the lease alive on the server until at least t + T,
// since the server renewed it after t. The lease counts as alive here until
// t + T less a margin.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zelm::detail {

// CLOCK_BOOTTIME as a std::chrono clock.
struct BootClock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<BootClock>;
    static constexpr bool is_steady = true;
    static time_point now() noexcept;
};

// How much earlier than the server this process gives a lease up: a fifth of
// its time-to-live, at least half a second.
std::chrono::nanoseconds lease_margin(std::chrono::seconds ttl);
// How often a live lease is renewed: three times per time-to-live.
std::chrono::milliseconds keep_alive_period(std::chrono::seconds ttl);
// The longest that one request to one endpoint may take for a lease of `ttl`:
// a renewal that meets a stalled member first and then one that answers must
// still arrive before the lease counts as lapsed here, so the two requests
// share what is left of the time-to-live after the margin and the period
// (417 ms for 2 s, 1167 ms for 5 s).
std::chrono::milliseconds request_time_limit(std::chrono::seconds ttl);

class Lease {
public:
    using Listener = std::function<void(std::string const& reason)>;

    Lease(std::int64_t id, std::chrono::seconds ttl, BootClock::time_point granted_at);

    std::int64_t id() const noexcept { return id_; }
    std::chrono::seconds ttl() const noexcept { return ttl_; }

    // A keep-alive sent at `sent_at` was acknowledged with `ttl`.
    void renewed(BootClock::time_point sent_at, std::chrono::seconds ttl);
    // Marks the lease lost for good and tells every listener, once, on this
    // thread.
    void lose(std::string const& reason);
    // The reason it is lost; none while it is alive. A lease whose time ran
    // out is lost from the moment this is asked.
    std::optional<std::string> lost_reason();
    // Whether lose() was called; looks at no clock and calls nobody.
    bool lost() const;
    // Whether the lease is neither lost nor out of time; calls nobody.
    bool alive() const;
    BootClock::time_point alive_until() const;

    // Calls `listener` when the lease is lost (at once, on this thread, if it
    // is already). Returns a number for forget().
    std::uint64_t listen(Listener listener);
    // Stops calling the listener; waits for a call of it in progress on
    // another thread to return.
    void forget(std::uint64_t number);

private:
    std::int64_t const id_;
    std::chrono::seconds const ttl_;
    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable notified_;
    BootClock::time_point alive_until_;
    std::optional<std::string> lost_;
    std::vector<std::pair<std::uint64_t, Listener>> listeners_;
    std::uint64_t next_number_ = 1;
    std::optional<std::thread::id> notifying_;
};

}  // namespace zelm::detail
