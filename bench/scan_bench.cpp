// The in-process figures: a warm scan and a file-level hit per device
// against the system calls they require (and against all the work they
// require: also the plug-in's calls, results that own their texts, records
// kept once parsed), the loader's cache hit against its three file-system
// queries, and a warm scan of 10,000 devices against 1,000 (also against the
// growth of the bare system calls).
//
// Each figure is measured in pairs: every iteration of its benchmark runs the
// two sides one right after the other (in alternating order), each timed on
// its own in thread CPU time (kernel time included), so both sides of a pair
// meet the same load on a shared, noisy machine. A figure is the median of
// its pairs' ratios over every iteration of every repetition. Work that
// belongs to neither side (renewing cached answers, freeing the host's
// results) is done between the timed parts.
#include "bench_support.hpp"

#include <zelm/device_manager.hpp>
#include <zelm/lock.hpp>
#include <zelm/scan.hpp>

#include "scan/process_cache.hpp"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zelm::bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Cached answers are fresh for five seconds; benchmarks renew them well before.
constexpr auto renew_after = std::chrono::seconds(2);
// Loader calls per timed side: enough for a side to last about a millisecond.
constexpr int loader_calls = 500;

// One simulated plug-in of `count` devices, loaded and held for the whole
// run (so every scan meets the loader's cache), with the lock identities and
// lock-file names of its devices.
struct Family {
    Family(fs::path const& scratch, std::string const& prefix, int count) : devices(count) {
        auto const config = write_config(scratch / (prefix + ".json"), sim_config(prefix, count));
        ::setenv("ZELM_SIM_CONFIG", config.c_str(), 1);
        plugin = copy_sim_plugin(scratch / "plugins", prefix + "_manager.so");
        manager = get_device_manager(plugin);
        for (auto const& device : nlohmann::json::parse(manager->list_devices())) {
            auto const id = detail::make_lock_id(manager->get_path(), device);
            lock_ids.push_back(id);
            occupied_names.push_back(id + ".occupied");
            record_names.push_back(id + ".lock");
        }
    }

    int devices;
    fs::path plugin;
    std::shared_ptr<DeviceManager> manager;
    std::vector<std::string> lock_ids;
    std::vector<std::string> occupied_names;
    std::vector<std::string> record_names;
};

fs::path lock_directory() { return fs::temp_directory_path() / lock_directory_name; }

