// Captures what the library writes to the process-wide default logger.
#pragma once

#include <spdlog/logger.h>
#include <spdlog/sinks/ostream_sink.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace zelm::test {

// Replaces the default logger for its lifetime with one that records
// "<level> <message>" lines, and puts the previous one back afterwards.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(LogCapture const&) = delete;
    LogCapture& operator=(LogCapture const&) = delete;

    std::vector<std::string> lines() const;

private:
    std::shared_ptr<spdlog::logger> previous_;
    std::ostringstream stream_;
};

}  // namespace zelm::test
