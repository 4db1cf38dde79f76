// Listing the units that answer on a bus, and what each tells about itself,
// against a real Modbus server on TCP and on a serial line.
#include "modbus_test_support.hpp"

#include <zelm/owner.hpp>
#include <zelm/scan.hpp>

namespace zelm::modbus_test {
namespace {

using nlohmann::json;

struct DiscoveryCase {
    char const* name;
    Transport transport;
    bool gateway;
};

class Discovery : public ModbusTest, public ::testing::WithParamInterface<DiscoveryCase> {
protected:
    // Units 1, 2 and 4 answer; 3 and 5 are silent (or, behind a gateway,
    // answered with "gateway target device failed to respond"); 4 has no
    // function 43.
    SimulatorOptions const options{.units = {1, 2, 4}, .no_identification = {4}, .gateway = GetParam().gateway};
    ModbusSimulator simulator{GetParam().transport, options};

    void SetUp() override { use_config({{"buses", {bus_config(simulator, options, "1-5", {{"timeout_ms", 200}})}}}); }
};

TEST_P(Discovery, ListsExactlyTheUnitsThatAnswer) {
    std::vector<json> const expected{description(simulator.bus(), 1), description(simulator.bus(), 2),
                                     description(simulator.bus(), 4)};
    EXPECT_EQ(listed(), expected);
}

TEST_P(Discovery, IdentificationObjectsBecomeTheInformation) {
    auto const info = info_of(*open(description(simulator.bus(), 2)));
    EXPECT_EQ(info["Vendor Name"], "zelm");
    EXPECT_EQ(info["Product Code"], "SIM-2");
    EXPECT_EQ(info["Model Name"], "SIM unit 2");
    EXPECT_EQ(info["Vendor URL"], "urn:zelm:modbus-simulator");
    EXPECT_EQ(info["Bus"], simulator.bus());
    EXPECT_EQ(info["Unit"], 2);
}

TEST_P(Discovery, AUnitWithoutFunction43StillHasInformation) {
    auto const info = info_of(*open(description(simulator.bus(), 4)));
    EXPECT_EQ(info["Bus"], simulator.bus());
    EXPECT_EQ(info["Unit"], 4);
    EXPECT_FALSE(info.contains("Vendor Name"));
    EXPECT_EQ(info["Identification"], "none: the unit answers function 43/14 with \"illegal function\"");
}

TEST_P(Discovery, TheStatusNamesTheInterfaceAndCountsTransactions) {
    listed();  // so that the status also tells how the bus was listed
    auto device = open(description(simulator.bus(), 1));
    ASSERT_EQ(device->get_register_sync(7), 7U);
    auto const status = status_of(*device);
    EXPECT_EQ(status["API"], "modbus/1");
    EXPECT_EQ(status["Transactions"], 1);
    EXPECT_EQ(status["Answered"], 1);
    EXPECT_TRUE(status["Last response ms"].is_number());
    EXPECT_EQ(status["Bus listing"]["Units probed"], 5);
    EXPECT_EQ(status["Bus listing"]["Units found"], 3);
}

INSTANTIATE_TEST_SUITE_P(Buses, Discovery,
                         ::testing::Values(DiscoveryCase{"Tcp", Transport::tcp, false},
                                           DiscoveryCase{"TcpGateway", Transport::tcp, true},
                                           DiscoveryCase{"Rtu", Transport::rtu, false}),
                         [](auto const& test_case) { return std::string(test_case.param.name); });

struct SerialNumberCase {
    char const* name;
    json source;
    std::string written;  // bytes written at holding register 300 first
    json expected;        // null: no "Serial Number"
};

class SerialNumber : public ModbusTest, public ::testing::WithParamInterface<SerialNumberCase> {};

// Holding register i of the simulator holds i, and its product code object
// (1) is "SIM-<unit>".
TEST_P(SerialNumber, ComesFromTheConfiguredSource) {
    ModbusSimulator const simulator(Transport::tcp, {.units = {1}});
    use_config({{"buses", {bus_config(simulator, {}, {1}, {{"serial_number", GetParam().source}})}}});
    auto device = open(description(simulator.bus(), 1));
    auto const& written = GetParam().written;
    ASSERT_EQ(device->write(300, written.size(), reinterpret_cast<unsigned char const*>(written.data())), 0);
    auto const info = info_of(*device);
    EXPECT_EQ(info.value("Serial Number", json()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, SerialNumber,
    ::testing::Values(
        SerialNumberCase{"IdentificationObject", {{"object", 1}}, "", "SIM-1"},
        SerialNumberCase{"AbsentObject", {{"object", 0x80}}, "", nullptr},
        SerialNumberCase{"RegistersAsNumber", {{"registers", {7, 2}}, {"format", "number"}}, "", 0x0007'0008},
        SerialNumberCase{"RegistersAsText", {{"registers", {300, 4}}}, std::string("SN-42\0\0\0", 8), "SN-42"},
        SerialNumberCase{"TextPaddedWithSpaces", {{"registers", {300, 2}}}, "AB  ", "AB"},
        SerialNumberCase{"TextStartingWithNul", {{"registers", {300, 2}}}, std::string("\0AB\0", 4), nullptr}),
    [](auto const& test_case) { return std::string(test_case.param.name); });

// A source the unit refuses leaves the serial number out, says why, and
// keeps the rest of the information.
TEST_F(ModbusTest, ASerialNumberSourceTheUnitRefusesIsNamedInTheInformation) {
    ModbusSimulator const simulator(Transport::tcp, {.units = {1}, .registers = 10});
    use_config({{"buses", {bus_config(simulator, {}, {1}, {{"serial_number", {{"registers", {9, 2}}}}})}}});
    auto const info = info_of(*open(description(simulator.bus(), 1)));
    EXPECT_FALSE(info.contains("Serial Number"));
    EXPECT_EQ(info["Product Code"], "SIM-1");
    EXPECT_EQ(info["Serial Number Error"],
              "modbus read holding registers (function 3) at address 9 (2 registers), unit 1 on " + simulator.bus() +
                  ": exception 2 (Illegal data address)");
}

TEST_F(ModbusTest, ScanReportsTheUnitsWithTheirInformation) {
    ModbusSimulator const simulator(Transport::tcp, {.units = {1, 2}});
    use_config({{"buses", {bus_config(simulator, {}, {1, 2})}}});
    auto const results = scan_devices({plugin_path});
    ASSERT_EQ(results.size(), 2U);
    for (auto const& result : results) {
        ASSERT_TRUE(std::holds_alternative<DeviceFound>(result));
        EXPECT_EQ(std::get<DeviceFound>(result).api, "modbus/1");
    }
}

// Nobody touches a device that another process owns, not even to see
// whether it is there: an owned unit is listed without a request. Unit 9 is
// served by nobody, so only a listing that sends it nothing lists it.
TEST_F(ModbusTest, AnOwnedUnitIsListedWithoutBeingSentAnything) {
    ModbusSimulator const simulator(Transport::tcp, {.units = {1}});
    use_config({{"buses", {bus_config(simulator, {}, {1, 9}, {{"timeout_ms", 200}})}}});
    auto const unit9 = description(simulator.bus(), 9);
    test::ChildProcess owner([&](test::ChildProcess& self) {
        auto const held = get_device_manager(plugin_path)->open_managed_device(unit9.dump());
        self.send();
        self.receive();
        return 0;
    });
    ASSERT_EQ(owner.receive(), '.');
    std::vector<json> const expected{description(simulator.bus(), 1), unit9};
    EXPECT_EQ(listed(), expected);
    owner.send();
    EXPECT_EQ(owner.wait(), 0);
    EXPECT_EQ(listed(), std::vector<json>{description(simulator.bus(), 1)});
}

TEST_F(ModbusTest, ABusThatCannotBeReachedListsNothingAndOtherBusesStillList) {
    ModbusSimulator const simulator(Transport::tcp, {.units = {1}});
    use_config({{"buses",
                 {{{"tcp", "127.0.0.1:1"}, {"units", {1}}, {"timeout_ms", 200}},
                  {{"tcp", "no-such..invalid:1"}, {"units", {1}}},
                  {{"rtu", (dir() / "no-such-port").native()}, {"units", {1}}},
                  bus_config(simulator, {}, {1})}}});
    EXPECT_EQ(listed(), std::vector<json>{description(simulator.bus(), 1)});
}

}  // namespace
}  // namespace zelm::modbus_test
