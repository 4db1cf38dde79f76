// Where the hosts' lost-ownership callbacks and a lost device's stream
// endings run: a thread of the library's own, one job at a time, in the
// order posted.
//
// Not the keep-alive thread: a callback that blocks would starve the renewal
// of every other device's lease, and one that leaves the cluster would join
// the thread it runs on. Not the thread of a device operation either, which
// may hold the host's own locks.
#pragma once

#include "cluster/inherited.hpp"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

namespace zelm::detail {

class Notifier {
public:
    Notifier();
    // Runs what was posted, then ends the thread. Destroyed on its own thread
    // (a callback dropped the last reference), it lets the thread finish by
    // itself; in a forked child, where the thread does not exist, it
    // abandons it.
    ~Notifier();
    Notifier(Notifier const&) = delete;
    Notifier& operator=(Notifier const&) = delete;

    // Runs `job` on the notifier's thread after every job posted before it.
    // A job's exception is dropped. Throws std::bad_alloc only.
    void post(std::function<void()> job);
    // Waits until every job posted before it has run; returns at once on the
    // notifier's own thread and in a forked child. Throws std::bad_alloc only.
    void drain();
    // True on the notifier's own thread. Never throws.
    bool on_own_thread() const noexcept;

private:
    struct Queue {
        std::mutex mutex;
        std::condition_variable_any wake;
        std::deque<std::function<void()>> jobs;
    };
    static void run(std::stop_token const& stop, std::shared_ptr<Queue> const& queue);

    Origin const origin_;
    // Shared with the thread, which may outlive this object (see above).
    std::shared_ptr<Queue> const queue_;
    std::unique_ptr<std::jthread> thread_;
};

// A host's callback, called later on a notifier's thread with a reason, at
// most once, unless cancelled first.
class PostedCallback : public std::enable_shared_from_this<PostedCallback> {
public:
    using Callback = std::function<void(std::string const& reason)>;

    PostedCallback(std::shared_ptr<Notifier> notifier, Callback callback);

    // Posts the call. Throws std::bad_alloc only.
    void call_later(std::string reason);
    // No call starts after this returns; a call in progress on the notifier's
    // thread is waited for, unless this is that thread (a callback that drops
    // what it listens to). Never throws.
    void cancel() noexcept;

private:
    void call(std::string const& reason);

    std::shared_ptr<Notifier> const notifier_;
    std::mutex mutex_;  // guards the two below; never held during the call
    std::condition_variable done_;
    std::optional<Callback> callback_;
    bool calling_ = false;
};

}  // namespace zelm::detail
