// The Modbus family against libmodbus used directly, on the same peers in
// the same run:
// - register reads per second through a managed device over loopback TCP,
//   against a plain libmodbus loop reading the same register of the same
//   server;
// - the listing of a 16-unit RTU bus against 16 round trips of one request
//   on the same line (a socat pty pair, the simulator at its other end).
//
// The peers are the bundled simulator and socat, as the Modbus tests run
// them: started here and stopped whatever happens; without them a figure is
// reported as not measured. The two sides of a ratio alternate, pair by pair,
// and each side counts its best of several runs.
#include "bench_support.hpp"

#include <modbus_peers.hpp>

#include <zelm/device_manager.hpp>
#include <zelm/managed_device.hpp>

#include <fmt/format.h>
#include <modbus.h>

#include <cerrno>
#include <chrono>
#include <iostream>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

namespace zelm::bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using modbus_test::ModbusSimulator;
using modbus_test::Transport;

constexpr int pairs = 5;
constexpr char const* loopback = "127.0.0.1";  // where the simulator listens
constexpr int unit = 1;
constexpr int register_address = 0;  // holds 0 on the simulator
// How long one run of reads lasts.
constexpr auto read_run = std::chrono::milliseconds(200);
constexpr int rtu_baud = 115200;
constexpr int rtu_units = 16;
// Round trips timed per run; their median counts.
constexpr int round_trips_per_run = 31;

constexpr char const* reads_figure = "modbus_register_reads_vs_libmodbus";
constexpr char const* reads_target = ">= 0.9";
constexpr char const* listing_figure = "modbus_rtu_listing_vs_round_trips";
constexpr char const* listing_target = "<= 1.5";

