// The fault injector's wrappers. The seam holds plain function pointers, so
// the injector's state is a single file-level object.
#include "fault_injector.hpp"

#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>

namespace zelm::faults {
namespace {

using detail::real_system_calls;
using detail::system_calls;

struct State {
    bool installed = false;
    bool counting = false;
    std::optional<Fault> armed;
    bool fired = false;
    CallCounts counts{};
};
State state;

// Every entry of the seam is a function pointer with a kind of its own.
static_assert(sizeof(detail::SystemCalls) == call_kinds * sizeof(void (*)()), "a seam entry without a Call kind");

enum class Verdict { pass, fail, shorten };

// Counts the call and says what to do with it.
Verdict next(Call call) {
    if (!state.counting) {
        return Verdict::pass;
    }
    int const nth = ++state.counts[static_cast<std::size_t>(call)];
    if (!state.armed || state.armed->call != call || state.armed->nth != nth) {
        return Verdict::pass;
    }
    state.fired = true;
    if (state.armed->error == 0) {
        return Verdict::shorten;
    }
    errno = state.armed->error;
    return Verdict::fail;
}

int open_call(char const* path, int flags, mode_t mode) {
    return next(Call::open) == Verdict::fail ? -1 : real_system_calls().open(path, flags, mode);
}
int mkdir_call(char const* path, mode_t mode) {
    return next(Call::mkdir) == Verdict::fail ? -1 : real_system_calls().mkdir(path, mode);
}
int openat_call(int directory, char const* path, int flags, mode_t mode) {
    return next(Call::openat) == Verdict::fail ? -1 : real_system_calls().openat(directory, path, flags, mode);
}
int close_call(int fd) {
    if (next(Call::close) == Verdict::fail) {
        int const error = errno;
        real_system_calls().close(fd);
        errno = error;
        return -1;
    }
    return real_system_calls().close(fd);
}
int fstat_call(int fd, struct stat* status) {
    return next(Call::fstat) == Verdict::fail ? -1 : real_system_calls().fstat(fd, status);
}
int fstatat_call(int directory, char const* path, struct stat* status, int flags) {
    return next(Call::fstatat) == Verdict::fail ? -1 : real_system_calls().fstatat(directory, path, status, flags);
}
int fchmod_call(int fd, mode_t mode) {
    return next(Call::fchmod) == Verdict::fail ? -1 : real_system_calls().fchmod(fd, mode);
}
int flock_call(int fd, int operation) {
    return next(Call::flock) == Verdict::fail ? -1 : real_system_calls().flock(fd, operation);
}
int dup_above_call(int fd, int lowest) {
    return next(Call::dup_above) == Verdict::fail ? -1 : real_system_calls().dup_above(fd, lowest);
}
int dup_above_cloexec_call(int fd, int lowest) {
    return next(Call::dup_above_cloexec) == Verdict::fail ? -1 : real_system_calls().dup_above_cloexec(fd, lowest);
}
ssize_t pread_call(int fd, void* buffer, size_t size, off_t offset) {
    switch (next(Call::pread)) {
    case Verdict::fail:
        return -1;
    case Verdict::shorten:
        return real_system_calls().pread(fd, buffer, size / 2, offset);
    default:
        return real_system_calls().pread(fd, buffer, size, offset);
    }
}
ssize_t pwrite_call(int fd, void const* buffer, size_t size, off_t offset) {
    switch (next(Call::pwrite)) {
    case Verdict::fail:
        return -1;
    case Verdict::shorten:
        return real_system_calls().pwrite(fd, buffer, size / 2, offset);
    default:
        return real_system_calls().pwrite(fd, buffer, size, offset);
    }
}
int ftruncate_call(int fd, off_t length) {
    return next(Call::ftruncate) == Verdict::fail ? -1 : real_system_calls().ftruncate(fd, length);
}
int futimens_call(int fd, struct timespec const times[2]) {
    return next(Call::futimens) == Verdict::fail ? -1 : real_system_calls().futimens(fd, times);
}
int unlinkat_call(int directory, char const* path, int flags) {
    return next(Call::unlinkat) == Verdict::fail ? -1 : real_system_calls().unlinkat(directory, path, flags);
}

}  // namespace

char const* name_of(Call call) {
    static constexpr std::array<char const*, call_kinds> names{
        "open",  "mkdir",     "openat",            "close", "fstat",  "fstatat",  "fchmod",
        "flock", "dup_above", "dup_above_cloexec", "pread", "pwrite", "ftruncate", "futimens", "unlinkat"};
    return names[static_cast<std::size_t>(call)];
}

std::string describe(Fault const& fault) {
    auto const what = fault.error == 0 ? std::string("short transfer") : std::string(strerrorname_np(fault.error));
    return std::string(name_of(fault.call)) + " call " + std::to_string(fault.nth) + ": " + what;
}

std::vector<int> errors_for(Call call) {
    switch (call) {
    case Call::open:
        return {ENOENT, EACCES, EMFILE, ELOOP};
    case Call::mkdir:
        return {EEXIST, EACCES, ENOSPC};
    case Call::openat:
        return {ENOENT, EEXIST, EACCES, EMFILE, EINTR};
    case Call::close:
        return {EINTR, EIO};
    case Call::fstat:
        return {EIO};
    case Call::fstatat:
        return {ENOENT, EIO};
    case Call::fchmod:
        return {EPERM};
    case Call::flock:
        return {EWOULDBLOCK, EINTR, ENOLCK};
    case Call::dup_above:
    case Call::dup_above_cloexec:
        return {EMFILE};
    case Call::pread:
        return {EIO, 0};
    case Call::pwrite:
        return {ENOSPC, 0};
    case Call::ftruncate:
        return {EIO};
    case Call::futimens:
        return {EPERM, EROFS};
    case Call::unlinkat:
        return {EPERM, ENOENT, EROFS};
    }
    return {};
}

FaultInjector::FaultInjector() {
    if (state.installed) {
        throw std::logic_error("only one FaultInjector at a time");
    }
    state = State{};
    state.installed = true;
    system_calls() = detail::SystemCalls{
        .open = open_call,
        .mkdir = mkdir_call,
        .openat = openat_call,
        .close = close_call,
        .fstat = fstat_call,
        .fstatat = fstatat_call,
        .fchmod = fchmod_call,
        .flock = flock_call,
        .dup_above = dup_above_call,
        .dup_above_cloexec = dup_above_cloexec_call,
        .pread = pread_call,
        .pwrite = pwrite_call,
        .ftruncate = ftruncate_call,
        .futimens = futimens_call,
        .unlinkat = unlinkat_call,
    };
}

FaultInjector::~FaultInjector() {
    system_calls() = real_system_calls();
    state = State{};
}

void FaultInjector::count_only() {
    state.counts = {};
    state.armed.reset();
    state.fired = false;
    state.counting = true;
}

void FaultInjector::arm(Fault const& fault) {
    count_only();
    state.armed = fault;
}

void FaultInjector::disarm() {
    state.counting = false;
    state.armed.reset();
}

CallCounts const& FaultInjector::counts() const { return state.counts; }
bool FaultInjector::fired() const { return state.fired; }

}  // namespace zelm::faults
