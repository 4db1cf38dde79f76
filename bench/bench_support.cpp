// Scratch directories, simulated configurations, figure lines and the
// plain system-call loops that the benchmarks compare the library with.
#include "bench_support.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <utility>

namespace zelm::bench {

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
    std::string pattern = (fs::path("/tmp") / "zelm_bench_XXXXXX").native();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a scratch directory under /tmp");
    }
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

nlohmann::json sim_config(std::string const& prefix, int count, int get_info_ms,
                          std::optional<fs::path> const& open_log) {
    nlohmann::json config{
        {"name", "sim-bench"},
        {"devices",
         nlohmann::json::array({{
             {"count", count},
             {"first_index", 1},
             {"description", {{"serial", prefix + "-{index:05}"}, {"rack", "R1"}}},
             {"info", {{"Model", "Simulated bench device"}, {"Slot", "{index}"}}},
             {"latency_ms", {{"get_info", get_info_ms}}},
         }})},
    };
    if (open_log) {
        config["open_log"] = open_log->native();
    }
    return config;
}

fs::path write_config(fs::path const& file, nlohmann::json const& config) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << config.dump(2) << '\n';
    return file;
}

fs::path copy_sim_plugin(fs::path const& dir, std::string const& file_name) {
    fs::create_directories(dir);
    auto const copy = dir / file_name;
    fs::copy_file(ZELM_SIM_PLUGIN, copy, fs::copy_options::overwrite_existing);
    return copy;
}

void set_tmpdir(fs::path const& dir) {
    fs::create_directories(dir);
    ::setenv("TMPDIR", dir.c_str(), 1);
}

void print_figure(std::string const& name, double value, std::string const& target, bool ok, int decimals) {
    fmt::print("{}: {:.{}f} (target {}) {}\n", name, value, decimals, target, ok ? "ok" : "MISS");
    std::fflush(stdout);
}

void print_missing_figure(std::string const& name, std::string const& target, std::string const& reason) {
    fmt::print("{}: not measured, {} (target {}) MISS\n", name, reason, target);
    std::fflush(stdout);
}

void run_figure(std::string const& name, std::string const& target,
                std::function<void(fs::path const&)> const& figure, fs::path const& scratch) {
    try {
        figure(scratch);
    } catch (std::exception const& error) {
        print_missing_figure(name, target, error.what());
    }
}

double median(std::vector<double> values) {
    std::ranges::sort(values);
    auto const middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

int runs_per_side() {
    char const* runs = std::getenv("ZELM_BENCH_RUNS_PER_SIDE");
    return runs == nullptr ? 3 : std::max(1, std::atoi(runs));
}

namespace {

// A lock file opened as the hardened design requires: relative to the
// directory, no link followed, no blocking; one fstat refuses anything but a
// regular file with a single link.
int open_lock_file(int directory, char const* name, struct stat& status) {
    int const fd = ::openat(directory, name, O_RDWR | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        return -1;
    }
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// After locking: does the name still refer to the locked file?
bool still_named(int directory, char const* name, struct stat const& held) {
    struct stat named {};
    return ::fstatat(directory, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == held.st_dev &&
           named.st_ino == held.st_ino;
}

bool probe_file(int directory, std::string const& name) {
    struct stat status {};
    int const fd = open_lock_file(directory, name.c_str(), status);
    if (fd < 0) {
        return false;
    }
    bool const ok = ::flock(fd, LOCK_EX | LOCK_NB) == 0 && still_named(directory, name.c_str(), status);
    ::flock(fd, LOCK_UN);
    ::close(fd);
    return ok;
}

// With `kept`, the parsed record is moved there instead of being freed at once.
bool read_record(int directory, std::string const& name, std::vector<nlohmann::json>* kept) {
    struct stat status {};
    int const fd = open_lock_file(directory, name.c_str(), status);
    if (fd < 0) {
        return false;
    }
    bool ok = ::flock(fd, LOCK_EX) == 0 && still_named(directory, name.c_str(), status) &&
              ::fstat(fd, &status) == 0 && status.st_size > 0;
    if (ok) {
        std::string text(static_cast<std::size_t>(status.st_size), '\0');
        ok = ::pread(fd, text.data(), text.size(), 0) == status.st_size;
        auto record = ok ? nlohmann::json::parse(text, nullptr, false) : nlohmann::json();
        ok = record.is_object();
        if (ok && kept != nullptr) {
            kept->push_back(std::move(record));
        }
    }
    ::flock(fd, LOCK_UN);
    ::close(fd);
    return ok;
}

}  // namespace

SystemCallFloor::SystemCallFloor() {
    char const* temporary = std::getenv("TMPDIR");
    if (temporary == nullptr) {
        throw std::runtime_error("TMPDIR is not set");
    }
    directory_path_ = std::string(temporary) + "/" + lock_directory_name;
    directory_ = ::open(directory_path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat status {};
    if (directory_ < 0 || ::fstat(directory_, &status) != 0) {
        throw std::runtime_error("cannot open the lock directory " + directory_path_);
    }
    device_ = status.st_dev;
    inode_ = status.st_ino;
}

SystemCallFloor::~SystemCallFloor() { ::close(directory_); }

bool SystemCallFloor::probe(std::string const& occupied_name) const { return scan(occupied_name, nullptr, nullptr); }

bool SystemCallFloor::probe_and_read(std::string const& occupied_name, std::string const& record_name,
                                     std::vector<nlohmann::json>* kept) const {
    return scan(occupied_name, &record_name, kept);
}

bool SystemCallFloor::scan(std::string const& occupied_name, std::string const* record_name,
                           std::vector<nlohmann::json>* kept) const {
    char const* temporary = std::getenv("TMPDIR");
    struct stat status {};
    if (temporary == nullptr || ::stat(temporary, &status) != 0 || !S_ISDIR(status.st_mode)) {
        return false;
    }
    if (::lstat(directory_path_.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_dev != device_ ||
        status.st_ino != inode_) {
        return false;
    }
    return probe_file(directory_, occupied_name) &&
           (record_name == nullptr || read_record(directory_, *record_name, kept));
}

}  // namespace zelm::bench