double seconds_of(auto const& work) {
    auto const start = Clock::now();
    work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// ---- the Modbus family ---------------------------------------------------

// The plug-in's manager, configured with `config` (read when it is created).
std::shared_ptr<DeviceManager> modbus_manager(fs::path const& dir, nlohmann::json const& config) {
    auto const file = write_config(dir / "modbus.json", config);
    ::setenv("ZELM_MODBUS_CONFIG", file.c_str(), 1);
    return get_device_manager(ZELM_MODBUS_PLUGIN);
}

// ---- plain libmodbus -----------------------------------------------------

struct ContextFree {
    void operator()(modbus_t* context) const {
        modbus_close(context);
        modbus_free(context);
    }
};
using Context = std::unique_ptr<modbus_t, ContextFree>;

Context connected(modbus_t* context, std::string const& peer) {
    if (context == nullptr) {
        throw std::runtime_error(fmt::format("cannot make a libmodbus context for {}: {}", peer, modbus_strerror(errno)));
    }
    Context owned(context);
    if (modbus_set_slave(context, unit) != 0 || modbus_connect(context) != 0) {
        throw std::runtime_error(fmt::format("libmodbus cannot connect to {}: {}", peer, modbus_strerror(errno)));
    }
    return owned;
}

void plain_read(modbus_t* context) {
    std::uint16_t value = 1;
    if (modbus_read_registers(context, register_address, 1, &value) != 1 || value != 0) {
        throw std::runtime_error(fmt::format("libmodbus read register {} of unit {} as {}: {}", register_address, unit,
                                             value, modbus_strerror(errno)));
    }
}

// ---- register reads ------------------------------------------------------

double reads_per_second(auto const& read) {
    long reads = 0;
    auto const start = Clock::now();
    auto elapsed = Clock::duration::zero();
    for (; elapsed < read_run; elapsed = Clock::now() - start) {
        read();
        ++reads;
    }
    return static_cast<double>(reads) / std::chrono::duration<double>(elapsed).count();
}

double best_rate(auto const& read) {
    double best = 0;
    for (int run = 0; run < runs_per_side(); ++run) {
        best = std::max(best, reads_per_second(read));
    }
    return best;
}

void register_reads(fs::path const& scratch) {
    auto const dir = scratch / "reads";
    fs::create_directories(dir);
    modbus_test::SimulatorOptions options;
    options.units = {unit};
    ModbusSimulator const simulator(Transport::tcp, options);
    auto const address = fmt::format("{}:{}", loopback, simulator.port());
    auto const manager = modbus_manager(dir, {{"buses", {{{"tcp", address}, {"units", {unit}}}}}});
    auto const device = manager->open_managed_device(nlohmann::json{{"bus", simulator.bus()}, {"unit", unit}}.dump());
    auto const managed_read = [&device] {
        if (device->get_register_sync(register_address) != 0U) {
            throw std::runtime_error(fmt::format("the managed device read register {} wrong", register_address));
        }
    };
    auto const plain = connected(modbus_new_tcp(loopback, simulator.port()), address);
    auto const plain_loop = [&plain] { plain_read(plain.get()); };
    managed_read();  // connects
    std::vector<double> ratios;
    bool managed_first = true;
    for (int pair = 0; pair < pairs; ++pair, managed_first = !managed_first) {
        double managed = 0;
        double direct = 0;
        for (bool const is_managed : {managed_first, !managed_first}) {
            if (is_managed) {
                managed = best_rate(managed_read);
            } else {
                direct = best_rate(plain_loop);
            }
        }
        fmt::print("register reads over TCP: managed device {:.0f}/s, plain libmodbus {:.0f}/s\n", managed, direct);
        ratios.push_back(managed / direct);
    }
    auto const ratio = median(ratios);
    print_figure(reads_figure, ratio, reads_target, ratio >= 0.9);
}

// ---- RTU listing ---------------------------------------------------------

void list_all(DeviceManager& manager) {
    auto const listed = nlohmann::json::parse(manager.list_devices());
    if (listed.size() != rtu_units) {
        throw std::runtime_error(fmt::format("the RTU bus listed {} units, not {}", listed.size(), rtu_units));
    }
}

// The median round trip of one run of reads, on a context of its own (the
// line is free for the family's listing in between).
double round_trip(std::string const& line) {
    auto const context = connected(modbus_new_rtu(line.c_str(), rtu_baud, 'N', 8, 1), line);
    modbus_flush(context.get());
    std::vector<double> times;
    for (int trip = 0; trip < round_trips_per_run; ++trip) {
        times.push_back(seconds_of([&] { plain_read(context.get()); }));
    }
    return median(times);
}

double least(auto const& measure) {
    double best = measure();
    for (int run = 1; run < runs_per_side(); ++run) {
        best = std::min(best, measure());
    }
    return best;
}

void rtu_listing(fs::path const& scratch) {
    auto const dir = scratch / "rtu";
    fs::create_directories(dir);
    modbus_test::SimulatorOptions options;
    options.units.resize(rtu_units);
    std::iota(options.units.begin(), options.units.end(), 1);
    options.baud = rtu_baud;
    options.parity = 'N';
    ModbusSimulator const simulator(Transport::rtu, options);
    auto const line = simulator.client_device().native();
    auto const manager = modbus_manager(
        dir, {{"buses",
               {{{"rtu", line}, {"baud", rtu_baud}, {"parity", "N"}, {"units", options.units}, {"timeout_ms", 100}}}}});
    list_all(*manager);  // the simulator's first answers are its slowest
    round_trip(line);
    std::vector<double> ratios;
    bool listing_first = true;
    for (int pair = 0; pair < pairs; ++pair, listing_first = !listing_first) {
        double listing = 0;
        double trip = 0;
        for (bool const is_listing : {listing_first, !listing_first}) {
            if (is_listing) {
                listing = least([&] { return seconds_of([&] { list_all(*manager); }); });
            } else {
                trip = least([&] { return round_trip(line); });
            }
        }
        fmt::print("RTU bus of {} units at {} baud: listing {:.1f} ms, one round trip {:.2f} ms\n", rtu_units, rtu_baud,
                   listing * 1e3, trip * 1e3);
        ratios.push_back(listing / (rtu_units * trip));
    }
    auto const ratio = median(ratios);
    print_figure(listing_figure, ratio, listing_target, ratio <= 1.5);
}

}  // namespace
}  // namespace zelm::bench

int main(int argc, char** argv) {
    using namespace zelm::bench;
    if (argc > 1) {
        std::cerr << "usage: " << argv[0] << " (no arguments)\n";
        return 2;
    }
    ScratchDir const scratch;
    set_tmpdir(scratch.path() / "tmp");
    run_figure(reads_figure, reads_target, register_reads, scratch.path());
    run_figure(listing_figure, listing_target, rtu_listing, scratch.path());
    return 0;
}
