#include "line_lock.hpp"

#include <sys/file.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace zelm::modbus {
namespace {

// Short first: the holder is usually a few milliseconds from done.
constexpr std::chrono::microseconds first_pause{50};
constexpr std::chrono::microseconds longest_pause{2000};

bool try_lock(int fd) {
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            return false;
        }
        if (errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "flock on the serial line");
        }
    }
    return true;
}

}  // namespace

// Polled rather than blocking, so that a holder that hangs (stopped, or
// stuck in a driver) costs the others an error, never a hang.
LineTurn::LineTurn(int fd, char const* line, std::chrono::milliseconds patience) : fd_(fd) {
    auto const deadline = std::chrono::steady_clock::now() + patience;
    auto pause = first_pause;
    while (!try_lock(fd)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            throw std::runtime_error(fmt::format("modbus line {} is busy: another process has held it for {} ms", line,
                                                 patience.count()));
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, longest_pause);
    }
}

LineTurn::~LineTurn() { ::flock(fd_, LOCK_UN); }

}  // namespace zelm::modbus
