// Lab-wide contention: several simulated hosts (processes with distinct host
// ids and distinct TMPDIRs, so that only etcd keeps them apart, as on
// separate machines), several processes each, fight over a few lab-wide
// simulated devices through a real etcd, while the parent SIGKILLs some
// holders and SIGSTOPs others for longer than their lease lives.
//
// The stress runs' oracle (oracle.hpp), which the library does not share,
// judges the run. A hold is logged only as far as it is proven: an owner
// takes the time, then runs an operation on the managed device; when the
// operation passes the ownership check, the lease was alive at a moment after
// that time, so the device was owned then. The logged interval runs from the
// first such time to the last, so it lies inside the real ownership whatever
// stops the process between two steps, and two intervals of one device that
// overlap are a real double ownership. A stopped holder that resumes must
// find its ownership lost before proving anything: no proof of that hold may
// be taken after it was resumed.
//
// Exits 0 when the run was sound and every host acquired, 1 otherwise, and
// prints its figures either way.
//   zelm_cluster_contention                          3 hosts x 3 processes, 3 devices, 60 s
//   zelm_cluster_contention --members 3 -t 600       a long run on a three-member cluster
#include "etcd_peers.hpp"
#include "oracle.hpp"
#include "test_support.hpp"

#include <zelm/cluster.hpp>
#include <zelm/zelm.hpp>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <thread>

