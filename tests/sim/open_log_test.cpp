// Counting opens on the whole machine: every process that opens a device
// appends whole lines to one log, so a test or benchmark can count queries
// from outside.
#include "sim_test_support.hpp"

#include <unistd.h>

#include <map>
#include <regex>

namespace zelm::sim_test {
namespace {

using nlohmann::json;

using SimOpenLogTest = SimTest;

TEST_F(SimOpenLogTest, EveryOpenInEveryProcessAppendsOneWholeLine) {
    json const first = {{"serial", "LOG-1"}, {"model", "m"}};
    json const second = {{"serial", "LOG-2"}};
    json const faulty = {{"serial", "LOG-3"}};
    // Relative: the log sits beside the configuration, not in the working directory.
    use_config({{"open_log", "opens.log"},
                {"devices",
                 {{{"description", first}},
                  {{"description", second}},
                  {{"description", faulty}, {"faults", {{"open_device_error", "USB stall"}}}}}}});
    constexpr int per_probe = 25;

    std::vector<std::unique_ptr<Probe>> probes;
    std::map<pid_t, json> probe_devices;
    for (int i = 0; i < 4; ++i) {
        auto const& device = i % 2 == 0 ? first : second;
        // Text with other spacing and member order: the log holds the compact form.
        auto const text = device.dump(1);
        probes.push_back(std::make_unique<Probe>(
            std::vector<std::string>{"open", plugin_path.native(), text, std::to_string(per_probe)},
            dir() / ("probe" + std::to_string(i) + ".out")));
        probe_devices[probes.back()->pid()] = device;
    }
    // A failed open still reached the device, so it counts too.
    EXPECT_THROW(open(faulty), std::runtime_error);
    for (auto& probe : probes) {
        EXPECT_EQ(probe->wait(), 0);
    }

    std::regex const line_format(R"(^(\d+) (\{.*\})$)");
    std::map<pid_t, int> opens;
    auto const lines = read_lines(dir() / "opens.log");
    for (auto const& line : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, line_format)) << "malformed line: " << line;
        auto const pid = static_cast<pid_t>(std::stol(match[1]));
        auto const expected = pid == ::getpid() ? faulty : probe_devices.at(pid);
        EXPECT_EQ(match[2].str(), expected.dump());
        ++opens[pid];
    }
    EXPECT_EQ(lines.size(), 4 * per_probe + 1);
    EXPECT_EQ(opens[::getpid()], 1);
    for (auto const& [pid, device] : probe_devices) {
        EXPECT_EQ(opens[pid], per_probe) << "probe " << pid;
    }
}

}  // namespace
}  // namespace zelm::sim_test
