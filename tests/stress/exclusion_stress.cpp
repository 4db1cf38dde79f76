// Exclusion under load: many processes own, probe and scan a few devices at
// once through the shared library, while the parent kills some holders with
// SIGKILL and, when asked, other processes keep removing every lock file that
// nobody holds (zelm::clean_lock_directory with no age limit). The oracle
// (oracle.hpp), which the library does not share, must never see two holders
// of one device, a probe or scan that calls a held device free, or a killed
// holder's device that does not come free.
//
// Exits 0 when the run was sound, 1 otherwise; prints its figures either way.
//   zelm_stress                                  CI size: 8 owners, 5 s, 4 devices
//   zelm_stress -k 32 -t 600 --seed 7            a long run
//   zelm_stress --cleaners 2                     the same while lock files are removed
#include "oracle.hpp"
#include "test_support.hpp"

#include <zelm/zelm.hpp>

#include <CLI/CLI.hpp>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <string_view>
#include <system_error>
#include <thread>

namespace zelm::stress {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// The path the test plug-in reports, fixed so that the parent can name lock
// identities without loading the plug-in.
constexpr char const* manager_path = "/stress/test_manager";
constexpr std::int64_t ns_per_second = 1'000'000'000;
// Generous bounds that only a broken lock or a hung process reaches.
constexpr std::int64_t freed_bound_ns = 10 * ns_per_second;
constexpr std::int64_t overtime_ns = 30 * ns_per_second;

struct Options {
    int processes = 8;
    double seconds = 5;
    int devices = 4;
    std::uint64_t seed = std::random_device{}();
    int probers = 2;
    int scanners = 1;
    int cleaners = 0;
    double kill_percent = 1;
};

// What every process of the run knows; fixed before the first fork.
struct Setup {
    Options options;
    std::filesystem::path plugin;
    std::vector<std::string> descriptions;
    std::vector<std::string> lock_ids;
    std::int64_t deadline_ns = 0;
    // Owners that have not acquired yet keep trying until here.
    std::int64_t overtime_ns = 0;
};

std::string serial_of(int device) { return "S" + std::to_string(device); }

void bump(std::uint64_t& counter) { shared(counter).fetch_add(1); }

bool stopped(Board& board) { return shared(board.stop).load() != 0; }

int random_device_of(std::mt19937_64& random, int devices) {
    return std::uniform_int_distribution<int>(0, devices - 1)(random);
}

// --- owners ----------------------------------------------------------------

// Marks `device` as held by record `tag`. A slot still marked for a killed
// holder is legitimate only once that holder is past the start of its exit;
// the parent clears it after reaping.
bool claim(SharedOracle const& oracle, int device, std::uint64_t tag) {
    auto slot = shared(oracle.board().slots[device]);
    auto const bound = now_ns() + freed_bound_ns;
    for (;;) {
        std::uint64_t seen = 0;
        if (slot.compare_exchange_strong(seen, tag)) {
            return true;
        }
        if ((seen & kill_mark) == 0) {
            oracle.violation("acquired device " + std::to_string(device) + " while hold record " +
                             std::to_string(seen) + " of pid " + std::to_string(oracle.record(seen - 1).pid) +
                             " still claims it");
            return false;
        }
        auto const victim = oracle.record((seen & ~kill_mark) - 1).pid;
        if (!is_dying(victim)) {
            oracle.violation("acquired device " + std::to_string(device) + " while its killed holder pid " +
                             std::to_string(victim) + " was still alive");
            return false;
        }
        if (now_ns() > bound) {
            bump(oracle.board().counters.errors);
            std::fprintf(stderr, "the parent never cleared device %d after killing pid %d\n", device, victim);
            return false;
        }
        std::this_thread::sleep_for(50us);
    }
}

void release(SharedOracle const& oracle, int device, std::uint64_t tag) {
    auto slot = shared(oracle.board().slots[device]);
    std::uint64_t seen = tag;
    if (slot.compare_exchange_strong(seen, 0)) {
        return;
    }
    if (seen == (tag | kill_mark)) {
        // The parent chose this hold to kill: keep the device until SIGKILL comes.
        for (;;) {
            pause();
        }
    }
    oracle.violation("the slot of device " + std::to_string(device) + " changed under its holder");
}

void count_failure(SharedOracle const& oracle, std::exception const& error) {
    auto& counters = oracle.board().counters;
    if (std::string_view(error.what()) == "Device is already occupied") {
        bump(counters.conflicts);
        return;
    }
    bump(counters.errors);
    std::fprintf(stderr, "acquisition failed: %s\n", error.what());
}

void hold_once(Setup const& setup, SharedOracle const& oracle, DeviceManager& manager, int owner, int device,
               std::mt19937_64& random) {
    auto const& description = setup.descriptions[device];
    std::unique_ptr<Device> owned;
    try {
        owned = manager.manage_device(manager.open_device(description), description);
    } catch (std::exception const& error) {
        count_failure(oracle, error);
        return;
    }
    std::uint64_t tag = 0;
    auto* const record = oracle.new_record(device, now_ns(), tag);
    if (record == nullptr) {
        return;  // the log is full; the run ends
    }
    auto& board = oracle.board();
    bump(board.counters.acquisitions);
    bump(board.owner_acquisitions[owner]);
    bool const claimed = claim(oracle, device, tag);
    std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 2000)(random)));
    shared(record->released_ns).store(now_ns());
    if (claimed) {
        release(oracle, device, tag);
    }
}

