// Recording the default logger's output for assertions.
#include "log_capture.hpp"

#include <spdlog/spdlog.h>

namespace zelm::test {

LogCapture::LogCapture() : previous_(spdlog::default_logger()) {
    auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(stream_);
    auto logger = std::make_shared<spdlog::logger>("capture", std::move(sink));
    logger->set_pattern("%l %v");
    logger->set_level(spdlog::level::trace);
    spdlog::set_default_logger(std::move(logger));
}

LogCapture::~LogCapture() { spdlog::set_default_logger(previous_); }

std::vector<std::string> LogCapture::lines() const {
    std::vector<std::string> result;
    std::istringstream in(stream_.str());
    for (std::string line; std::getline(in, line);) {
        result.push_back(line);
    }
    return result;
}

}  // namespace zelm::test
