// The shared-memory oracle of the stress run and the check of its hold log.
#include "oracle.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <system_error>

namespace zelm::stress {
namespace {

// Bit of a task's flags (field 9 of /proc/<pid>/stat) set when it begins to exit.
constexpr unsigned long pf_exiting = 0x4;

// Violations each process describes on stderr; later ones are only counted.
constexpr std::uint64_t described_violations = 20;

}  // namespace

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

SharedOracle::SharedOracle(std::size_t capacity) : capacity_(capacity) {
    size_ = sizeof(Board) + capacity * sizeof(HoldRecord);
    base_ = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base_ == MAP_FAILED) {
        throw std::system_error(errno, std::generic_category(), "mmap of the shared oracle");
    }
    board_ = static_cast<Board*>(base_);
    records_ = reinterpret_cast<HoldRecord*>(static_cast<char*>(base_) + sizeof(Board));
}

SharedOracle::~SharedOracle() { munmap(base_, size_); }

HoldRecord* SharedOracle::new_record(int device, std::int64_t acquired_ns, std::uint64_t& tag) const {
    auto const index = shared(board_->next_record).fetch_add(1);
    if (index >= capacity_) {
        shared(board_->stop).store(1);
        return nullptr;
    }
    auto& record = records_[index];
    record.pid = getpid();
    record.device = device;
    record.acquired_ns = acquired_ns;
    tag = index + 1;
    return &record;
}

void SharedOracle::violation(std::string const& what) const {
    if (shared(board_->counters.violations).fetch_add(1) < described_violations) {
        std::fprintf(stderr, "VIOLATION (pid %d): %s\n", static_cast<int>(getpid()), what.c_str());
    }
}

namespace {

struct ProcessStat {
    char state = 'X';  // 'X' (dead) when the process is already reaped
    unsigned long flags = 0;
};

ProcessStat stat_of(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat)) {
        return {};
    }
    // The command name may hold spaces and parentheses; the fields follow the last ')'.
    std::istringstream fields(stat.substr(stat.rfind(')') + 1));
    ProcessStat result;
    std::string skipped;
    fields >> result.state;
    for (int field = 4; field < 9; ++field) {
        fields >> skipped;
    }
    fields >> result.flags;
    return result;
}

}  // namespace

bool is_dying(pid_t pid) {
    auto const stat = stat_of(pid);
    return stat.state == 'Z' || stat.state == 'X' || (stat.flags & pf_exiting) != 0;
}

bool is_stopped(pid_t pid) { return stat_of(pid).state == 'T'; }

namespace {

// Where a hold provably ended: its release, or, for a killed holder, no
// earlier than the kill (it died after it, holding the lock to the end).
std::int64_t end_of(HoldRecord const& record) { return record.killed_ns != 0 ? record.killed_ns : record.released_ns; }

std::vector<HoldRecord> records_of(SharedOracle const& oracle, int device) {
    auto const count = std::min<std::uint64_t>(shared(oracle.board().next_record).load(), oracle.capacity());
    std::vector<HoldRecord> found;
    for (std::uint64_t index = 0; index < count; ++index) {
        if (oracle.record(index).device == device) {
            found.push_back(oracle.record(index));
        }
    }
    std::ranges::sort(found, {}, &HoldRecord::acquired_ns);
    return found;
}

// Holds of one device must follow each other: each starts after every
// earlier one ended. The logged interval lies inside the real one (taken
// after locking, ended before unlocking), so an overlap here is a real one.
void check_device(std::vector<HoldRecord> const& holds, int device, LogAnalysis& analysis) {
    std::int64_t latest_end = 0;
    HoldRecord const* latest = nullptr;
    for (auto const& hold : holds) {
        ++analysis.records;
        if (end_of(hold) == 0) {
            ++analysis.unreleased;
            std::fprintf(stderr, "hold of device %d by pid %d was never released\n", device, hold.pid);
            continue;
        }
        if (latest != nullptr && hold.acquired_ns < latest_end) {
            ++analysis.overlaps;
            std::fprintf(stderr, "VIOLATION: device %d held by pid %d from %lld while pid %d held it until %lld\n",
                         device, hold.pid, static_cast<long long>(hold.acquired_ns), latest->pid,
                         static_cast<long long>(latest_end));
        }
        if (end_of(hold) > latest_end) {
            latest_end = end_of(hold);
            latest = &hold;
        }
    }
}

void measure_kill(std::vector<HoldRecord> const& holds, Kill const& kill, LogAnalysis& analysis) {
    auto const next =
        std::ranges::find_if(holds, [&](HoldRecord const& hold) { return hold.acquired_ns > kill.killed_ns; });
    if (next == holds.end()) {
        ++analysis.kills_without_next;
        return;
    }
    analysis.kill_to_next_ms.push_back(static_cast<double>(next->acquired_ns - kill.killed_ns) / 1e6);
}

}  // namespace

LogAnalysis analyse_log(SharedOracle const& oracle, int devices, std::vector<Kill> const& kills) {
    LogAnalysis analysis;
    for (int device = 0; device < devices; ++device) {
        auto const holds = records_of(oracle, device);
        check_device(holds, device, analysis);
        for (auto const& kill : kills) {
            if (kill.device == device) {
                measure_kill(holds, kill, analysis);
            }
        }
    }
    std::ranges::sort(analysis.kill_to_next_ms);
    return analysis;
}

}  // namespace zelm::stress