// Another process queries every device live, writing the cache files.
void query_in_another_process(Family const& family) {
    pid_t const child = ::fork();
    if (child == 0) {
        detail::process_cache().clear();
        auto const results = scan_devices({family.plugin});
        ::_exit(results.size() == static_cast<std::size_t>(family.devices) ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("the process that fills the cache files failed");
    }
}

// Makes every cache file fresh again; its record stays as written.
void touch_records(Family const& family) {
    auto const directory = lock_directory();
    int const fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (auto const& name : family.record_names) {
        ::utimensat(fd, name.c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
    }
    ::close(fd);
}

// Forgets this family's answers in this process (and only theirs: the other
// family's stay, as another plug-in's would in a host).
void forget_answers(Family const& family) {
    for (auto const& id : family.lock_ids) {
        detail::process_cache().forget(id);
    }
}

bool all_found(ScanResults const& results, Family const& family) {
    return results.size() == static_cast<std::size_t>(family.devices) &&
           std::ranges::all_of(results, [](ScanResult const& r) { return std::holds_alternative<DeviceFound>(r); });
}

// Keeps a family's answers fresh: every few seconds (outside the timed
// parts) its cache files are touched, its answers in this process forgotten
// and, for warm scans, read back from the files.
class Renewal {
public:
    Renewal(Family const& family, bool fill_process_cache) : family_(family), fill_(fill_process_cache) {}

    // False when the family's devices were not all found.
    bool renew_when_due() {
        if (renewed_ && Clock::now() - *renewed_ < renew_after) {
            return true;
        }
        touch_records(family_);
        forget_answers(family_);
        renewed_ = Clock::now();
        return !fill_ || all_found(scan_devices({family_.plugin}), family_);
    }

private:
    Family const& family_;
    bool fill_;
    std::optional<Clock::time_point> renewed_;
};

double thread_cpu_seconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The thread CPU time `side` takes.
template <typename Side>
double cpu_time_of(Side&& side) {
    auto const start = thread_cpu_seconds();
    side();
    return thread_cpu_seconds() - start;
}

// Every pair measured for one figure: the two sides' times and their ratios.
struct PairSamples {
    std::vector<double> first;
    std::vector<double> second;
    std::vector<double> ratios;
};

// One paired benchmark: `first` and `second` are the timed sides, `between`
// runs untimed before each side (it gets true before `first`), and returns
// false to report a failure.
struct Pair {
    std::string name;
    std::function<void()> first;
    std::function<void()> second;
    std::function<bool(bool)> between;
    double units = 1;            // what one side does, for the detail lines:
    char const* unit = "scan";  // `units` times this
};

// glibc's free leaves small chunks unmerged and merges all of them at the
// next large allocation, which would charge whichever side comes next with
// what `between` freed (the host's results, forgotten answers). One large
// allocation after `between` finishes that work outside the timed parts.
void finish_deferred_frees() {
    constexpr std::size_t large = 64 * 1024;  // above the small bins, below the mmap threshold
    void* block = std::malloc(large);
    benchmark::DoNotOptimize(block);
    std::free(block);
}

void run_pair(benchmark::State& state, Pair const* pair, PairSamples* samples) {
    // Each side runs several times in a row and counts its least time: its
    // steady cost, once its data is in the caches.
    int const runs = runs_per_side();
    bool first_goes_first = true;
    for (auto _ : state) {
        double first = 0;
        double second = 0;
        for (bool const is_first : {first_goes_first, !first_goes_first}) {
            double least = 0;
            for (int run = 0; run < runs; ++run) {
                state.PauseTiming();
                bool const ready = pair->between(is_first);
                finish_deferred_frees();
                state.ResumeTiming();
                if (!ready) {
                    state.SkipWithError("a side did not give the expected results");
                    return;
                }
                auto const time = cpu_time_of(is_first ? pair->first : pair->second);
                least = run == 0 ? time : std::min(least, time);
            }
            (is_first ? first : second) = least;
        }
        first_goes_first = !first_goes_first;
        samples->first.push_back(first);
        samples->second.push_back(second);
        samples->ratios.push_back(first / second);
    }
    if (!samples->ratios.empty()) {
        state.counters["ratio"] = median(samples->ratios);
    }
}

struct Figure {
    char const* name;
    Pair const* pair;
    double low;
    double high;
    char const* target;
};

void print_pair_detail(Pair const& pair, PairSamples const& samples, char const* first, char const* second) {
    if (samples.ratios.empty()) {
        return;
    }
    fmt::print("  {:<30} {} {:9.3f} us, {} {:9.3f} us per {} (medians over {} pairs); ratio {:.2f}\n", pair.name,
               first, median(samples.first) * 1e6 / pair.units, second, median(samples.second) * 1e6 / pair.units,
               pair.unit, samples.ratios.size(), median(samples.ratios));
}

void print_figure_of(Figure const& figure, PairSamples const& samples) {
    if (samples.ratios.empty()) {
        print_missing_figure(figure.name, figure.target, figure.pair->name + " did not run");
        return;
    }
    auto const value = median(samples.ratios);
    print_figure(figure.name, value, figure.target, value >= figure.low && value <= figure.high);
}

// How much more a warm scan grows from 1,000 to 10,000 devices than the bare
// system calls grow on this machine (CPU caches make the kernel's own work
// per device grow with the number of files).
void print_growth_beyond(PairSamples const& library, PairSamples const& system_calls) {
    constexpr char const* name = "scale_10000_vs_1000_over_system_calls";
    constexpr char const* target = "<= 1.1";
    if (library.ratios.empty() || system_calls.ratios.empty()) {
        print_missing_figure(name, target, "a scale pair did not run");
        return;
    }
    auto const value = median(library.ratios) / median(system_calls.ratios);
    print_figure(name, value, target, value <= 1.1);
}

}  // namespace
}  // namespace zelm::bench

