// Implementation of the shared test helpers.
#include "test_support.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace zelm::test {
namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void throw_errno(std::string const& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

int exit_code_of(int status) { return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status); }

int milliseconds_until(Clock::time_point deadline) {
    auto const left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, 60'000));
}

// Appends what `fd` has to `buffer`, or closes it (-1) at its end.
void drain(int& fd, std::string& buffer) {
    char chunk[4096];
    auto const got = ::read(fd, chunk, sizeof chunk);
    if (got > 0) {
        buffer.append(chunk, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
        close(fd);
        fd = -1;
    }
}

}  // namespace

TempDir::TempDir() {
    std::string pattern = "/tmp/zelm_test_XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw_errno("mkdtemp " + pattern);
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

ScopedEnv::ScopedEnv(char const* name, std::optional<std::string> const& value) : name_(name) {
    if (char const* previous = std::getenv(name)) {
        previous_ = previous;
    }
    if (value) {
        setenv(name, value->c_str(), 1);
    } else {
        unsetenv(name);
    }
}

ScopedEnv::~ScopedEnv() {
    if (previous_) {
        setenv(name_, previous_->c_str(), 1);
    } else {
        unsetenv(name_);
    }
}

std::filesystem::path lock_directory() { return std::filesystem::temp_directory_path() / lock_directory_name; }

std::filesystem::path ownership_lock_file(std::string const& lock_id) { return lock_directory() / (lock_id + ".occupied"); }

std::filesystem::path install_test_plugin(std::filesystem::path const& dir, std::string const& file_name,
                                          nlohmann::json const& config) {
    auto const target = dir / file_name;
    // Removing first gives the copy a new inode: overwriting a library that
    // is mapped in this process would corrupt it.
    std::filesystem::remove(target);
    std::filesystem::copy_file(test_plugin_path, target);
    write_plugin_config(target, config);
    return target;
}

void write_plugin_config(std::filesystem::path const& plugin, nlohmann::json const& config) {
    auto const config_path = plugin.native() + ".json";
    auto const temporary = config_path + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << config.dump();
        if (!out) {
            throw std::runtime_error("Cannot write plug-in configuration: " + temporary);
        }
    }
    // A rename, so a plug-in reading concurrently never sees half a file.
    std::filesystem::rename(temporary, config_path);
}

