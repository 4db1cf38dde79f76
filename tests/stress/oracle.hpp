// The stress runs' own record of who holds which device, kept in memory that
// every process of a run shares (mapped before fork) and that the library
// never sees, so it can judge the library's locks from outside. The exclusion
// stress run (exclusion_stress.cpp) and the cluster's contention run
// (tests/cluster/contention_run.cpp) both judge by it.
//
// A device's slot holds 0 while nobody claims it, else the number of the hold
// record (index + 1) of the process that claims it; the top bit marks a
// holder that the parent has decided to kill. A holder claims the slot right
// after manage_device succeeds and clears it right before destroying the
// device, so while a slot names a record, that holder's lock is held.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zelm::stress {

inline constexpr std::uint64_t kill_mark = std::uint64_t{1} << 63;
inline constexpr int max_devices = 64;
// Owner processes over the whole run, replacements of killed ones included.
inline constexpr int max_owners = 1 << 14;

// One ownership of one device, written by its holder (the kill time by the
// parent). Times are CLOCK_MONOTONIC nanoseconds, comparable across processes.
struct HoldRecord {
    std::int32_t pid;
    std::int32_t device;
    std::int64_t acquired_ns;
    std::int64_t released_ns;  // 0 while held
    std::int64_t killed_ns;    // when the parent sent SIGKILL to the holder, else 0
};

struct Counters {
    std::uint64_t acquisitions;
    std::uint64_t conflicts;  // acquisitions refused as occupied
    std::uint64_t errors;     // any other failure of a library call
    std::uint64_t probes;
    std::uint64_t probes_free;
    std::uint64_t scans;
    std::uint64_t scan_found;
    std::uint64_t scan_occupied;
    std::uint64_t scan_failed;
    std::uint64_t cleans;
    std::uint64_t files_cleaned;  // lock files that cleans removed
    std::uint64_t violations;
    std::uint64_t ownerships_lost;  // lab-wide ownerships that an operation found lost
    std::uint64_t unavailable;      // acquisitions that found the cluster unavailable
};

// Everything but the hold records; plain integers, accessed through
// std::atomic_ref (the mapping starts zeroed, which is their initial state).
struct Board {
    std::uint64_t slots[max_devices];
    std::uint64_t next_record;
    std::uint64_t stop;  // set when the record log is full
    Counters counters;
    std::uint64_t owner_acquisitions[max_owners];
};

template <typename T>
std::atomic_ref<T> shared(T& value) {
    return std::atomic_ref<T>(value);
}

std::int64_t now_ns();

// The board and `capacity` hold records in one anonymous MAP_SHARED mapping,
// reserved without backing store so that only what is used costs memory.
class SharedOracle {
public:
    explicit SharedOracle(std::size_t capacity);
    ~SharedOracle();
    SharedOracle(SharedOracle const&) = delete;
    SharedOracle& operator=(SharedOracle const&) = delete;

    Board& board() const { return *board_; }
    HoldRecord& record(std::uint64_t index) const { return records_[index]; }
    std::size_t capacity() const { return capacity_; }

    // A new hold record for this process, or nullptr when the log is full
    // (which also asks every process to stop).
    HoldRecord* new_record(int device, std::int64_t acquired_ns, std::uint64_t& tag) const;

    // A violation seen by this process: counted, and described on stderr.
    void violation(std::string const& what) const;

private:
    void* base_ = nullptr;
    std::size_t size_ = 0;
    Board* board_ = nullptr;
    HoldRecord* records_ = nullptr;
    std::size_t capacity_ = 0;
};

// True when `pid` is gone, a zombie, or already past the start of its exit
// (PF_EXITING: the kernel closes a process's files only after that point).
bool is_dying(pid_t pid);
// True when `pid` is stopped by a signal (SIGSTOP and the like).
bool is_stopped(pid_t pid);

// One SIGKILL the parent sent to a holder.
struct Kill {
    int device;
    std::int64_t killed_ns;
};

// What the hold records say once every process has ended.
struct LogAnalysis {
    std::uint64_t records = 0;
    std::uint64_t overlaps = 0;
    std::uint64_t unreleased = 0;              // neither released nor killed
    std::vector<double> kill_to_next_ms;       // death to the device's next acquisition
    std::uint64_t kills_without_next = 0;      // no later acquisition of that device in the log
};

LogAnalysis analyse_log(SharedOracle const& oracle, int devices, std::vector<Kill> const& kills);

}  // namespace zelm::stress