namespace zelm::stress {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr std::int64_t ns_per_second = 1'000'000'000;
constexpr std::int64_t ns_per_ms = 1'000'000;
// Generous bounds that only a hung process or a broken cluster reaches.
constexpr auto overtime = 60s;
constexpr auto stop_bound = 10s;
// A stopped holder stays stopped this much longer than its lease lives.
constexpr auto stop_beyond_ttl = 1500ms;

struct Options {
    int hosts = 3;
    int processes = 3;  // per host
    int devices = 3;
    double seconds = 60;
    int members = 1;
    int ttl = 2;
    double fault_period = 5;  // seconds between two faults; 0: none
    std::uint64_t seed = std::random_device{}();
};

// What every process of the run knows; fixed before the first fork.
struct Setup {
    Options options;
    std::string endpoints;
    std::filesystem::path plugin;
    std::vector<std::string> descriptions;
    std::vector<std::filesystem::path> host_dirs;
    std::int64_t deadline_ns = 0;
    // Processes of a host that has not acquired yet keep trying until here.
    std::int64_t overtime_ns = 0;
};

std::string host_name(int host) { return "host-" + std::to_string(host); }

void bump(std::uint64_t& counter) { shared(counter).fetch_add(1); }

int random_below(std::mt19937_64& random, int bound) {
    return std::uniform_int_distribution<int>(0, bound - 1)(random);
}

void pause_ms(std::mt19937_64& random, int most) {
    std::this_thread::sleep_for(std::chrono::microseconds(random_below(random, most * 1000)));
}

// --- owners ----------------------------------------------------------------

// The time taken before an operation on the device that passed the
// ownership check: the device was owned then. None once the ownership is lost.
std::optional<std::int64_t> prove(ManagedDevice& device) {
    auto const before = now_ns();
    try {
        device.read_registers();
    } catch (cluster::OwnershipLostError const&) {
        return std::nullopt;
    }
    return before;
}

// Marks `device` as held by record `tag`, proven at `proven_ns`. A slot that
// names another hold may be left by a holder that died or was stopped: that
// hold's last proof must be older than this one's, or both were owners at once.
void mark(SharedOracle const& oracle, int device, std::uint64_t tag, std::int64_t proven_ns) {
    auto slot = shared(oracle.board().slots[device]);
    auto seen = slot.load();
    for (;;) {
        if (seen != 0) {
            auto& other = oracle.record(seen - 1);
            auto const other_proven = shared(other.released_ns).load();
            if (other_proven >= proven_ns) {
                oracle.violation(fmt::format("device {} proven owned from {} while pid {} proved it owned at {}",
                                             device, proven_ns, other.pid, other_proven));
                return;
            }
        }
        if (slot.compare_exchange_weak(seen, tag)) {
            return;
        }
    }
}

// Clears the slot unless a later holder took it over (this hold was lost).
void unmark(SharedOracle const& oracle, int device, std::uint64_t tag) {
    auto expected = tag;
    shared(oracle.board().slots[device]).compare_exchange_strong(expected, 0);
}

// Holds the device for a few milliseconds, proving the ownership again and
// again; the record's end follows the last proof.
void hold(SharedOracle const& oracle, ManagedDevice& device, HoldRecord& record, std::mt19937_64& random) {
    int const proofs = 1 + random_below(random, 8);
    for (int i = 0; i < proofs; ++i) {
        pause_ms(random, 3);
        auto const proven = prove(device);
        if (!proven) {
            bump(oracle.board().counters.ownerships_lost);
            return;
        }
        shared(record.released_ns).store(*proven);
    }
}

std::unique_ptr<ManagedDevice> acquire(SharedOracle const& oracle, DeviceManager& manager,
                                       std::string const& description) {
    auto& counters = oracle.board().counters;
    try {
        return manager.open_managed_device(description);
    } catch (DeviceOccupiedError const&) {
        bump(counters.conflicts);
    } catch (cluster::UnavailableError const& error) {
        bump(counters.unavailable);
        std::fprintf(stderr, "acquisition (pid %d): %s\n", static_cast<int>(getpid()), error.what());
    } catch (std::exception const& error) {
        bump(counters.errors);
        std::fprintf(stderr, "acquisition failed (pid %d): %s\n", static_cast<int>(getpid()), error.what());
    }
    return nullptr;
}

void hold_once(Setup const& setup, SharedOracle const& oracle, DeviceManager& manager, int host,
               std::mt19937_64& random) {
    int const device = random_below(random, setup.options.devices);
    auto const owned = acquire(oracle, manager, setup.descriptions[device]);
    if (!owned) {
        pause_ms(random, 5);
        return;
    }
    auto const proven = prove(*owned);
    auto& board = oracle.board();
    if (!proven) {
        bump(board.counters.ownerships_lost);
        return;
    }
    std::uint64_t tag = 0;
    auto* const record = oracle.new_record(device, *proven, tag);
    if (record == nullptr) {
        return;  // the log is full; the run ends
    }
    shared(record->released_ns).store(*proven);
    bump(board.counters.acquisitions);
    bump(board.owner_acquisitions[host]);
    mark(oracle, device, tag, *proven);
    hold(oracle, *owned, *record, random);
    unmark(oracle, device, tag);
}

// One process of a host: its own TMPDIR (lock files and the simulated
// devices' state), the host's id in the cluster.
int run_owner(Setup const& setup, SharedOracle const& oracle, int host, std::uint64_t seed) {
    auto const& dir = setup.host_dirs[host];
    ::setenv("TMPDIR", dir.c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    cluster::join(cluster::parse_endpoints(setup.endpoints),
                  {.host_id = host_name(host), .ttl = std::chrono::seconds(setup.options.ttl)});
    std::mt19937_64 random(seed);
    auto& board = oracle.board();
    auto const keeps_going = [&] {
        auto const now = now_ns();
        bool const host_acquired = shared(board.owner_acquisitions[host]).load() != 0;
        return now < setup.deadline_ns || (!host_acquired && now < setup.overtime_ns);
    };
    {
        auto const manager = get_device_manager(setup.plugin);
        while (shared(board.stop).load() == 0 && keeps_going()) {
            hold_once(setup, oracle, *manager, host, random);
        }
    }
    cluster::leave();
    return 0;
}

// --- the parent -------------------------------------------------------------

struct Owner {
    int host;
    std::unique_ptr<test::ChildProcess> process;
};

// A holder the parent stopped: which hold, and when it let it go on.
struct Stop {
    pid_t pid;
    std::uint64_t record;
    std::int64_t stopped_ns;
    std::int64_t resume_ns;  // when it is due to go on
    std::int64_t resumed_ns = 0;
};

class Run {
public:
    Run(Setup const& setup, SharedOracle& oracle) : setup_(setup), oracle_(oracle), random_(setup.options.seed) {}

    void start();
    void drive();
    void finish();

    std::vector<Kill> const& kills() const { return kills_; }
    std::vector<Stop> const& stops() const { return stops_; }
    std::vector<std::string> const& failures() const { return failures_; }
    std::map<pid_t, int> const& host_of() const { return host_of_; }
    int owners_started() const { return next_owner_; }

private:
    void spawn_owner(int host);
    void fault(bool kill);
    void resume_due(bool all);
    bool stopped_now(pid_t pid) const;

    Setup const& setup_;
    SharedOracle& oracle_;
    std::mt19937_64 random_;
    std::map<pid_t, Owner> owners_;
    std::map<pid_t, int> host_of_;  // every owner process of the run
    std::vector<Kill> kills_;
    std::vector<Stop> stops_;
    std::vector<std::string> failures_;
    int next_owner_ = 0;
};

void Run::spawn_owner(int host) {
    auto const seed = setup_.options.seed + 1000003ULL * static_cast<std::uint64_t>(++next_owner_);
    std::fflush(nullptr);
    auto process = std::make_unique<test::ChildProcess>(
        [this, host, seed](test::ChildProcess&) { return run_owner(setup_, oracle_, host, seed); });
    auto const pid = process->pid();
    host_of_[pid] = host;
    owners_.emplace(pid, Owner{host, std::move(process)});
}

void Run::start() {
    for (int host = 0; host < setup_.options.hosts; ++host) {
        for (int i = 0; i < setup_.options.processes; ++i) {
            spawn_owner(host);
        }
    }
}

bool Run::stopped_now(pid_t pid) const {
    return std::ranges::any_of(stops_, [pid](Stop const& stop) { return stop.pid == pid && stop.resumed_ns == 0; });
}

// SIGKILLs or SIGSTOPs whoever holds a random device now, if anyone does. A
// killed holder is replaced by a new process of its host.
void Run::fault(bool kill) {
    int const device = random_below(random_, setup_.options.devices);
    auto const tag = shared(oracle_.board().slots[device]).load();
    if (tag == 0) {
        return;
    }
    auto const pid = static_cast<pid_t>(oracle_.record(tag - 1).pid);
    auto const owner = owners_.find(pid);
    if (owner == owners_.end() || stopped_now(pid)) {
        return;
    }
    auto& process = *owner->second.process;
    if (kill) {
        auto const killed_ns = now_ns();
        process.kill(SIGKILL);
        process.wait();
        kills_.push_back(Kill{device, killed_ns});
        auto const host = owner->second.host;
        owners_.erase(owner);
        spawn_owner(host);
        return;
    }
    process.kill(SIGSTOP);
    auto const bound = now_ns() + std::chrono::nanoseconds(stop_bound).count();
    while (!is_stopped(pid)) {
        if (now_ns() > bound || is_dying(pid)) {
            failures_.push_back(fmt::format("pid {} did not stop on SIGSTOP", pid));
            return;
        }
        std::this_thread::sleep_for(1ms);
    }
    auto const stopped_ns = now_ns();
    auto const stop_ns = std::chrono::nanoseconds(std::chrono::seconds(setup_.options.ttl) + stop_beyond_ttl).count();
    stops_.push_back(Stop{pid, tag - 1, stopped_ns, stopped_ns + stop_ns});
}

// The resume time is taken before SIGCONT: every time the holder takes after
// it goes on is later.
void Run::resume_due(bool all) {
    for (auto& stop : stops_) {
        if (stop.resumed_ns == 0 && (all || now_ns() >= stop.resume_ns)) {
            stop.resumed_ns = now_ns();
            owners_.at(stop.pid).process->kill(SIGCONT);
        }
    }
}

void Run::drive() {
    auto const& options = setup_.options;
    auto const period_ns = static_cast<std::int64_t>(options.fault_period * ns_per_second);
    // The last fault leaves time for the lease to lapse and the holder to go on.
    auto const last_fault_ns =
        setup_.deadline_ns - std::chrono::nanoseconds(std::chrono::seconds(options.ttl) + 2 * stop_beyond_ttl).count();
    auto next_fault_ns = now_ns() + period_ns;
    bool kill = true;
    while (now_ns() < setup_.deadline_ns && shared(oracle_.board().stop).load() == 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(500 + random_below(random_, 1500)));
        resume_due(false);
        if (period_ns > 0 && now_ns() >= next_fault_ns && now_ns() < last_fault_ns) {
            auto const faults = kills_.size() + stops_.size();
            fault(kill);
            if (kills_.size() + stops_.size() > faults) {
                kill = !kill;
                next_fault_ns = now_ns() + period_ns;
            }
        }
    }
    resume_due(true);
}

// Waits for every process to end on its own; what is still running long
// after the last host should have acquired is killed (by the ChildProcess).
void Run::finish() {
    auto const bound = setup_.overtime_ns + std::chrono::nanoseconds(overtime).count();
    for (auto& [pid, owner] : owners_) {
        auto const left = std::max<std::int64_t>(bound - now_ns(), 0) / ns_per_ms;
        auto const code = owner.process->wait_for(std::chrono::milliseconds(left));
        if (!code) {
            failures_.push_back(fmt::format("owner pid {} of {} was still running and was killed", pid,
                                            host_name(owner.host)));
        } else if (*code != 0) {
            failures_.push_back(fmt::format("owner pid {} of {} ended with code {}", pid, host_name(owner.host), *code));
        }
    }
    owners_.clear();
}

// --- judgement and report ---------------------------------------------------

// A stopped holder that proved its hold after it went on kept using a lease
// that had lapsed on the cluster.
std::uint64_t check_stops(SharedOracle const& oracle, std::vector<Stop> const& stops) {
    std::uint64_t violations = 0;
    for (auto const& stop : stops) {
        auto const& record = oracle.record(stop.record);
        if (record.released_ns >= stop.resumed_ns) {
            ++violations;
            std::fprintf(stderr, "VIOLATION: pid %d proved device %d owned %.3f ms after going on from a stop of %.3f s\n",
                         static_cast<int>(stop.pid), record.device,
                         static_cast<double>(record.released_ns - stop.resumed_ns) / 1e6,
                         static_cast<double>(stop.resumed_ns - stop.stopped_ns) / 1e9);
        }
    }
    return violations;
}

// Stops during which a process of another host acquired the stopped hold's
// device: the lease lapsed for the cluster too.
std::size_t stops_taken_over(SharedOracle const& oracle, Run const& run) {
    auto const count = std::min<std::uint64_t>(shared(oracle.board().next_record).load(), oracle.capacity());
    std::size_t taken = 0;
    for (auto const& stop : run.stops()) {
        auto const& held = oracle.record(stop.record);
        for (std::uint64_t index = 0; index < count; ++index) {
            auto const& other = oracle.record(index);
            if (other.device == held.device && other.acquired_ns > stop.stopped_ns &&
                other.acquired_ns < stop.resumed_ns && run.host_of().at(other.pid) != run.host_of().at(held.pid)) {
                ++taken;
                break;
            }
        }
    }
    return taken;
}

std::string milliseconds_summary(std::vector<double> const& sorted) {
    if (sorted.empty()) {
        return "none measured";
    }
    return fmt::format("min {:.1f} ms, median {:.1f} ms, max {:.1f} ms over {} kills", sorted.front(),
                       sorted[sorted.size() / 2], sorted.back(), sorted.size());
}

std::uint64_t load(std::uint64_t& counter) { return shared(counter).load(); }

bool report(Setup const& setup, SharedOracle& oracle, Run const& run, LogAnalysis const& log) {
    auto& board = oracle.board();
    auto& counters = board.counters;
    auto const& options = setup.options;
    auto const stop_violations = check_stops(oracle, run.stops());
    auto const violations = load(counters.violations) + log.overlaps + stop_violations;
    fmt::print("cluster contention: seed {}, {} etcd member(s), {} hosts x {} processes ({} over the run), {} "
               "lab-wide devices, {:.1f} s, lease {} s\n",
               options.seed, options.members, options.hosts, options.processes, run.owners_started(), options.devices,
               options.seconds, options.ttl);
    fmt::print("acquisitions {}, refused as held {}, cluster unavailable {}, ownerships found lost {}, other errors {}\n",
               load(counters.acquisitions), load(counters.conflicts), load(counters.unavailable),
               load(counters.ownerships_lost), load(counters.errors));
    bool every_host = true;
    for (int host = 0; host < options.hosts; ++host) {
        auto const acquired = load(board.owner_acquisitions[host]);
        fmt::print("{}: {} acquisitions\n", host_name(host), acquired);
        if (acquired == 0) {
            every_host = false;
            fmt::print("FAILURE: {} never acquired a device\n", host_name(host));
        }
    }
    fmt::print("holders killed {}; death to the device's next acquisition: {} ({} with none before the end)\n",
               run.kills().size(), milliseconds_summary(log.kill_to_next_ms), log.kills_without_next);
    fmt::print("holders stopped past their lease {} (another host took the device meanwhile in {}), proofs after "
               "going on {}\n",
               run.stops().size(), stops_taken_over(oracle, run), stop_violations);
    fmt::print("hold records {}, overlapping {}\n", log.records, log.overlaps);
    if (load(board.stop) != 0) {
        fmt::print("the hold log filled up ({} records) and ended the run early\n", oracle.capacity());
    }
    for (auto const& failure : run.failures()) {
        fmt::print("FAILURE: {}\n", failure);
    }
    bool const sound = violations == 0 && load(counters.errors) == 0 && run.failures().empty() && every_host;
    fmt::print("violations {}: {}\n", violations, sound ? "PASS" : "FAIL");
    return sound;
}

// --- set-up -----------------------------------------------------------------

Setup make_setup(Options const& options, std::string endpoints, std::filesystem::path const& dir) {
    Setup setup{options, std::move(endpoints), ZELM_SIM_PLUGIN, {}, {}, 0, 0};
    auto devices = json::array();
    for (int device = 0; device < options.devices; ++device) {
        json const description = {{"serial", fmt::format("LAB-{}", device)}};
        devices.push_back({{"description", description}, {"lab_wide", true}, {"keep_state", false}});
        setup.descriptions.push_back(description.dump());
    }
    auto const config = dir / "sim.json";
    std::ofstream(config) << json{{"devices", devices}}.dump();
    ::setenv("ZELM_SIM_CONFIG", config.c_str(), 1);
    for (int host = 0; host < options.hosts; ++host) {
        setup.host_dirs.push_back(dir / host_name(host));
        std::filesystem::create_directory(setup.host_dirs.back());
    }
    return setup;
}

std::size_t log_capacity(Options const& options) {
    // Far above the rate of holds that last a few milliseconds.
    auto const estimate = static_cast<double>(options.hosts * options.processes) * (options.seconds + 60) * 1000;
    return static_cast<std::size_t>(std::clamp(estimate, double{1 << 16}, double{1 << 26}));
}

int run_contention(Options const& options) {
    test::TempDir const dir;
    cluster_test::EtcdCluster const etcd(options.members);
    auto setup = make_setup(options, etcd.endpoint_list(), dir.path());
    SharedOracle oracle(log_capacity(options));

    setup.deadline_ns = now_ns() + static_cast<std::int64_t>(options.seconds * ns_per_second);
    setup.overtime_ns = setup.deadline_ns + std::chrono::nanoseconds(overtime).count();
    Run run(setup, oracle);
    run.start();
    run.drive();
    run.finish();
    auto const log = analyse_log(oracle, options.devices, run.kills());
    return report(setup, oracle, run, log) ? 0 : 1;
}

}  // namespace
}  // namespace zelm::stress

