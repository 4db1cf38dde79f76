// Device access through the tool: queries, registers, block transfers and
// streams of simulated devices whose content the test configures.
#include "tool_test_support.hpp"

#include <zelm/scan.hpp>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <thread>

namespace zelm::tool_test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// The simulated memory's initial content: byte i holds i & 0xff.
constexpr std::size_t memory_size = 4096;

class DeviceAccess : public ToolTest {
protected:
    void SetUp() override {
        use_sim_config(sim_config(json::array({
            {{"description", device},
             {"info", {{"Model", "bench unit"}}},
             {"registers", {{"count", 32}, {"values", {{"0x10", 7}}}}},
             {"memory_size", memory_size},
             {"stream", {{"chunk_size", 512}, {"chunks_per_second", 0}}}},
            {{"description", faulty},
             {"memory_size", memory_size},
             {"stream", {{"chunk_size", 512}, {"chunks_per_second", 0}}},
             {"faults",
              {{"get_info_error", "sensor unplugged"},
               {"stream_error", "buffer overrun"},
               {"stream_error_after", 2048}}}},
            {{"description", slow_stream},
             {"memory_size", memory_size},
             {"stream", {{"chunk_size", 64}, {"chunks_per_second", 100}}}},
        })));
    }

    // zelm <command...> <plug-in> <description> <arguments...>
    static Outcome on(json const& target, std::vector<std::string> const& command,
                      std::vector<std::string> const& arguments = {}) {
        auto all = command;
        all.push_back(sim_plugin.native());
        all.push_back(target.dump());
        all.insert(all.end(), arguments.begin(), arguments.end());
        return run_zelm(all);
    }

    json const device{{"serial", "D-1"}};
    json const faulty{{"serial", "D-2"}};
    json const slow_stream{{"serial", "D-3"}};
};

