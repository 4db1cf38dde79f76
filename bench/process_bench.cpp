// The figures that need whole processes: the peak memory a 10,000-device scan
// adds (in a fresh process), eight processes scanning the same slow devices
// at once against one alone, and `zelm scan --jobs 4` against `--jobs 1`.
//
// Each measurement gets a fresh TMPDIR, so no cache file of an earlier one
// answers; the two sides of a ratio alternate, repetition by repetition.
//
// Run without arguments. The same program is its own child process:
//   --scan-child PLUGIN     scans once, prints "<found> <occupied> <failed>"
//   --memory-child PLUGIN   prints "<VmHWM before> <VmHWM after> <found>" (KiB)
#include "bench_support.hpp"

#include <zelm/device_manager.hpp>
#include <zelm/scan.hpp>

#include <fcntl.h>
#include <fmt/format.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace zelm::bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int repetitions = 3;

// ---- child modes ---------------------------------------------------------

struct Counts {
    std::size_t found = 0;
    std::size_t occupied = 0;
    std::size_t failed = 0;
};

Counts count(ScanResults const& results) {
    Counts counts;
    for (auto const& result : results) {
        counts.found += std::holds_alternative<DeviceFound>(result) ? 1 : 0;
        counts.occupied += std::holds_alternative<DeviceOccupied>(result) ? 1 : 0;
        counts.failed += std::holds_alternative<DeviceQueryFailed>(result) ? 1 : 0;
    }
    return counts;
}

int scan_child(fs::path const& plugin) {
    auto const counts = count(scan_devices({plugin}));
    fmt::print("{} {} {}\n", counts.found, counts.occupied, counts.failed);
    return 0;
}

long status_kib(std::string const& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(field + ":")) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

// Starts the peak over from the present resident size, once the memory that
// loading the plug-in used and freed has gone back to the system.
void reset_peak() {
    ::malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
}

int memory_child(fs::path const& plugin) {
    auto const manager = get_device_manager(plugin);  // held: the scan meets a loaded plug-in
    reset_peak();
    auto const before = status_kib("VmHWM");
    std::size_t found = 0;
    {
        auto const cold = scan_devices({plugin});  // every answer queried live
    }
    auto const warm = scan_devices({plugin});  // every answer from this process's cache
    found = count(warm).found;
    auto const after = status_kib("VmHWM");
    fmt::print("{} {} {}\n", before, after, found);
    return 0;
}

// ---- spawning ------------------------------------------------------------

struct Child {
    pid_t pid = -1;
    fs::path output;
    Clock::time_point start;
    double seconds = 0;
};

Child spawn(std::vector<std::string> const& arguments, fs::path const& output) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    for (auto const& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    Child child{.output = output, .start = Clock::now()};
    int const error = posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throw std::runtime_error(fmt::format("cannot start {}: {}", argv[0], std::strerror(error)));
    }
    return child;
}

// Waits for all of them, noting each one's wall time from its own start.
void wait_all(std::vector<Child>& children) {
    for (std::size_t left = children.size(); left > 0; --left) {
        int status = 0;
        pid_t const pid = ::waitpid(-1, &status, 0);
        auto const end = Clock::now();
        auto const child = std::ranges::find(children, pid, &Child::pid);
        if (child == children.end()) {
            continue;
        }
        child->seconds = std::chrono::duration<double>(end - child->start).count();
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            throw std::runtime_error(fmt::format("child {} failed (status {})", pid, status));
        }
    }
}

std::string read_file(fs::path const& file) {
    std::ifstream in(file);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A child's answer is its last line: anything the library logged comes before.
std::istringstream last_line(fs::path const& file) {
    std::ifstream in(file);
    std::string last;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            last = line;
        }
    }
    return std::istringstream(last);
}

std::size_t line_count(fs::path const& file) {
    auto const text = read_file(file);
    return static_cast<std::size_t>(std::ranges::count(text, '\n'));
}

std::string self() { return fs::read_symlink("/proc/self/exe"); }

// ---- figures -------------------------------------------------------------

void memory_figure(fs::path const& scratch) {
    constexpr int devices = 10000;
    auto const dir = scratch / "memory";
    auto const config = write_config(dir / "sim.json", sim_config("MEM", devices));
    ::setenv("ZELM_SIM_CONFIG", config.c_str(), 1);
    set_tmpdir(dir / "tmp");
    auto const plugin = copy_sim_plugin(dir, "memory_manager.so");
    std::vector children{spawn({self(), "--memory-child", plugin}, dir / "child.out")};
    wait_all(children);
    auto fields = last_line(dir / "child.out");
    long before = 0;
    long after = 0;
    std::size_t found = 0;
    fields >> before >> after >> found;
    auto const per_device = static_cast<double>(after - before) * 1024 / devices;
    fmt::print("memory: VmHWM {} KiB before, {} KiB after a cold and a warm scan of {} devices ({} found)\n",
               before, after, devices, found);
    if (found != devices) {
        print_missing_figure("scan_memory_bytes_per_device", "<= 4096", "not every device was found");
        return;
    }
    print_figure("scan_memory_bytes_per_device", per_device, "<= 4096", per_device <= 4096, 0);
}

struct ManyRun {
    double slowest = 0;
    std::size_t opens = 0;
    Counts counts;
};

