// The stream command: reads a device's data stream through a managed device,
// to a file or nowhere, with progress and throughput on standard error.
#include "commands.hpp"
#include "device_session.hpp"
#include "output.hpp"
#include "signals.hpp"
#include "status_line.hpp"

#include <fmt/format.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <tuple>
#include <utility>
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

[[noreturn]] void throw_cannot_write(std::filesystem::path const& path) {
    throw std::runtime_error(fmt::format("cannot write {}: {}", path.native(), std::strerror(errno)));
}

// The regular file that `path` names (through symbolic links), or `path`
// itself when nothing is there yet: what a finished capture replaces. None
// for anything else, such as a device or a FIFO, which is written in place.
std::optional<std::filesystem::path> replaceable_target(std::filesystem::path const& path) {
    std::error_code error;
    auto const type = std::filesystem::status(path, error).type();
    if (type == std::filesystem::file_type::not_found) {
        return path;
    }
    if (type == std::filesystem::file_type::regular) {
        return std::filesystem::canonical(path);
    }
    return std::nullopt;
}

// A new file beside `target` for the data, with the permissions of the file
// it is to replace (a private capture stays private), else the usual ones.
std::pair<OwnedFile, std::filesystem::path> create_beside(std::filesystem::path const& target) {
    struct stat existing {};
    mode_t const mode = ::stat(target.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : 0666;
    for (int attempt = 0;; ++attempt) {
        auto path = target;
        path += fmt::format(".zelm-{}-{}.part", getpid(), attempt);
        int const fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EEXIST && attempt < 100) {
            continue;
        }
        if (fd < 0) {
            throw_cannot_write(path);
        }
        if (mode != 0666) {
            ::fchmod(fd, mode);
        }
        return {OwnedFile(::fdopen(fd, "wb")), std::move(path)};
    }
}

// Where the data goes: a file, standard output ("-"), or nowhere. A file is
// opened only once the device is owned (open()), and a regular one is written
// through a new file beside it that takes its place only when the stream has
// succeeded (commit()): a busy device, a failed stream or a full disk leaves
// an earlier capture as it was.
class Sink {
public:
    explicit Sink(std::optional<std::filesystem::path> path) : path_(std::move(path)) {}
    ~Sink() {
        if (!partial_.empty()) {
            owned_.reset();
            ::unlink(partial_.c_str());
        }
    }
    Sink(Sink const&) = delete;
    Sink& operator=(Sink const&) = delete;

    void open() {
        if (!path_) {
            return;
        }
        if (*path_ == "-") {
            file_ = stdout;
            return;
        }
        if (auto target = replaceable_target(*path_)) {
            target_ = std::move(*target);
            std::tie(owned_, partial_) = create_beside(target_);
        } else {
            owned_.reset(std::fopen(path_->c_str(), "wb"));
        }
        if (!owned_) {
            throw_cannot_write(*path_);
        }
        file_ = owned_.get();
    }

    // False when the data could not be written.
    bool write(std::span<unsigned char const> data) {
        return file_ == nullptr || std::fwrite(data.data(), 1, data.size(), file_) == data.size();
    }

    // Writes out what is buffered and puts the file in place. Throws
    // std::runtime_error naming the file (or standard output) and why.
    void commit() {
        if (file_ == owned_.get() && owned_) {
            if (std::fflush(file_) != 0 || std::fclose(owned_.release()) != 0) {
                file_ = nullptr;
                throw_cannot_write(*path_);
            }
            file_ = nullptr;
            if (!partial_.empty()) {
                if (std::rename(partial_.c_str(), target_.c_str()) != 0) {
                    throw_cannot_write(*path_);
                }
                partial_.clear();
            }
        } else if (file_ == stdout) {
            print_stdout({});
        }
    }

private:
    std::optional<std::filesystem::path> path_;
    std::filesystem::path target_;   // the file that the data replaces
    std::filesystem::path partial_;  // the data until then; removed unless committed
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
    sink.open();  // only now: a device that cannot be owned costs no earlier capture

    auto const start = Clock::now();
    auto const doing = fmt::format("starting a stream at {} of {}", options.address, session.name);
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
    check_outcome(reception, options, session.name, interrupted);
    sink.commit();
    StatusLine::instance().print(
        fmt::format("{}received {}\n", interrupted ? "interrupted; " : "", throughput(reception.received(), elapsed)));
}

}  // namespace zelm::tool