int run_owner(Setup const& setup, SharedOracle const& oracle, int owner, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    auto const manager = get_device_manager(setup.plugin);
    auto& board = oracle.board();
    auto const keeps_going = [&] {
        auto const now = now_ns();
        bool const never_acquired = shared(board.owner_acquisitions[owner]).load() == 0;
        return now < setup.deadline_ns || (never_acquired && now < setup.overtime_ns);
    };
    while (!stopped(board) && keeps_going()) {
        hold_once(setup, oracle, *manager, owner, random_device_of(random, setup.options.devices), random);
    }
    return shared(board.owner_acquisitions[owner]).load() > 0 ? 0 : 3;
}

// --- probers and scanners ---------------------------------------------------

// A slot that names the same unmarked hold before and after a look at the
// device means that a live holder kept the lock for the whole look.
bool held_throughout(std::uint64_t before, std::uint64_t after) {
    return before != 0 && before == after && (before & kill_mark) == 0;
}

int run_prober(Setup const& setup, SharedOracle const& oracle, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    auto& board = oracle.board();
    while (!stopped(board) && now_ns() < setup.deadline_ns) {
        int const device = random_device_of(random, setup.options.devices);
        auto const before = shared(board.slots[device]).load();
        bool const occupied = detail::is_device_occupied(setup.lock_ids[device]);
        auto const after = shared(board.slots[device]).load();
        bump(board.counters.probes);
        if (!occupied) {
            bump(board.counters.probes_free);
            if (held_throughout(before, after)) {
                oracle.violation("a probe called device " + std::to_string(device) + " free while pid " +
                                 std::to_string(oracle.record(before - 1).pid) + " held it");
            }
        }
    }
    return 0;
}

std::vector<std::uint64_t> slots_of(Board& board, int devices) {
    std::vector<std::uint64_t> slots;
    for (int device = 0; device < devices; ++device) {
        slots.push_back(shared(board.slots[device]).load());
    }
    return slots;
}

void check_scan_result(Setup const& setup, SharedOracle const& oracle, ScanResult const& result,
                       std::vector<std::uint64_t> const& before, std::vector<std::uint64_t> const& after) {
    auto& counters = oracle.board().counters;
    auto const description = std::visit([](auto const& record) { return record.description; }, result);
    auto const position = std::ranges::find(setup.descriptions, description);
    auto const device = static_cast<int>(position - setup.descriptions.begin());
    if (device >= setup.options.devices) {
        oracle.violation("a scan reported an unknown device " + description);
        return;
    }
    if (auto const* found = std::get_if<DeviceFound>(&result)) {
        bump(counters.scan_found);
        if (found->serial_number != serial_of(device)) {
            oracle.violation("a scan found device " + std::to_string(device) + " with serial " + found->serial_number);
        }
        if (held_throughout(before[device], after[device])) {
            oracle.violation("a scan found device " + std::to_string(device) + " free while it was held");
        }
    } else if (std::holds_alternative<DeviceOccupied>(result)) {
        bump(counters.scan_occupied);
    } else {
        bump(counters.scan_failed);
        std::fprintf(stderr, "scan failed to query device %d: %s\n", device,
                     std::get<DeviceQueryFailed>(result).error.c_str());
    }
}

int run_scanner(Setup const& setup, SharedOracle const& oracle) {
    auto& board = oracle.board();
    // Holding the manager keeps the plug-in loaded between scans.
    auto const manager = get_device_manager(setup.plugin);
    while (!stopped(board) && now_ns() < setup.deadline_ns) {
        auto const before = slots_of(board, setup.options.devices);
        auto const results = scan_devices({setup.plugin});
        auto const after = slots_of(board, setup.options.devices);
        bump(board.counters.scans);
        if (results.size() != setup.descriptions.size()) {
            oracle.violation("a scan gave " + std::to_string(results.size()) + " results");
        }
        for (auto const& result : results) {
            check_scan_result(setup, oracle, result, before, after);
        }
    }
    return 0;
}