std::vector<unsigned char> read_bytes(fs::path const& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// True once the process has ended; it stays unreaped for its owner.
bool has_ended(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

void expect_failure(Outcome const& outcome, std::string const& fragment) {
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(lines_of(outcome.err).size(), 1U) << outcome.err;
    EXPECT_NE(outcome.err.find(fragment), std::string::npos) << outcome.err;
}

TEST_F(DeviceAccess, InfoAndStatusPrintWhatTheScanReports) {
    auto const scanned = std::get<DeviceFound>(scan_devices({sim_plugin}).front());

    auto const info = on(device, {"info"});
    auto const status = on(device, {"status"});

    ASSERT_EQ(info.status, 0) << info.err;
    ASSERT_EQ(status.status, 0) << status.err;
    EXPECT_EQ(json::parse(info.out), json::parse(scanned.info));
    EXPECT_EQ(json::parse(status.out), json::parse(scanned.status));
    expect_failure(on(faulty, {"info"}), "sensor unplugged");
}

TEST_F(DeviceAccess, RegistersAreReadAndWrittenAndKeptBetweenCommands) {
    auto const decimal = on(device, {"reg", "get"}, {"0x10"});
    EXPECT_EQ(decimal.status, 0) << decimal.err;
    EXPECT_EQ(decimal.out, "7\n");
    EXPECT_EQ(on(device, {"reg", "get"}, {"16", "--hex"}).out, "0x7\n");
    auto const set = on(device, {"reg", "set"}, {"0x10", "9"});
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.out, "");
    EXPECT_EQ(on(device, {"reg", "get"}, {"0x10"}).out, "9\n") << "the next command did not read back the value set";

    // The register file has 32 registers.
    expect_failure(on(device, {"reg", "get"}, {"32"}), "reading register 32");
    expect_failure(on(device, {"reg", "set"}, {"32", "1"}), "setting register 32 ");
}

TEST_F(DeviceAccess, ReadPrintsHexThatWriteTakesBackAndTheNextCommandReads) {
    auto const read = on(device, {"read"}, {"0xfe", "20"});
    ASSERT_EQ(read.status, 0) << read.err;
    EXPECT_EQ(read.out, "fe ff 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d\n0e 0f 10 11\n");

    auto const write = on(device, {"write"}, {"0xfe", "de ad be ef"});
    EXPECT_EQ(write.status, 0) << write.err;
    EXPECT_EQ(on(device, {"read"}, {"0xfc", "8"}).out, "fc fd de ad be ef 02 03\n")
        << "the next command did not read back the bytes written";
    EXPECT_EQ(on(device, {"write"}, {"0xfe", read.out.substr(0, 11)}).status, 0) << "what read printed writes back";
    EXPECT_EQ(on(device, {"read"}, {"0xfe", "20"}).out, read.out);

    // Addresses are echoed in decimal, as they were given.
    auto const near_end = std::to_string(memory_size - 2);
    auto const last = std::to_string(memory_size - 1);
    expect_failure(on(device, {"read"}, {near_end, "4"}), "reading 4 bytes at " + near_end + " from");
    expect_failure(on(device, {"write"}, {last, "de ad"}), "writing 2 bytes at " + last + " to");
}

TEST_F(DeviceAccess, StreamDeliversExactlyTheRequestedBytes) {
    auto const file = scratch() / "stream.bin";
    std::size_t const count = 3 * memory_size + 100;  // wraps round the memory three times
    unsigned const start = 0x10;

    auto const outcome =
        on(device, {"stream"}, {std::to_string(start), "--bytes", std::to_string(count), "-o", file.native()});

    ASSERT_EQ(outcome.status, 0) << outcome.err;
    auto const data = read_bytes(file);
    ASSERT_EQ(data.size(), count);
    for (std::size_t i = 0; i < count; ++i) {
        ASSERT_EQ(data[i], static_cast<unsigned char>((start + i) % memory_size)) << "byte " << i;
    }
    EXPECT_TRUE(lines_of(outcome.err).back().starts_with("received " + std::to_string(count) + " bytes"))
        << outcome.err;
}

TEST_F(DeviceAccess, StreamFailuresNameTheirCause) {
    expect_failure(on(faulty, {"stream"}, {"0", "--bytes", "100000"}),
                   "failed after 2048 bytes: the device reported: buffer overrun");
    // The simulated device starts no stream outside its memory.
    expect_failure(on(device, {"stream"}, {std::to_string(memory_size), "--bytes", "1"}), "started no stream");
}

TEST_F(DeviceAccess, StreamStopsCleanlyWhenInterrupted) {
    auto const file = scratch() / "stream.bin";
    RunningZelm zelm({"stream", sim_plugin.native(), slow_stream.dump(), "0", "-o", file.native()});
    // Interrupt once data is flowing; this stream would never end by itself.
    // Until it ends, the data goes to a new file beside the output.
    auto const flowing = [&] {
        return std::ranges::any_of(fs::directory_iterator(scratch()), [&](fs::directory_entry const& entry) {
            return entry.path().filename().native().starts_with(file.filename().native()) && entry.file_size() > 0;
        });
    };
    while (!flowing()) {
        ASSERT_FALSE(has_ended(zelm.pid())) << "zelm stream ended on its own:\n" << zelm.finish().err;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    zelm.signal(SIGINT);
    auto const outcome = zelm.finish();

    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_TRUE(lines_of(outcome.err).back().starts_with("interrupted; received ")) << outcome.err;
    // What arrived before the stop was written out in full and in order, to
    // the output itself.
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch()), fs::directory_iterator()), 2) << "left behind";
    auto const data = read_bytes(file);
    ASSERT_FALSE(data.empty());
    for (std::size_t i = 0; i < data.size(); ++i) {
        ASSERT_EQ(data[i], static_cast<unsigned char>(i % memory_size)) << "byte " << i;
    }
}

}  // namespace
}  // namespace zelm::tool_test
