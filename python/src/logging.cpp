// The library's spdlog lines on Python's logging: the module replaces
// spdlog's default logger, which would write to standard output, with one
// whose sink hands every line to the logger "zelm" at the matching level.
#include "bindings.hpp"
#include "gil.hpp"

#include <pybind11/pybind11.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <mutex>
#include <string>

namespace zelm::python {

namespace py = pybind11;

namespace {

// logging's levels; spdlog's trace, finer than DEBUG, has no name there.
int python_level(spdlog::level::level_enum level) {
    switch (level) {
    case spdlog::level::trace:
        return 5;
    case spdlog::level::debug:
        return 10;
    case spdlog::level::info:
        return 20;
    case spdlog::level::warn:
        return 30;
    case spdlog::level::err:
        return 40;
    case spdlog::level::critical:
        return 50;
    case spdlog::level::off:
    case spdlog::level::n_levels:
        break;
    }
    return 40;
}

// The GIL serialises the sink, so the sink has no mutex of its own: a mutex
// taken before the GIL would deadlock a thread that logs while holding the
// GIL against a library thread that holds the mutex and waits for the GIL.
// Once the interpreter has begun to exit, lines go to standard error, as
// logging's last resort would write them.
class PythonLoggingSink : public spdlog::sinks::base_sink<spdlog::details::null_mutex> {
public:
    explicit PythonLoggingSink(py::object logger) : logger_(new py::object(std::move(logger))) {}
    // The logger object is left to the interpreter: the sink may be
    // destroyed after it, without the GIL.
    ~PythonLoggingSink() override = default;
    PythonLoggingSink(PythonLoggingSink const&) = delete;
    PythonLoggingSink& operator=(PythonLoggingSink const&) = delete;

protected:
    void sink_it_(spdlog::details::log_msg const& message) override {
        if (!with_python([&] { pass_on(message); })) {
            standard_error_->log(message);
        }
    }

    void flush_() override {}

private:
    void pass_on(spdlog::details::log_msg const& message) {
        try {
            logger_->attr("log")(python_level(message.level),
                                 std::string_view(message.payload.data(), message.payload.size()));
        } catch (py::error_already_set& error) {
            // A failing handler must not unwind into the library, which
            // logs from places that do not expect it.
            error.discard_as_unraisable("zelm log line");
        }
    }

    py::object* logger_;
    std::shared_ptr<spdlog::sinks::sink> standard_error_ = std::make_shared<spdlog::sinks::stderr_sink_mt>();
};

}  // namespace

void bind_logging(py::module_& module) {
    auto const logger = py::module_::import("logging").attr("getLogger")("zelm");
    auto sink = std::make_shared<PythonLoggingSink>(logger);
    auto spdlog_logger = std::make_shared<spdlog::logger>("zelm", std::move(sink));
    // logging decides what is shown: every line reaches it.
    spdlog_logger->set_level(spdlog::level::trace);
    spdlog::set_default_logger(std::move(spdlog_logger));
    static_cast<void>(module);
}

}  // namespace zelm::python
