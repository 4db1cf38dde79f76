// One bus, however a configuration spells it: its units have one
// description, so one lock identity and one owner.
#include "modbus_test_support.hpp"

#include <zelm/owner.hpp>

#include <functional>
#include <fstream>

namespace zelm::modbus_test {
namespace {

using nlohmann::json;

// How a configuration names the simulator's bus; `dir` takes links.
using Spelling = std::function<std::string(ModbusSimulator const& simulator, std::filesystem::path const& dir)>;

struct SpellingCase {
    char const* name;
    Transport transport;
    Spelling first;
    Spelling second;
};

void PrintTo(SpellingCase const& example, std::ostream* out) { *out << example.name; }

Spelling tcp_host(std::string host) {
    return [host](ModbusSimulator const& simulator, std::filesystem::path const&) {
        return host + ":" + std::to_string(simulator.port());
    };
}

std::string socat_link(ModbusSimulator const& simulator, std::filesystem::path const&) {
    return simulator.client_device().native();
}

std::string device_node(ModbusSimulator const& simulator, std::filesystem::path const&) {
    return std::filesystem::canonical(simulator.client_device()).native();
}

std::string link_to_the_link(ModbusSimulator const& simulator, std::filesystem::path const& dir) {
    auto const link = dir / "line";
    std::filesystem::create_symlink(simulator.client_device(), link);
    return link.native();
}

class OneBusTwoSpellings : public ModbusTest, public ::testing::WithParamInterface<SpellingCase> {
protected:
    SimulatorOptions const options{.units = {1}};
    ModbusSimulator simulator{GetParam().transport, options};

    json config_naming_it(std::string const& spelling) const {
        auto bus = bus_config(simulator, options, {1});
        bus[simulator.port() != 0 ? "tcp" : "rtu"] = spelling;
        return {{"buses", {bus}}};
    }
};

// The first configuration's owner is a process of its own; the second
// configuration, in the test's process, lists the same unit and is refused
// it.
TEST_P(OneBusTwoSpellings, IsOneUnitWithOneOwner) {
    auto const unit = description(simulator.bus(), 1);
    auto const first_config = dir() / "first.json";
    std::ofstream(first_config) << config_naming_it(GetParam().first(simulator, dir())).dump();
    test::ChildProcess owner([&](test::ChildProcess& self) {
        setenv("ZELM_MODBUS_CONFIG", first_config.c_str(), 1);
        auto const manager = get_device_manager(plugin_path);
        if (json::parse(manager->list_devices()) != json::array({unit})) {
            return 1;
        }
        auto const held = manager->open_managed_device(unit.dump());
        self.send();
        self.receive();
        return 0;
    });
    ASSERT_EQ(owner.receive(), '.') << "the first configuration does not list " << unit;

    auto const second = GetParam().second(simulator, dir());
    use_config(config_naming_it(second));
    EXPECT_EQ(listed(), std::vector<json>{unit});
    expect_held_by(unit, owner.pid());
    owner.send();
    EXPECT_EQ(owner.wait(), 0);

    auto const info = info_of(*own(unit));
    EXPECT_EQ(info["Bus"], simulator.bus());
    EXPECT_EQ(info["Bus as configured"], (simulator.port() != 0 ? "tcp:" : "rtu:") + second);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OneBusTwoSpellings,
    ::testing::Values(SpellingCase{"TcpHostNameAndAddress", Transport::tcp, tcp_host("localhost"), tcp_host("127.0.0.1")},
                      SpellingCase{"TcpAddressAndMappedIpv6", Transport::tcp, tcp_host("127.0.0.1"),
                                   tcp_host("[::ffff:127.0.0.1]")},
                      SpellingCase{"RtuLinkAndDeviceNode", Transport::rtu, socat_link, device_node},
                      SpellingCase{"RtuLinkToALinkAndLink", Transport::rtu, link_to_the_link, socat_link}),
    [](auto const& test_case) { return std::string(test_case.param.name); });

// A configuration that names one server twice, spelt two ways, lists its
// units once.
TEST_F(ModbusTest, OneServerConfiguredTwiceListsItsUnitsOnce) {
    ModbusSimulator const simulator(Transport::tcp, {.units = {1}});
    auto const port = std::to_string(simulator.port());
    use_config({{"buses",
                 {{{"tcp", "localhost:" + port}, {"units", {1}}}, {{"tcp", "127.0.0.1:" + port}, {"units", {1}}}}}});
    EXPECT_EQ(listed(), std::vector<json>{description(simulator.bus(), 1)});
}

// A port that leads to another line than when its unit was opened (a link
// re-pointed, an adapter plugged in since) is not that unit's line: the
// device refuses to talk there.
TEST_F(ModbusTest, ASerialPortLeadingToAnotherLineSinceOpeningIsRefused) {
    SimulatorOptions const options{.units = {1}};
    ModbusSimulator const simulator(Transport::rtu, options);
    SerialLinePair const other;
    auto const port = dir() / "line";
    std::filesystem::create_symlink(simulator.client_device(), port);
    auto bus = bus_config(simulator, options, {1});
    bus["rtu"] = port.native();
    use_config({{"buses", {bus}}});
    auto const device = own(description(simulator.bus(), 1));

    std::filesystem::remove(port);
    std::filesystem::create_symlink(other.b(), port);

    EXPECT_EQ(test::runtime_error_of([&] { device->get_register_sync(0); }),
              "modbus: " + port.native() + " leads to line " + std::filesystem::canonical(other.b()).native() +
                  " now, not to " + std::filesystem::canonical(simulator.client_device()).native() +
                  ": open the device again");
}

}  // namespace
}  // namespace zelm::modbus_test