int main(int argc, char** argv) {
    using namespace zelm::bench;
    benchmark::Initialize(&argc, argv);

    ScratchDir const scratch;
    set_tmpdir(scratch.path() / "tmp");
    Family const small(scratch.path(), "scan1000", 1000);
    Family const large(scratch.path(), "scan10000", 10000);
    query_in_another_process(small);
    query_in_another_process(large);

    SystemCallFloor const floor;
    Renewal small_warm(small, true);
    Renewal large_warm(large, true);
    Renewal small_files(small, false);
    zelm::ScanResults results;  // the host's, freed between the timed parts
    auto const scan = [&results](Family const& family) {
        return [&] { results = zelm::scan_devices({family.plugin}); };
    };
    auto const probe_all = [&floor](Family const& family) {
        return [&] {
            for (auto const& name : family.occupied_names) {
                benchmark::DoNotOptimize(floor.probe(name));
            }
        };
    };
    // Before a scan: the previous results freed and the answers kept fresh.
    auto const warm = [&results](Renewal& renewal) {
        return [&](bool) {
            results = {};
            return renewal.renew_when_due();
        };
    };

    Pair const warm_pair{"warm scan / system calls", scan(small), probe_all(small), warm(small_warm), 1000, "device"};

    // Everything else that the cache's design and the interface ask of any
    // scan, added to the system calls: the device list once, the manager's
    // path once per device (by value), results that own their texts (copied
    // here from a scan's own results) and, at the file level, every parsed
    // record kept, as the in-process cache must keep it.
    zelm::ScanResults const answers = zelm::scan_devices({small.plugin});
    if (!all_found(answers, small)) {
        throw std::runtime_error("the devices of the warm scans are not all found");
    }
    // The plain loop's results and records, freed between the timed parts.
    zelm::ScanResults copies;
    std::vector<nlohmann::json> kept_records;
    kept_records.reserve(answers.size());
    auto const required_work = [&](bool read_records) {
        return [&, read_records] {
            auto const list = small.manager->list_devices();
            benchmark::DoNotOptimize(list.data());
            copies.reserve(answers.size());
            for (std::size_t i = 0; i < answers.size(); ++i) {
                auto const path = small.manager->get_path();
                benchmark::DoNotOptimize(path.native().data());
                bool const ok = read_records ? floor.probe_and_read(small.occupied_names[i], small.record_names[i],
                                                                    &kept_records)
                                             : floor.probe(small.occupied_names[i]);
                benchmark::DoNotOptimize(ok);
                copies.push_back(answers[i]);
            }
        };
    };
    auto const warm_required_between = [&](bool library_next) {
        copies = {};
        return warm(small_warm)(library_next);
    };
    Pair const warm_required_pair{"warm scan / required work", scan(small), required_work(false),
                                  warm_required_between, 1000, "device"};

    auto const file_hit_between = [&](bool library_next) {
        bool const found = results.empty() || all_found(results, small);
        results = {};
        copies = {};
        kept_records.clear();
        bool const renewed = small_files.renew_when_due();
        if (library_next) {
            forget_answers(small);  // the in-process level is cold: every answer comes from its file
        }
        return found && renewed;
    };
    Pair const file_pair{"file-level hit / system calls", scan(small),
                         [&] {
                             for (std::size_t i = 0; i < small.occupied_names.size(); ++i) {
                                 benchmark::DoNotOptimize(
                                     floor.probe_and_read(small.occupied_names[i], small.record_names[i]));
                             }
                         },
                         file_hit_between, 1000, "device"};
    Pair const file_required_pair{"file-level hit / required work", scan(small), required_work(true),
                                  file_hit_between, 1000, "device"};
    Pair const loader_pair{"loader hit / file queries",
                           [&] {
                               for (int i = 0; i < loader_calls; ++i) {
                                   benchmark::DoNotOptimize(zelm::get_device_manager(small.plugin).get());
                               }
                           },
                           [&] {
                               for (int i = 0; i < loader_calls; ++i) {
                                   auto const status = fs::status(small.plugin);
                                   auto const canonical = fs::canonical(small.plugin);
                                   auto const target = fs::status(canonical);
                                   benchmark::DoNotOptimize(status);
                                   benchmark::DoNotOptimize(canonical.native().data());
                                   benchmark::DoNotOptimize(target);
                               }
                           },
                           [](bool) { return true; }, loader_calls, "call"};
    Pair const scale_pair{"warm scan 10000 / 1000", scan(large), scan(small),
                          [&](bool large_next) {
                              results = {};
                              return large_next ? large_warm.renew_when_due() : small_warm.renew_when_due();
                          },
                          1};
    Pair const floor_scale_pair{"system calls 10000 / 1000", probe_all(large), probe_all(small),
                                [](bool) { return true; }, 1};

    std::vector<Pair const*> const pairs{&warm_pair,   &warm_required_pair, &file_pair,       &file_required_pair,
                                         &loader_pair, &scale_pair,         &floor_scale_pair};
    std::map<Pair const*, PairSamples> samples;
    for (auto const* pair : pairs) {
        benchmark::RegisterBenchmark(pair->name.c_str(), run_pair, pair, &samples[pair])
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::ConsoleReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    fmt::print("\nPairs (thread CPU time, kernel time included):\n");
    print_pair_detail(warm_pair, samples[&warm_pair], "library", "system calls");
    print_pair_detail(warm_required_pair, samples[&warm_required_pair], "library", "required work");
    print_pair_detail(file_pair, samples[&file_pair], "library", "system calls + read");
    print_pair_detail(file_required_pair, samples[&file_required_pair], "library", "required work");
    print_pair_detail(loader_pair, samples[&loader_pair], "library", "file queries");
    print_pair_detail(scale_pair, samples[&scale_pair], "10000", "1000");
    print_pair_detail(floor_scale_pair, samples[&floor_scale_pair], "10000", "1000");
    fmt::print("\n");

    Figure const figures[] = {
        {"warm_scan_vs_system_calls", &warm_pair, 0, 1.3, "<= 1.3"},
        {"warm_scan_vs_required_work", &warm_required_pair, 0, 1.3, "<= 1.3"},
        {"file_hit_vs_system_calls", &file_pair, 0, 1.3, "<= 1.3"},
        {"file_hit_vs_required_work", &file_required_pair, 0, 1.3, "<= 1.3"},
        {"loader_hit_vs_file_queries", &loader_pair, 0, 1.2, "<= 1.2"},
        {"scale_10000_vs_1000", &scale_pair, 9, 11, "between 9 and 11"},
    };
    for (auto const& figure : figures) {
        print_figure_of(figure, samples[figure.pair]);
    }
    print_growth_beyond(samples[&scale_pair], samples[&floor_scale_pair]);
    return 0;
}