// One measurement of `processes` processes scanning at once, in a fresh
// TMPDIR with a fresh open log.
ManyRun scan_at_once(fs::path const& dir, fs::path const& plugin, int processes) {
    auto const open_log = dir / "opens.log";
    auto const config = write_config(dir / "sim.json", sim_config("MANY", 50, 20, open_log));
    ::setenv("ZELM_SIM_CONFIG", config.c_str(), 1);
    set_tmpdir(dir / "tmp");
    std::vector<Child> children;
    for (int i = 0; i < processes; ++i) {
        children.push_back(spawn({self(), "--scan-child", plugin}, dir / fmt::format("child{}.out", i)));
    }
    wait_all(children);
    ManyRun run;
    for (auto const& child : children) {
        run.slowest = std::max(run.slowest, child.seconds);
        auto fields = last_line(child.output);
        Counts counts;
        fields >> counts.found >> counts.occupied >> counts.failed;
        run.counts.found += counts.found;
        run.counts.occupied += counts.occupied;
        run.counts.failed += counts.failed;
    }
    run.opens = fs::exists(open_log) ? line_count(open_log) : 0;
    return run;
}

void many_processes_figures(fs::path const& scratch) {
    constexpr int processes = 8;
    auto const dir = scratch / "many";
    auto const plugin = copy_sim_plugin(dir, "many_manager.so");
    std::vector<double> alone;
    std::vector<double> together;
    std::size_t worst_opens = 0;
    for (int r = 0; r < repetitions; ++r) {
        auto const one = scan_at_once(dir / fmt::format("alone{}", r), plugin, 1);
        auto const many = scan_at_once(dir / fmt::format("together{}", r), plugin, processes);
        fmt::print("many processes: alone {:.3f} s ({} opens); {} at once: slowest {:.3f} s, {} opens, "
                   "results {} found, {} occupied, {} failed\n",
                   one.slowest, one.opens, processes, many.slowest, many.opens, many.counts.found,
                   many.counts.occupied, many.counts.failed);
        alone.push_back(one.slowest);
        together.push_back(many.slowest);
        if (r == 0 || std::max(many.opens, 50UL) - std::min(many.opens, 50UL) >
                          std::max(worst_opens, 50UL) - std::min(worst_opens, 50UL)) {
            worst_opens = many.opens;
        }
    }
    print_figure("many_processes_device_opens", static_cast<double>(worst_opens), "== 50", worst_opens == 50, 0);
    auto const ratio = median(together) / median(alone);
    print_figure("many_processes_slowest_vs_alone", ratio, "<= 1.2", ratio <= 1.2);
}

double tool_scan(fs::path const& dir, fs::path const& plugins, int jobs) {
    set_tmpdir(dir / "tmp");
    std::vector children{spawn({ZELM_TOOL, "scan", "--json", "--jobs", std::to_string(jobs), plugins.native()},
                               dir / "scan.json")};
    wait_all(children);
    auto const records = nlohmann::json::parse(read_file(dir / "scan.json"));
    auto const found = std::ranges::count(records, nlohmann::json("found"),
                                          [](nlohmann::json const& record) { return record.at("state"); });
    if (found != 64) {
        throw std::runtime_error(fmt::format("zelm scan --jobs {} found {} devices, not 64", jobs, found));
    }
    return children.front().seconds;
}

void jobs_figure(fs::path const& scratch) {
#ifdef ZELM_TOOL
    auto const dir = scratch / "jobs";
    // Every copy names the same family, so each lists devices of its own
    // (in the file beside it), or the copies would share their answers.
    ::unsetenv("ZELM_SIM_CONFIG");
    for (int i = 1; i <= 4; ++i) {
        copy_sim_plugin(dir / "plugins", fmt::format("sim{}_manager.so", i));
        write_config(dir / "plugins" / fmt::format("sim{}_manager.json", i), sim_config(fmt::format("JOBS{}", i), 16, 50));
    }
    std::vector<double> serial;
    std::vector<double> parallel;
    for (int r = 0; r < repetitions; ++r) {
        serial.push_back(tool_scan(dir / fmt::format("serial{}", r), dir / "plugins", 1));
        parallel.push_back(tool_scan(dir / fmt::format("parallel{}", r), dir / "plugins", 4));
        fmt::print("zelm scan over 4 plug-ins of 16 devices (50 ms each): --jobs 1 {:.3f} s, --jobs 4 {:.3f} s\n",
                   serial.back(), parallel.back());
    }
    auto const ratio = median(parallel) / median(serial);
    print_figure("zelm_scan_jobs4_vs_jobs1", ratio, "<= 0.3", ratio <= 0.3);
#else
    (void)scratch;
    print_missing_figure("zelm_scan_jobs4_vs_jobs1", "<= 0.3", "the zelm tool is not built");
#endif
}

}  // namespace
}  // namespace zelm::bench

int main(int argc, char** argv) {
    using namespace zelm::bench;
    std::vector<std::string> const arguments(argv + 1, argv + argc);
    if (arguments.size() == 2 && arguments[0] == "--scan-child") {
        return scan_child(arguments[1]);
    }
    if (arguments.size() == 2 && arguments[0] == "--memory-child") {
        return memory_child(arguments[1]);
    }
    if (!arguments.empty()) {
        std::cerr << "usage: " << argv[0] << " (no arguments)\n";
        return 2;
    }
    ScratchDir const scratch;
    run_figure("scan_memory_bytes_per_device", "<= 4096", memory_figure, scratch.path());
    run_figure("many_processes_slowest_vs_alone", "<= 1.2", many_processes_figures, scratch.path());
    run_figure("zelm_scan_jobs4_vs_jobs1", "<= 0.3", jobs_figure, scratch.path());
    return 0;
}