std::string read_file(std::filesystem::path const& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> read_events(std::filesystem::path const& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> read_events_without_pid(std::filesystem::path const& path) {
    auto lines = read_events(path);
    for (auto& line : lines) {
        auto const event_end = line.find(' ');
        if (event_end == std::string::npos) {
            continue;
        }
        auto const pid_end = line.find(' ', event_end + 1);
        line.erase(event_end, pid_end == std::string::npos ? std::string::npos : pid_end - event_end);
    }
    return lines;
}

std::size_t count_events(std::vector<std::string> const& lines, std::string const& event) {
    std::size_t count = 0;
    for (auto const& line : lines) {
        if (line == event || line.starts_with(event + " ")) {
            ++count;
        }
    }
    return count;
}

ChildProcess::ChildProcess(Body const& body) {
    int to_child[2];
    int to_parent[2];
    if (pipe2(to_child, O_CLOEXEC) != 0) {
        throw_errno("pipe");
    }
    if (pipe2(to_parent, O_CLOEXEC) != 0) {
        close(to_child[0]);
        close(to_child[1]);
        throw_errno("pipe");
    }
    pid_ = fork();
    if (pid_ < 0) {
        for (int fd : {to_child[0], to_child[1], to_parent[0], to_parent[1]}) {
            close(fd);
        }
        throw_errno("fork");
    }
    if (pid_ == 0) {
        in_child_ = true;
        close(to_child[1]);
        close(to_parent[0]);
        read_fd_ = to_child[0];
        write_fd_ = to_parent[1];
        int code = 125;
        try {
            code = body(*this);
        } catch (...) {
        }
        _exit(code);
    }
    close(to_child[0]);
    close(to_parent[1]);
    read_fd_ = to_parent[0];
    write_fd_ = to_child[1];
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    close(read_fd_);
    close(write_fd_);
}

void ChildProcess::send(char byte) {
    while (::write(write_fd_, &byte, 1) < 0) {
        if (errno != EINTR) {
            throw_errno("write to pipe");
        }
    }
}

char ChildProcess::receive() {
    char byte = 0;
    for (;;) {
        auto const got = ::read(read_fd_, &byte, 1);
        if (got == 1) {
            return byte;
        }
        if (got == 0) {
            return '\0';
        }
        if (errno != EINTR) {
            throw_errno("read from pipe");
        }
    }
}

int ChildProcess::wait() {
    if (in_child_ || pid_ <= 0) {
        throw std::logic_error("ChildProcess::wait: no child to wait for");
    }
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0) {
        if (errno != EINTR) {
            throw_errno("waitpid");
        }
    }
    pid_ = -1;
    return exit_code_of(status);
}

std::optional<int> ChildProcess::wait_for(std::chrono::milliseconds timeout) {
    if (in_child_ || pid_ <= 0) {
        throw std::logic_error("ChildProcess::wait_for: no child to wait for");
    }
    auto const deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        auto const reaped = waitpid(pid_, &status, WNOHANG);
        if (reaped == pid_) {
            pid_ = -1;
            return exit_code_of(status);
        }
        if (reaped < 0 && errno != EINTR) {
            throw_errno("waitpid");
        }
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void ChildProcess::kill(int signal) {
    if (pid_ > 0) {
        ::kill(pid_, signal);
    }
}

RunningProgram::RunningProgram(std::vector<std::string> const& argv) {
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        throw_errno("pipe");
    }
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        throw_errno("pipe");
    }
    // Built before the fork: the child of a threaded process only execs.
    auto texts = argv;
    std::vector<char*> pointers;
    for (auto& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    try {
        child_.emplace([&](ChildProcess&) {
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            execv(pointers[0], pointers.data());
            return 127;
        });
    } catch (...) {
        for (int fd : {out[0], out[1], err[0], err[1]}) {
            close(fd);
        }
        throw;
    }
    close(out[1]);
    close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
}

RunningProgram::~RunningProgram() {
    child_.reset();
    for (int fd : {out_fd_, err_fd_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

bool RunningProgram::pump(Clock::time_point deadline) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (out_fd_ < 0 && err_fd_ < 0) {
        return false;
    }
    if (poll(fds, 2, milliseconds_until(deadline)) < 0 && errno != EINTR) {
        throw_errno("poll");
    }
    if (fds[0].revents != 0) {
        drain(out_fd_, out_);
    }
    if (fds[1].revents != 0) {
        drain(err_fd_, err_);
    }
    return out_fd_ >= 0 || err_fd_ >= 0;
}

std::optional<std::string> RunningProgram::read_line(std::chrono::milliseconds timeout) {
    auto const deadline = Clock::now() + timeout;
    for (;;) {
        if (auto const end = out_.find('\n'); end != std::string::npos) {
            auto line = out_.substr(0, end);
            out_.erase(0, end + 1);
            return line;
        }
        if (out_fd_ < 0 || Clock::now() >= deadline) {
            return std::nullopt;
        }
        pump(deadline);
    }
}

std::optional<int> RunningProgram::wait_for(std::chrono::milliseconds timeout) {
    if (!status_) {
        auto const deadline = Clock::now() + timeout;
        while (pump(deadline) && Clock::now() < deadline) {
        }
        status_ = child_->wait_for(std::chrono::milliseconds(milliseconds_until(deadline)));
    }
    return status_;
}

int RunningProgram::stop(std::chrono::milliseconds grace) {
    if (!status_) {
        signal(SIGTERM);
        if (!wait_for(grace)) {
            signal(SIGKILL);
            status_ = child_->wait();
        }
    }
    return *status_;
}

int run_in_child(std::function<int()> const& body) {
    ChildProcess child([&body](ChildProcess&) { return body(); });
    return child.wait();
}

}  // namespace zelm::test
