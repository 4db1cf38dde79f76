// SIGINT and SIGTERM as requests to finish: commands that run until stopped
// (hold, stream) take them synchronously, so the device is released by
// ordinary destructors instead of by a signal handler.
#pragma once

#include <signal.h>

#include <chrono>
#include <functional>
#include <optional>

namespace zelm::tool {

// Blocks SIGINT and SIGTERM while it lives. Construct it before any thread
// starts (threads inherit the mask), or a thread might take the signal with
// its default action and end the process.
class TerminationSignals {
public:
    TerminationSignals();
    // Discards a request that came in too late to matter, then unblocks.
    ~TerminationSignals();
    TerminationSignals(TerminationSignals const&) = delete;
    TerminationSignals& operator=(TerminationSignals const&) = delete;

    // Waits for a request at most `timeout` (for ever when none); returns the
    // signal, or nothing when the time ran out.
    std::optional<int> wait(std::optional<std::chrono::nanoseconds> timeout);
    // A request that has already arrived, without waiting.
    std::optional<int> poll() { return wait(std::chrono::nanoseconds::zero()); }
    // For a child forked while this lives, which takes the signals as the
    // process did before: the child inherits the blocked mask, not the wait.
    void unblock_in_child() const;
    // The signals it blocks, for a signalfd that waits for them in poll()
    // along with other descriptors.
    sigset_t const& blocked() const { return signals_; }

private:
    sigset_t signals_{};
    sigset_t previous_{};
};

// Runs `start` with SIGINT and SIGTERM blocked, for code that starts threads
// before a TerminationSignals exists (joining a cluster starts its
// keep-alive thread): those threads never take the signals. A signal that
// arrives meanwhile is delivered once they are unblocked again.
void starting_threads(std::function<void()> const& start);

}  // namespace zelm::tool
