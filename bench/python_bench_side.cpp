// The C++ side of the Python module's figures (bench/python_bench.py runs
// both sides and compares them), and the simulated devices both measure:
//   setup <dir>                      writes the devices' configurations and plug-in
//                                    copies into <dir>; prints "<scan plug-in> <stream plug-in>"
//   scan <plugin> <runs>             a warm-up scan, then the fastest of <runs> scans, in seconds
//   stream <plugin> <size> <runs>    the fastest of <runs> reads of a <size>-byte stream, in seconds
// Each side reaches the library the way a host does: through the shared
// library, on the same plug-ins and the same lock directory.
#include "bench_support.hpp"

#include <zelm/device_manager.hpp>
#include <zelm/managed_device.hpp>
#include <zelm/scan.hpp>

#include <fmt/format.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int scan_devices_count = 1000;
constexpr std::size_t stream_chunk_size = 64 * 1024;
constexpr std::size_t stream_memory_size = 1024 * 1024;

double fastest(int runs, std::function<void()> const& run) {
    double best = std::numeric_limits<double>::infinity();
    for (int i = 0; i < runs; ++i) {
        auto const start = Clock::now();
        run();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

// Each plug-in copy reads the configuration named after it, beside it.
fs::path plugin_with_config(fs::path const& dir, std::string const& stem, nlohmann::json const& config) {
    zelm::bench::write_config(dir / (stem + ".json"), config);
    return zelm::bench::copy_sim_plugin(dir, stem + ".so");
}

void setup(fs::path const& dir) {
    auto stream_config = zelm::bench::sim_config("STREAM", 1);
    auto& device = stream_config["devices"][0];
    device["memory_size"] = stream_memory_size;
    device["stream"] = {{"chunk_size", stream_chunk_size}, {"chunks_per_second", 0}};
    auto const scan_plugin = plugin_with_config(dir, "pyscan_manager", zelm::bench::sim_config("PYSCAN", scan_devices_count));
    auto const stream_plugin = plugin_with_config(dir, "pystream_manager", stream_config);
    fmt::print("{} {}\n", scan_plugin.native(), stream_plugin.native());
}

double scan(fs::path const& plugin, int runs) {
    std::vector<fs::path> const plugins{plugin};
    if (zelm::scan_devices(plugins).size() != scan_devices_count) {
        throw std::runtime_error("the warm-up scan did not find every device");
    }
    return fastest(runs, [&] { static_cast<void>(zelm::scan_devices(plugins)); });
}

// A loop that takes the stream's data as it comes, and waits for its end.
double stream(fs::path const& plugin, unsigned long size, int runs) {
    auto const manager = zelm::get_device_manager(plugin);
    auto const description = nlohmann::json::parse(manager->list_devices()).at(0).dump();
    auto const device = manager->open_managed_device(description);
    return fastest(runs, [&] {
        std::size_t received = 0;
        auto const running = device->start_read_stream(
            0,
            [&received](zelm::DataStream::Event&& event) {
                if (auto const* owned = std::get_if<zelm::DataStream::Events::OwnedData>(&event)) {
                    received += owned->data.size();
                } else if (auto const* view = std::get_if<zelm::DataStream::Events::DataView>(&event)) {
                    received += view->data.size();
                }
            },
            size);
        if (!running || running->wait_stop() != 0 || received != size) {
            throw std::runtime_error("the stream did not deliver every byte");
        }
    });
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> const args(argv + 1, argv + argc);
    try {
        if (args.size() == 2 && args[0] == "setup") {
            setup(args[1]);
        } else if (args.size() == 3 && args[0] == "scan") {
            fmt::print("{:.9f}\n", scan(args[1], std::stoi(args[2])));
        } else if (args.size() == 4 && args[0] == "stream") {
            fmt::print("{:.9f}\n", stream(args[1], std::stoul(args[2]), std::stoi(args[3])));
        } else {
            fmt::print(stderr, "usage: {} setup DIR | scan PLUGIN RUNS | stream PLUGIN SIZE RUNS\n", argv[0]);
            return 2;
        }
    } catch (std::exception const& error) {
        fmt::print(stderr, "{}: {}\n", argv[0], error.what());
        return 1;
    }
    return 0;
}
