// The stream command: reads a device's data stream through a managed device,
// to a file or nowhere, with progress and throughput on standard error.
#include "commands.hpp"
#include "device_session.hpp"
#include "signals.hpp"
#include "status_line.hpp"

#include <fmt/format.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <span>
#include <stdexcept>

namespace zelm::tool {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto progress_interval = 200ms;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using OwnedFile = std::unique_ptr<std::FILE, FileCloser>;

// Where the data goes: a file, standard output ("-"), or nowhere.
class Sink {
public:
    explicit Sink(std::optional<std::filesystem::path> const& path) {
        if (!path) {
            return;
        }
        if (*path == "-") {
            file_ = stdout;
            return;
        }
        owned_.reset(std::fopen(path->c_str(), "wb"));
        if (!owned_) {
            throw std::runtime_error(fmt::format("cannot open {}: {}", path->native(), std::strerror(errno)));
        }
        file_ = owned_.get();
    }

    // False when the data could not be written.
    bool write(std::span<unsigned char const> data) {
        return file_ == nullptr || std::fwrite(data.data(), 1, data.size(), file_) == data.size();
    }

    bool flush() { return file_ == nullptr || std::fflush(file_) == 0; }

private:
    OwnedFile owned_;
    std::FILE* file_ = nullptr;
};

// What the stream callback, on the device's thread, tells the command.
class Reception {
public:
    Reception(Sink& sink, std::optional<std::uint64_t> limit) : sink_(sink), limit_(limit) {}

    void operator()(DataStream::Event&& event) {
        std::lock_guard guard(mutex_);
        if (closed_ || ended_) {
            return;
        }
        std::visit([this](auto& e) { take(e); }, event);
        if (ended_) {
            changed_.notify_all();
        }
    }

    // Waits up to `timeout` for the end; true when the stream has ended.
    bool wait_end(Clock::duration timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [this] { return ended_; });
    }

    // After this no event reaches the sink, also from a device that calls
    // back late.
    void close() {
        std::lock_guard guard(mutex_);
        closed_ = true;
    }

    std::uint64_t received() {
        std::lock_guard guard(mutex_);
        return received_;
    }

    std::optional<std::string> failure() {
        std::lock_guard guard(mutex_);
        return failure_;
    }

private:
    void take(DataStream::Events::Stop const&) { ended_ = true; }
    void take(DataStream::Events::Error const& error) {
        failure_ = "the device reported: " + error.message;
        ended_ = true;
    }
    void take(DataStream::Events::OwnedData const& data) { accept(data.data); }
    void take(DataStream::Events::DataView const& data) { accept(data.data); }

    void accept(std::span<unsigned char const> data) {
        if (limit_) {
            data = data.first(std::min<std::uint64_t>(data.size(), *limit_ - received_));
        }
        if (!sink_.write(data)) {
            failure_ = fmt::format("cannot write the data: {}", std::strerror(errno));
            ended_ = true;
            return;
        }
        received_ += data.size();
        ended_ = limit_ && received_ >= *limit_;
    }

    Sink& sink_;
    std::optional<std::uint64_t> const limit_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t received_ = 0;
    bool ended_ = false;
    bool closed_ = false;
    std::optional<std::string> failure_;
};

std::string human_bytes(double bytes) {
    constexpr std::array<char const*, 5> units{"B", "KiB", "MiB", "GiB", "TiB"};
    std::size_t unit = 0;
    while (bytes >= 1024 && unit + 1 < units.size()) {
        bytes /= 1024;
        ++unit;
    }
    return unit == 0 ? fmt::format("{:.0f} B", bytes) : fmt::format("{:.1f} {}", bytes, units[unit]);
}

std::string throughput(std::uint64_t bytes, Clock::duration elapsed) {
    double const seconds = std::chrono::duration<double>(elapsed).count();
    return fmt::format("{} bytes ({}) in {:.2f} s, {}/s", bytes, human_bytes(static_cast<double>(bytes)), seconds,
                       human_bytes(seconds > 0 ? static_cast<double>(bytes) / seconds : 0.0));
}

std::string progress(std::uint64_t bytes, std::optional<std::uint64_t> limit, Clock::duration elapsed) {
    double const seconds = std::chrono::duration<double>(elapsed).count();
    auto const of = limit ? " of " + human_bytes(static_cast<double>(*limit)) : std::string();
    return fmt::format("streaming: {}{}, {}/s", human_bytes(static_cast<double>(bytes)), of,
                       human_bytes(seconds > 0 ? static_cast<double>(bytes) / seconds : 0.0));
}

// Runs until the stream ends or a termination signal comes; true when
// interrupted.
bool follow(Reception& reception, TerminationSignals& signals, std::optional<std::uint64_t> limit,
            Clock::time_point start) {
    while (!reception.wait_end(progress_interval)) {
        if (signals.poll()) {
            return true;
        }
        StatusLine::instance().show(progress(reception.received(), limit, Clock::now() - start));
    }
    return false;
}

void check_outcome(Reception& reception, StreamOptions const& options, std::string const& name, bool interrupted) {
    if (auto failure = reception.failure()) {
        throw std::runtime_error(fmt::format("stream from {} failed after {} bytes: {}", name,
                                             reception.received(), *failure));
    }
    if (options.bytes && !interrupted && reception.received() < *options.bytes) {
        throw std::runtime_error(fmt::format("stream from {} ended after {} of {} bytes", name,
                                             reception.received(), *options.bytes));
    }
}

}  // namespace

void run_stream(StreamOptions const& options) {
    TerminationSignals signals;  // first: the device's stream thread must inherit the blocked mask
    Sink sink(options.output);
    Reception reception(sink, options.bytes);
    auto const session = open_managed_device(options.target);

    auto const start = Clock::now();
    auto const doing = fmt::format("starting a stream at {:#x} of {}", options.address, session.name);
    auto stream = explained(doing, [&] {
        return session.device->start_read_stream(
            options.address, [&reception](DataStream::Event&& event) { reception(std::move(event)); },
            options.size.value_or(options.bytes.value_or(0)));
    });
    if (!stream) {
        throw std::runtime_error(doing + " failed: the device started no stream");
    }
    bool const interrupted = follow(reception, signals, options.bytes, start);
    stream->stop();
    stream->wait_stop();
    stream.reset();
    reception.close();
    auto const elapsed = Clock::now() - start;

    StatusLine::instance().clear();
    if (!sink.flush()) {
        throw std::runtime_error(fmt::format("cannot write the data: {}", std::strerror(errno)));
    }
    check_outcome(reception, options, session.name, interrupted);
    StatusLine::instance().print(
        fmt::format("{}received {}\n", interrupted ? "interrupted; " : "", throughput(reception.received(), elapsed)));
}

}  // namespace zelm::tool
