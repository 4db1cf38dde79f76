// Standard error sharing between progress output and log lines.
#include "status_line.hpp"

#include "escape.hpp"

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <utility>

namespace zelm::tool {

namespace {

constexpr std::string_view erase_line = "\r\033[K";

void write_stderr(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

// Set on a thread while a LibraryLogMuted lives there.
thread_local bool muted = false;

class StatusAwareSink final : public spdlog::sinks::base_sink<std::mutex> {
protected:
    void sink_it_(spdlog::details::log_msg const& message) override {
        if (muted) {
            return;
        }
        // Log lines carry text from plug-ins and files: one line of what it
        // holds, as the tables show such text.
        auto const text = escaped(std::string_view(message.payload.data(), message.payload.size()));
        auto line = message;
        line.payload = text;
        spdlog::memory_buf_t formatted;
        formatter_->format(line, formatted);
        StatusLine::instance().print(std::string_view(formatted.data(), formatted.size()));
    }
    void flush_() override { std::fflush(stderr); }
};

}  // namespace

StatusLine& StatusLine::instance() {
    static StatusLine line;
    return line;
}

StatusLine::StatusLine() : enabled_(isatty(STDERR_FILENO) == 1) {}

void StatusLine::write_over(std::string_view text) {
    write_stderr(shown_.empty() ? std::string(text) : std::string(erase_line) + std::string(text));
}

void StatusLine::show(std::string_view text) {
    if (!enabled_) {
        return;
    }
    std::lock_guard guard(mutex_);
    write_over(text);
    shown_ = text;
}

void StatusLine::clear() {
    std::lock_guard guard(mutex_);
    if (!shown_.empty()) {
        write_stderr(erase_line);
        shown_.clear();
    }
}

void StatusLine::print(std::string_view line) {
    std::lock_guard guard(mutex_);
    write_over(line);
    write_stderr(shown_);
}

void install_stderr_logger() {
    auto logger = std::make_shared<spdlog::logger>("zelm", std::make_shared<StatusAwareSink>());
    logger->set_pattern("%n: %l: %v");
    spdlog::set_default_logger(std::move(logger));
}

LibraryLogMuted::LibraryLogMuted() : was_muted_(std::exchange(muted, true)) {}

LibraryLogMuted::~LibraryLogMuted() { muted = was_muted_; }

}  // namespace zelm::tool
