// Synchronous handling of the termination signals.
#include "signals.hpp"

#include <pthread.h>

#include <cerrno>
#include <system_error>

namespace zelm::tool {

namespace {

sigset_t termination_signals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

void block(sigset_t const& signals, sigset_t& previous) {
    if (int const error = pthread_sigmask(SIG_BLOCK, &signals, &previous); error != 0) {
        throw std::system_error(error, std::generic_category(), "cannot block SIGINT and SIGTERM");
    }
}

// Restores a signal mask when it goes, also when the code in between throws.
class RestoredMask {
public:
    explicit RestoredMask(sigset_t const& mask) : mask_(mask) {}
    ~RestoredMask() { pthread_sigmask(SIG_SETMASK, &mask_, nullptr); }
    RestoredMask(RestoredMask const&) = delete;
    RestoredMask& operator=(RestoredMask const&) = delete;

private:
    sigset_t mask_;
};

}  // namespace

TerminationSignals::TerminationSignals() : signals_(termination_signals()) { block(signals_, previous_); }

TerminationSignals::~TerminationSignals() {
    while (poll()) {
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

void TerminationSignals::unblock_in_child() const { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

std::optional<int> TerminationSignals::wait(std::optional<std::chrono::nanoseconds> timeout) {
    for (;;) {
        int signal = -1;
        if (timeout) {
            auto const seconds = std::chrono::floor<std::chrono::seconds>(*timeout);
            timespec const limit{.tv_sec = static_cast<time_t>(seconds.count()),
                                 .tv_nsec = static_cast<long>((*timeout - seconds).count())};
            signal = sigtimedwait(&signals_, nullptr, &limit);
        } else {
            signal = sigwaitinfo(&signals_, nullptr);
        }
        if (signal >= 0) {
            return signal;
        }
        if (errno == EAGAIN) {
            return std::nullopt;
        }
        if (errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "cannot wait for SIGINT or SIGTERM");
        }
    }
}

void starting_threads(std::function<void()> const& start) {
    sigset_t previous;
    block(termination_signals(), previous);
    RestoredMask const restored(previous);
    start();
}

}  // namespace zelm::tool
