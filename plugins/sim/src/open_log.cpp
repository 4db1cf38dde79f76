// Appending open records with O_APPEND, one write(2) per line: the kernel
// then places each line at the end of the file whole, however many processes
// append at the same time.
#include "open_log.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace zelm::sim {

OpenLog::OpenLog(std::filesystem::path file) : file_(std::move(file)) {
    fd_ = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        throw std::runtime_error(fmt::format("Cannot open sim open log {}: {}", file_.native(), std::strerror(errno)));
    }
}

OpenLog::~OpenLog() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

OpenLog::OpenLog(OpenLog&& other) noexcept
    : file_(std::move(other.file_)), fd_(std::exchange(other.fd_, -1)) {}

OpenLog& OpenLog::operator=(OpenLog&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        file_ = std::move(other.file_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

void OpenLog::record(std::string_view description) const {
    auto const line = fmt::format("{} {}\n", ::getpid(), description);
    auto const written = ::write(fd_, line.data(), line.size());
    if (written != static_cast<ssize_t>(line.size())) {
        auto const reason = written < 0 ? std::strerror(errno) : "short write";
        throw std::runtime_error(fmt::format("Cannot record open in sim open log {}: {}", file_.native(), reason));
    }
}

}  // namespace zelm::sim
