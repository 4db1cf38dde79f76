// The Modbus peers behave as the family's tests rely on, checked with mbpoll
// as an independent client.
#include "modbus_peers.hpp"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <fstream>
#include <ostream>
#include <thread>
#include <utility>

namespace zelm::modbus_test {
namespace {

// mbpoll's arguments for one request (polling once, addresses counted from
// 0) to `server`, writing `values` when there are any.
std::vector<std::string> mbpoll_request(ModbusSimulator const& server, std::vector<std::string> const& request,
                                        std::vector<std::string> const& values = {}) {
    std::vector<std::string> arguments{"-0", "-1", "-o", "0.5"};
    if (server.port() != 0) {
        arguments.insert(arguments.end(), {"-m", "tcp", "-p", std::to_string(server.port())});
    } else {
        arguments.insert(arguments.end(), {"-m", "rtu", "-b", "19200", "-P", "even"});
    }
    arguments.insert(arguments.end(), request.begin(), request.end());
    arguments.push_back(server.port() != 0 ? "127.0.0.1" : server.client_device().native());
    arguments.insert(arguments.end(), values.begin(), values.end());
    return arguments;
}

struct PeerCase {
    char const* name;
    Transport transport;
    SimulatorOptions options;
    std::vector<std::string> request;  // mbpoll's unit, table, address and count
    bool succeeds;
    std::vector<char const*> expected;  // in standard output when it succeeds, in standard error when not
};

void PrintTo(PeerCase const& example, std::ostream* out) { *out << example.name; }

class SimulatorAnswers : public testing::TestWithParam<PeerCase> {};

TEST_P(SimulatorAnswers, AsARealDeviceWould) {
    auto const& example = GetParam();
    ModbusSimulator const server(example.transport, example.options);
    auto const result = run_mbpoll(mbpoll_request(server, example.request));
    EXPECT_EQ(result.status == 0, example.succeeds) << result.out << result.err;
    for (auto const* text : example.expected) {
        EXPECT_NE((example.succeeds ? result.out : result.err).find(text), std::string::npos)
            << "no \"" << text << "\" in:\n" << result.out << result.err;
    }
}

SimulatorOptions units(std::vector<int> ids, bool gateway = false) {
    SimulatorOptions options;
    options.units = std::move(ids);
    options.gateway = gateway;
    return options;
}

SimulatorOptions registers(int count) {
    SimulatorOptions options;
    options.registers = count;
    return options;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimulatorAnswers,
    testing::Values(
        PeerCase{"TcpUnitReadsHoldingRegisters", Transport::tcp, units({1, 2}), {"-a", "2", "-t", "4", "-r", "7", "-c", "2"},
                 true, {"[7]: \t7", "[8]: \t8"}},
        PeerCase{"TcpUnitReadsInputRegisters", Transport::tcp, units({1}), {"-a", "1", "-t", "3", "-r", "0", "-c", "2"},
                 true, {"[0]: \t1000", "[1]: \t1001"}},
        PeerCase{"TcpUnlistedUnitTimesOut", Transport::tcp, units({1, 2}), {"-a", "3", "-t", "4", "-r", "0"},
                 false, {"Connection timed out"}},
        PeerCase{"GatewayAnswersUnlistedUnit", Transport::tcp, units({1}, true), {"-a", "3", "-t", "4", "-r", "0"},
                 false, {"Target device failed to respond"}},
        PeerCase{"GatewayStillServesListedUnit", Transport::tcp, units({1}, true), {"-a", "1", "-t", "4", "-r", "3"},
                 true, {"[3]: \t3"}},
        PeerCase{"ReadBeyondRegistersIsIllegalAddress", Transport::tcp, registers(10),
                 {"-a", "1", "-t", "4", "-r", "8", "-c", "3"}, false, {"Illegal data address"}},
        PeerCase{"RtuUnitReadsHoldingRegisters", Transport::rtu, units({1, 3}), {"-a", "3", "-t", "4", "-r", "10", "-c", "2"},
                 true, {"[10]: \t10", "[11]: \t11"}},
        PeerCase{"RtuUnlistedUnitIsSilent", Transport::rtu, units({1, 3}), {"-a", "2", "-t", "4", "-r", "0"},
                 false, {"Connection timed out"}}),
    [](auto const& case_info) { return std::string(case_info.param.name); });

TEST(ModbusSimulator, KeepsWhatMbpollWritesPerUnit) {
    ModbusSimulator const server(Transport::rtu, units({1, 2}));
    ASSERT_EQ(run_mbpoll(mbpoll_request(server, {"-a", "2", "-t", "4", "-r", "5"}, {"4242"})).status, 0);

    auto const written = run_mbpoll(mbpoll_request(server, {"-a", "2", "-t", "4", "-r", "4", "-c", "3"}));
    auto const other_unit = run_mbpoll(mbpoll_request(server, {"-a", "1", "-t", "4", "-r", "5"}));

    EXPECT_NE(written.out.find("[4]: \t4\n[5]: \t4242\n[6]: \t6\n"), std::string::npos) << written.out << written.err;
    EXPECT_NE(other_unit.out.find("[5]: \t5\n"), std::string::npos) << other_unit.out << other_unit.err;
}

TEST(ModbusSimulator, KilledServerNoLongerAnswers) {
    ModbusSimulator server(Transport::tcp);
    auto const request = mbpoll_request(server, {"-a", "1", "-t", "4", "-r", "0"});
    ASSERT_EQ(run_mbpoll(request).status, 0);

    server.kill();

    EXPECT_NE(run_mbpoll(request).status, 0);
}

TEST(ModbusSimulator, StopsWhenDestroyed) {
    std::vector<std::string> request;
    {
        ModbusSimulator const server(Transport::tcp);
        request = mbpoll_request(server, {"-a", "1", "-t", "4", "-r", "0"});
        ASSERT_EQ(run_mbpoll(request).status, 0);
    }
    EXPECT_NE(run_mbpoll(request).status, 0);
}

// A test process that crashes runs no destructor: the server notices that
// its parent is gone and stops by itself.
TEST(ModbusSimulator, StopsWhenItsParentDies) {
    test::TempDir const dir;
    auto const port_file = dir.path() / "port";
    test::ChildProcess parent([&](test::ChildProcess& self) {
        ModbusSimulator const server(Transport::tcp);
        std::ofstream(port_file) << server.port();
        self.send();
        self.receive();  // until killed
        return 0;
    });
    ASSERT_EQ(parent.receive(), '.');
    auto const request = std::vector<std::string>{"-m", "tcp", "-p", test::read_file(port_file), "-a", "1", "-t", "4",
                                                  "-r", "0", "-0", "-1", "127.0.0.1"};
    ASSERT_EQ(run_mbpoll(request).status, 0);
    parent.kill(SIGKILL);
    parent.wait();
    auto const deadline = std::chrono::steady_clock::now() + peer_start_timeout;
    while (run_mbpoll(request).status == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_NE(run_mbpoll(request).status, 0);
}

TEST(ModbusSimulator, SaysWhyItDidNotStart) {
    EXPECT_NE(test::runtime_error_of([] { ModbusSimulator server(Transport::tcp, units({0})); })
                  .find("unit ids are 1..247"),
              std::string::npos);
}

}  // namespace
}  // namespace zelm::modbus_test