int main(int argc, char** argv) {
    zelm::stress::Options options;
    CLI::App app{"Simulated hosts fighting over lab-wide devices through etcd"};
    app.add_option("--hosts", options.hosts, "simulated hosts")->check(CLI::Range(1, 64));
    app.add_option("-k,--processes", options.processes, "owner processes per host")->check(CLI::Range(1, 64));
    app.add_option("-d,--devices", options.devices, "lab-wide devices shared by all")
        ->check(CLI::Range(1, zelm::stress::max_devices));
    app.add_option("-t,--seconds", options.seconds, "length of the run")->check(CLI::Range(1.0, 86400.0));
    app.add_option("--members", options.members, "etcd members")->check(CLI::Range(1, 5));
    app.add_option("--ttl", options.ttl, "lease time-to-live, seconds")->check(CLI::Range(2, 60));
    app.add_option("--fault-period", options.fault_period, "seconds between two faults (kill, stop); 0: none")
        ->check(CLI::Range(0.0, 3600.0));
    app.add_option("--seed", options.seed, "seed of every random choice (printed)");
    CLI11_PARSE(app, argc, argv);
    try {
        return zelm::stress::run_contention(options);
    } catch (std::exception const& error) {
        std::fprintf(stderr, "zelm_cluster_contention: %s\n", error.what());
        return 2;
    }
}
