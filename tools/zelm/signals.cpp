// Synchronous handling of the termination signals.
#include "signals.hpp"

#include <pthread.h>

#include <cerrno>
#include <system_error>

namespace zelm::tool {

TerminationSignals::TerminationSignals() {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    if (int const error = pthread_sigmask(SIG_BLOCK, &signals_, &previous_); error != 0) {
        throw std::system_error(error, std::generic_category(), "cannot block SIGINT and SIGTERM");
    }
}

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

}  // namespace zelm::tool
