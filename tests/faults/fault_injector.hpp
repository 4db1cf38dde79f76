// A fault injector over the system-call seam: counts every call the lock
// directory code makes and, when armed, makes the Nth call of one kind fail
// with a chosen errno or transfer fewer bytes than asked.
#pragma once

#include "locking/system_calls.hpp"

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace zelm::faults {

// One kind for every entry of the seam's table.
enum class Call {
    open,
    mkdir,
    openat,
    close,
    fstat,
    fstatat,
    fchmod,
    flock,
    dup_above,
    dup_above_cloexec,
    pread,
    pwrite,
    ftruncate,
    futimens,
    unlinkat,
};
inline constexpr std::size_t call_kinds = 15;
inline constexpr std::array<Call, call_kinds> all_calls{
    Call::open,      Call::mkdir, Call::openat, Call::close,     Call::fstat,    Call::fstatat,
    Call::fchmod,    Call::flock, Call::dup_above, Call::dup_above_cloexec, Call::pread, Call::pwrite,
    Call::ftruncate, Call::futimens, Call::unlinkat,
};

char const* name_of(Call call);

// errno 0 means a short transfer (half of what was asked) instead of a failure.
// A failed close still closes the descriptor, as Linux does.
struct Fault {
    Call call;
    int nth;  // counted from 1 among the calls of that kind
    int error;
};

std::string describe(Fault const& fault);

// The faults worth injecting into one kind of call.
std::vector<int> errors_for(Call call);

using CallCounts = std::array<int, call_kinds>;

// Replaces the seam's table for its lifetime; only one may exist at a time.
class FaultInjector {
public:
    FaultInjector();
    ~FaultInjector();
    FaultInjector(FaultInjector const&) = delete;
    FaultInjector& operator=(FaultInjector const&) = delete;

    // Starts counting afresh; with a fault, that call will misbehave once.
    void count_only();
    void arm(Fault const& fault);
    // Stops injecting and counting: calls go straight to the system.
    void disarm();

    CallCounts const& counts() const;
    bool fired() const;
};

}  // namespace zelm::faults