// --- cleaners ----------------------------------------------------------------

// Removes every lock file that nobody holds, again and again: every acquirer
// that opened a file just before must notice and start over on the new one.
int run_cleaner(Setup const& setup, SharedOracle const& oracle) {
    auto& board = oracle.board();
    while (!stopped(board) && now_ns() < setup.deadline_ns) {
        auto const summary = clean_lock_directory({.unused_for = std::chrono::seconds(0)});
        bump(board.counters.cleans);
        shared(board.counters.files_cleaned).fetch_add(summary.removed);
        for (auto const& failure : summary.failures) {
            bump(board.counters.errors);
            std::fprintf(stderr, "clean failed on %s: %s\n", failure.file.c_str(), failure.reason.c_str());
        }
    }
    return 0;
}

// --- the parent -------------------------------------------------------------

pid_t spawn(std::function<int()> const& body) {
    std::fflush(nullptr);
    pid_t const pid = fork();
    if (pid < 0) {
        throw std::system_error(errno, std::generic_category(), "fork");
    }
    if (pid == 0) {
        int code = 125;
        try {
            code = body();
        } catch (std::exception const& error) {
            std::fprintf(stderr, "process %d failed: %s\n", static_cast<int>(getpid()), error.what());
        }
        _exit(code);
    }
    return pid;
}

// The exit code, or 128 + the signal.
int reap(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "waitpid");
        }
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

enum class Role { owner, prober, scanner, cleaner };

struct Child {
    Role role;
    int index;
};

class Run {
public:
    Run(Setup const& setup, SharedOracle& oracle) : setup_(setup), oracle_(oracle), random_(setup.options.seed) {}

    void start();
    void drive();
    void finish();

    std::vector<Kill> const& kills() const { return kills_; }
    std::vector<std::string> const& failures() const { return failures_; }
    int owners_started() const { return next_owner_; }

private:
    void spawn_owner();
    void spawn_child(Role role, int index, std::function<int()> const& body);
    bool kill_due() const;
    void kill_one_holder();
    bool wait_until_freed(int device);
    void judge_exit(pid_t pid, Child const& child, int code);

    Setup const& setup_;
    SharedOracle& oracle_;
    std::mt19937_64 random_;
    std::map<pid_t, Child> children_;
    std::vector<Kill> kills_;
    std::vector<std::string> failures_;
    int next_owner_ = 0;
};

void Run::spawn_child(Role role, int index, std::function<int()> const& body) {
    children_.emplace(spawn(body), Child{role, index});
}

void Run::spawn_owner() {
    if (next_owner_ >= max_owners) {
        return;
    }
    int const owner = next_owner_++;
    auto const seed = setup_.options.seed + 1000003ULL * static_cast<std::uint64_t>(owner + 1);
    spawn_child(Role::owner, owner, [this, owner, seed] { return run_owner(setup_, oracle_, owner, seed); });
}

void Run::start() {
    for (int i = 0; i < setup_.options.processes; ++i) {
        spawn_owner();
    }
    for (int i = 0; i < setup_.options.probers; ++i) {
        auto const seed = setup_.options.seed ^ (0x9e3779b97f4a7c15ULL * static_cast<std::uint64_t>(i + 1));
        spawn_child(Role::prober, i, [this, seed] { return run_prober(setup_, oracle_, seed); });
    }
    for (int i = 0; i < setup_.options.scanners; ++i) {
        spawn_child(Role::scanner, i, [this] { return run_scanner(setup_, oracle_); });
    }
    for (int i = 0; i < setup_.options.cleaners; ++i) {
        spawn_child(Role::cleaner, i, [this] { return run_cleaner(setup_, oracle_); });
    }
}

bool Run::kill_due() const {
    auto const acquisitions = shared(oracle_.board().counters.acquisitions).load();
    return static_cast<double>(kills_.size()) * 100 < static_cast<double>(acquisitions) * setup_.options.kill_percent;
}

