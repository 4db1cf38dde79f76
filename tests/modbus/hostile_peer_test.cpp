// Against a unit that misbehaves on purpose: a reply that does not answer its
// request (a late one, a frame noise corrupted, one from another unit, of
// another function or length) is an error, never a value; and an
// identification that never ends is cut short with what it gave.
#include "modbus_test_support.hpp"

#include <fmt/format.h>

#include <chrono>

namespace zelm::modbus_test {
namespace {

using namespace std::chrono_literals;

class Hostile : public ModbusTest {
protected:
    std::unique_ptr<ManagedDevice> own_unit(HostilePeer const& peer, std::chrono::milliseconds timeout) {
        use_config({{"buses", {bus_config(peer, {}, {1}, {{"timeout_ms", timeout.count()}})}}});
        return own(description(peer.bus(), 1));
    }
};

struct Tally {
    int right = 0;
    int wrong = 0;
    int failed = 0;
};

// Reads holding registers 100, 101, ... once each; register i holds i.
Tally read_many(Device& device, int reads) {
    Tally tally;
    for (int i = 0; i < reads; ++i) {
        auto const address = 100U + static_cast<unsigned int>(i);
        try {
            ++(device.get_register_sync(address) == address ? tally.right : tally.wrong);
        } catch (std::runtime_error const&) {
            ++tally.failed;
        }
    }
    return tally;
}

constexpr auto timeout = 100ms;
constexpr int reads = 40;
constexpr int every = 4;

struct DisorderCase {
    char const* name;
    Transport transport;
    HostileOptions options;
};

void PrintTo(DisorderCase const& example, std::ostream* out) { *out << example.name; }

class Disorder : public Hostile, public ::testing::WithParamInterface<DisorderCase> {};

// Every fourth read misbehaves: it costs an error, and no read returns
// another register's value.
TEST_P(Disorder, CostsErrorsButNeverAWrongValue) {
    HostilePeer const peer(GetParam().transport, GetParam().options);
    auto const device = own_unit(peer, timeout);
    auto const tally = read_many(*device, reads);
    EXPECT_EQ(tally.wrong, 0);
    EXPECT_GE(tally.failed, reads / every);
    EXPECT_GE(tally.right, reads / 2);  // the line recovers after each
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Disorder,
    ::testing::Values(
        // Answers after the time-out, while the next request waits.
        DisorderCase{"RtuLateUnit", Transport::rtu, {Misbehaviour::late, every, timeout + timeout / 4}},
        DisorderCase{"TcpLateUnit", Transport::tcp, {Misbehaviour::late, every, timeout + timeout / 4}},
        // A corrupted frame first, the reply itself half a time-out later.
        DisorderCase{"RtuNoise", Transport::rtu, {Misbehaviour::noise, every, timeout / 2}}),
    [](auto const& test_case) { return std::string(test_case.param.name); });

struct MismatchCase {
    char const* name;
    Transport transport;
    Misbehaviour misbehaviour;
    char const* problem;
};

void PrintTo(MismatchCase const& example, std::ostream* out) { *out << example.name; }

class Mismatch : public Hostile, public ::testing::WithParamInterface<MismatchCase> {};

TEST_P(Mismatch, IsAnErrorNotAValue) {
    HostilePeer const peer(GetParam().transport, {.misbehaviour = GetParam().misbehaviour});
    auto const device = own_unit(peer, timeout);
    EXPECT_EQ(test::runtime_error_of([&] { device->get_register_sync(5); }),
              fmt::format("modbus read holding registers (function 3) at address 5 (1 register), unit 1 on {}: {}",
                          peer.bus(), GetParam().problem));
    EXPECT_EQ(status_of(*device)["Link failures"], 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Mismatch,
    ::testing::Values(
        MismatchCase{"TcpOtherUnit", Transport::tcp, Misbehaviour::other_unit, "Response not from requested slave"},
        MismatchCase{"TcpOtherFunction", Transport::tcp, Misbehaviour::other_function, "Invalid data"},
        MismatchCase{"TcpOtherLength", Transport::tcp, Misbehaviour::other_length, "Invalid data"},
        MismatchCase{"RtuOtherUnit", Transport::rtu, Misbehaviour::other_unit, "Response not from requested slave"},
        MismatchCase{"RtuOtherFunction", Transport::rtu, Misbehaviour::other_function, "Invalid data"},
        MismatchCase{"RtuOtherLength", Transport::rtu, Misbehaviour::other_length, "Invalid data"}),
    [](auto const& test_case) { return std::string(test_case.param.name); });

// Every reply says more objects follow, each 50 ms after its request: 255 of
// them would keep get_info (and every scan behind it) for 13 s.
TEST_F(Hostile, AnIdentificationThatNeverEndsIsCutShortWithWhatItGave) {
    constexpr auto identification_timeout = 200ms;
    HostilePeer const peer(Transport::tcp, {.misbehaviour = Misbehaviour::more_follows, .delay = 50ms});
    auto const device = own_unit(peer, identification_timeout);
    auto const start = std::chrono::steady_clock::now();
    auto const info = info_of(*device);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 8 * identification_timeout);
    EXPECT_EQ(info["Vendor Name"], "part 0");
    EXPECT_EQ(info["Product Code"], "part 1");
    EXPECT_EQ(info["Identification"], "incomplete: the unit still had more objects after 800 ms");
}

}  // namespace
}  // namespace zelm::modbus_test