// Kills whoever holds a random device at this moment. The mark, set while the
// slot still names the hold, keeps the holder from releasing before it dies.
void Run::kill_one_holder() {
    int const device = random_device_of(random_, setup_.options.devices);
    auto slot = shared(oracle_.board().slots[device]);
    auto held = slot.load();
    if (held == 0 || (held & kill_mark) != 0 || !slot.compare_exchange_strong(held, held | kill_mark)) {
        return;
    }
    auto& record = oracle_.record(held - 1);
    pid_t const victim = record.pid;
    auto const killed_ns = now_ns();
    shared(record.killed_ns).store(killed_ns);
    ::kill(victim, SIGKILL);
    reap(victim);
    children_.erase(victim);
    kills_.push_back(Kill{device, killed_ns});

    auto marked = held | kill_mark;
    if (!slot.compare_exchange_strong(marked, 0)) {
        oracle_.violation("the slot of device " + std::to_string(device) + " changed while its holder was killed");
    }
    if (!wait_until_freed(device)) {
        failures_.push_back("device " + std::to_string(device) + " was not free 10 s after its holder was killed");
    }
    if (now_ns() < setup_.deadline_ns) {
        spawn_owner();
    }
}

// Free once another process has claimed it or a probe finds it free.
bool Run::wait_until_freed(int device) {
    auto slot = shared(oracle_.board().slots[device]);
    auto const bound = now_ns() + freed_bound_ns;
    while (now_ns() < bound) {
        if (slot.load() != 0 || !detail::is_device_occupied(setup_.lock_ids[device])) {
            return true;
        }
        std::this_thread::sleep_for(200us);
    }
    return false;
}

void Run::drive() {
    std::uniform_int_distribution<int> pause_us(100, 1000);
    while (now_ns() < setup_.deadline_ns && !stopped(oracle_.board())) {
        std::this_thread::sleep_for(std::chrono::microseconds(pause_us(random_)));
        if (setup_.options.kill_percent > 0 && kill_due()) {
            kill_one_holder();
        }
    }
}

void Run::judge_exit(pid_t pid, Child const& child, int code) {
    if (code == 0) {
        return;
    }
    static constexpr char const* role_names[] = {"owner", "prober", "scanner", "cleaner"};
    char const* const role = role_names[static_cast<int>(child.role)];
    if (child.role == Role::owner && code == 3) {
        failures_.push_back(std::string("owner ") + std::to_string(child.index) + " (pid " + std::to_string(pid) +
                            ") never acquired a device");
        return;
    }
    failures_.push_back(std::string(role) + " pid " + std::to_string(pid) + " ended with code " + std::to_string(code));
}

// Waits for every process to end on its own; kills what is still running
// long after the last owner should have acquired.
void Run::finish() {
    auto const bound = setup_.overtime_ns + overtime_ns;
    while (!children_.empty() && now_ns() < bound) {
        int status = 0;
        pid_t const pid = waitpid(-1, &status, WNOHANG);
        if (pid <= 0) {
            std::this_thread::sleep_for(1ms);
            continue;
        }
        auto const child = children_.find(pid);
        if (child != children_.end()) {
            judge_exit(pid, child->second, WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status));
            children_.erase(child);
        }
    }
    for (auto const& [pid, child] : children_) {
        failures_.push_back("pid " + std::to_string(pid) + " was still running and was killed");
        ::kill(pid, SIGKILL);
        reap(pid);
    }
    children_.clear();
}

// --- set-up and report ------------------------------------------------------

Setup make_setup(Options const& options, std::filesystem::path const& plugin_dir) {
    Setup setup{options, {}, {}, {}, 0, 0};
    auto devices = json::array();
    for (int device = 0; device < options.devices; ++device) {
        json const description = {{"serial", serial_of(device)}};
        devices.push_back(description);
        setup.descriptions.push_back(description.dump());
        setup.lock_ids.push_back(detail::make_lock_id(manager_path, description));
    }
    setup.plugin =
        test::install_test_plugin(plugin_dir, "stress_manager.so", {{"path", manager_path}, {"devices", devices}});
    return setup;
}

std::string milliseconds_summary(std::vector<double> const& sorted) {
    if (sorted.empty()) {
        return "none measured";
    }
    char text[160];
    std::snprintf(text, sizeof text, "min %.3f ms, median %.3f ms, max %.3f ms over %zu kills", sorted.front(),
                  sorted[sorted.size() / 2], sorted.back(), sorted.size());
    return text;
}

std::uint64_t load(std::uint64_t& counter) { return shared(counter).load(); }

bool report(Setup const& setup, SharedOracle& oracle, Run const& run, LogAnalysis const& log) {
    auto& counters = oracle.board().counters;
    auto const& options = setup.options;
    auto const violations = load(counters.violations) + log.overlaps;
    std::printf("exclusion stress: seed %llu, %d owners (%d over the run), %d probers, %d scanners, %d cleaners, "
                "%d devices, %.1f s\n",
                static_cast<unsigned long long>(options.seed), options.processes, run.owners_started(), options.probers,
                options.scanners, options.cleaners, options.devices, options.seconds);
    std::printf("acquisitions %llu, conflicts %llu, other errors %llu\n",
                static_cast<unsigned long long>(load(counters.acquisitions)),
                static_cast<unsigned long long>(load(counters.conflicts)),
                static_cast<unsigned long long>(load(counters.errors)));
    std::printf("probes %llu (free %llu), scans %llu (found %llu, occupied %llu, failed %llu)\n",
                static_cast<unsigned long long>(load(counters.probes)),
                static_cast<unsigned long long>(load(counters.probes_free)),
                static_cast<unsigned long long>(load(counters.scans)),
                static_cast<unsigned long long>(load(counters.scan_found)),
                static_cast<unsigned long long>(load(counters.scan_occupied)),
                static_cast<unsigned long long>(load(counters.scan_failed)));
    std::printf("cleans %llu, lock files removed %llu\n", static_cast<unsigned long long>(load(counters.cleans)),
                static_cast<unsigned long long>(load(counters.files_cleaned)));
    std::printf("holders killed %zu; death to next acquisition of the device: %s (%llu with none before the end)\n",
                run.kills().size(), milliseconds_summary(log.kill_to_next_ms).c_str(),
                static_cast<unsigned long long>(log.kills_without_next));
    std::printf("hold records %llu, overlapping %llu, never released %llu\n",
                static_cast<unsigned long long>(log.records), static_cast<unsigned long long>(log.overlaps),
                static_cast<unsigned long long>(log.unreleased));
    if (load(oracle.board().stop) != 0) {
        std::printf("the hold log filled up (%zu records) and ended the run early\n", oracle.capacity());
    }
    for (auto const& failure : run.failures()) {
        std::printf("FAILURE: %s\n", failure.c_str());
    }
    // Cleans that never removed a file would have tested nothing.
    bool const cleaned = options.cleaners == 0 || load(counters.files_cleaned) > 0;
    if (!cleaned) {
        std::printf("FAILURE: the cleans removed no file\n");
    }
    bool const sound = violations == 0 && log.unreleased == 0 && load(counters.errors) == 0 &&
                       load(counters.scan_failed) == 0 && run.failures().empty() && cleaned;
    std::printf("violations %llu: %s\n", static_cast<unsigned long long>(violations), sound ? "PASS" : "FAIL");
    return sound;
}

std::size_t log_capacity(Options const& options) {
    // Far above the rate of holds that last a millisecond on average.
    auto const estimate = static_cast<double>(options.processes) * (options.seconds + 30) * 4000;
    return static_cast<std::size_t>(std::clamp(estimate, double{1 << 16}, double{1 << 26}));
}

int run_stress(Options const& options) {
    test::ScopedTmpdir const tmpdir;
    test::TempDir const plugin_dir;
    auto setup = make_setup(options, plugin_dir.path());
    SharedOracle oracle(log_capacity(options));

    setup.deadline_ns = now_ns() + static_cast<std::int64_t>(options.seconds * ns_per_second);
    setup.overtime_ns = setup.deadline_ns + overtime_ns;
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
    CLI::App app{"Many processes owning, probing and scanning a few devices at once"};
    app.add_option("-k,--processes", options.processes, "owner processes at any time")->check(CLI::Range(1, 1024));
    app.add_option("-t,--seconds", options.seconds, "length of the run")->check(CLI::Range(0.1, 86400.0));
    app.add_option("-d,--devices", options.devices, "devices shared by all")
        ->check(CLI::Range(1, zelm::stress::max_devices));
    app.add_option("--seed", options.seed, "seed of every random choice (printed)");
    app.add_option("--probers", options.probers, "processes that only probe")->check(CLI::Range(0, 256));
    app.add_option("--scanners", options.scanners, "processes that only scan")->check(CLI::Range(0, 256));
    app.add_option("--cleaners", options.cleaners, "processes that keep removing every lock file nobody holds")
        ->check(CLI::Range(0, 256));
    app.add_option("--kill-percent", options.kill_percent, "holders killed, in percent of acquisitions")
        ->check(CLI::Range(0.0, 50.0));
    CLI11_PARSE(app, argc, argv);
    try {
        return zelm::stress::run_stress(options);
    } catch (std::exception const& error) {
        std::fprintf(stderr, "zelm_stress: %s\n", error.what());
        return 2;
    }
}
