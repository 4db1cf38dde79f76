// The Modbus family's configuration: where it is found, what a bad one
// reports, and which descriptions a good one opens. Nothing here talks to a
// bus: opening a unit sends nothing.
#include "modbus_test_support.hpp"

#include <gmock/gmock.h>

#include <fstream>

namespace zelm::modbus_test {
namespace {

using nlohmann::json;

struct BadConfig {
    char const* name;
    char const* text;
    char const* problem;  // what the message says after the file's name
};

class BadConfiguration : public ModbusTest, public ::testing::WithParamInterface<BadConfig> {};

TEST_P(BadConfiguration, IsReportedByListingAndOpeningNamingTheFileAndTheMember) {
    auto const file = use_config_text(GetParam().text);
    auto const expected = "Bad modbus configuration " + file.native() + ": " + GetParam().problem;
    auto const unit = description("tcp:127.0.0.1:502", 1).dump();
    EXPECT_EQ(test::runtime_error_of([&] { manager().list_devices(); }), expected);
    EXPECT_EQ(test::runtime_error_of([&] { manager().open_device(unit); }), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadConfiguration,
    ::testing::Values(
        BadConfig{"NoBuses", R"({})", "buses: must be present and an array"},
        BadConfig{"UnknownTopLevelMember", R"({"buses":[],"bus":[]})", "top level: unknown member \"bus\""},
        BadConfig{"TcpAndRtu", R"({"buses":[{"tcp":"h:1","rtu":"/dev/x","units":[1]}]})",
                  "buses[0]: needs exactly one of \"tcp\" and \"rtu\""},
        BadConfig{"SerialMemberOnTcp", R"({"buses":[{"tcp":"h:1","units":[1],"baud":9600}]})",
                  "buses[0]: unknown member \"baud\""},
        BadConfig{"MisspeltMember", R"({"buses":[{"rtu":"/dev/x","units":[1],"baudrate":9600}]})",
                  "buses[0]: unknown member \"baudrate\""},
        BadConfig{"NoUnits", R"({"buses":[{"tcp":"h:1"}]})", "buses[0]: needs a \"units\" member"},
        BadConfig{"BackwardRange", R"({"buses":[{"tcp":"h:1","units":"5-1"}]})",
                  "buses[0].units: range \"5-1\" runs backwards"},
        BadConfig{"RtuBroadcastUnit", R"({"buses":[{"rtu":"/dev/x","units":"0-3"}]})",
                  "buses[0].units: unit 0 is outside 1-247"},
        BadConfig{"RtuUnitPast247", R"({"buses":[{"rtu":"/dev/x","units":[248]}]})",
                  "buses[0].units[0]: must be a whole number from 1 to 247"},
        BadConfig{"UnitTwice", R"({"buses":[{"tcp":"h:1","units":"1-3,2"}]})",
                  "buses[0].units: unit 2 is given twice"},
        BadConfig{"TrailingComma", R"({"buses":[{"tcp":"h:1","units":"1,"}]})", "buses[0].units: ends with a comma"},
        BadConfig{"UnbracketedIpv6", R"({"buses":[{"tcp":"::1:502","units":[1]}]})",
                  "buses[0].tcp: \"::1:502\": write an IPv6 address in brackets, as [::1]:502"},
        BadConfig{"PortOutOfRange", R"({"buses":[{"tcp":"h:70000","units":[1]}]})",
                  "buses[0].tcp: port 70000 is outside 1-65535"},
        BadConfig{"BadParity", R"({"buses":[{"rtu":"/dev/x","units":[1],"parity":"X"}]})",
                  "buses[0].parity: must be \"N\", \"E\" or \"O\""},
        BadConfig{"ZeroTimeout", R"({"buses":[{"tcp":"h:1","units":[1],"timeout_ms":0}]})",
                  "buses[0].timeout_ms: must be a whole number from 1 to 60000"},
        BadConfig{"TwoSerialNumberSources",
                  R"({"buses":[{"tcp":"h:1","units":[1],"serial_number":{"object":128,"registers":[0,2]}}]})",
                  "buses[0].serial_number: needs exactly one of \"object\" and \"registers\""},
        BadConfig{"NameOfUnitNotOnBus", R"({"buses":[{"tcp":"h:1","units":[1],"unit_names":{"2":"meter"}}]})",
                  "buses[0].unit_names: unit 2 is not among the bus's units"},
        BadConfig{"SameBusTwice", R"({"buses":[{"tcp":"h:502","units":[1]},{"tcp":"h","units":[2]}]})",
                  "buses[1]: bus tcp:h:502 is configured twice"}),
    [](auto const& test_case) { return std::string(test_case.param.name); });

TEST_F(ModbusTest, AConfigurationFileThatIsNotThereIsAnError) {
    setenv("ZELM_MODBUS_CONFIG", (dir() / "missing.json").c_str(), 1);
    EXPECT_EQ(test::runtime_error_of([&] { manager().list_devices(); }),
              "Bad modbus configuration " + (dir() / "missing.json").native() + ": no such file");
}

TEST_F(ModbusTest, WithoutConfigurationNothingIsListedAndTheNameSaysWhy) {
    auto const copy = dir() / "plugins" / "modbus_manager.so";
    std::filesystem::create_directories(copy.parent_path());
    std::filesystem::copy_file(plugin_path, copy);
    auto const unconfigured = get_device_manager(copy);
    EXPECT_EQ(unconfigured->list_devices(), "[]");
    EXPECT_EQ(unconfigured->get_name(), "Modbus (not configured: no modbus_manager.json, ZELM_MODBUS_CONFIG unset)");
}

TEST_F(ModbusTest, TheFileBesideThePluginIsItsConfiguration) {
    auto const copy = dir() / "plugins" / "lab_manager.so";
    std::filesystem::create_directories(copy.parent_path());
    std::filesystem::copy_file(plugin_path, copy);
    std::ofstream(copy.parent_path() / "lab_manager.json") << R"({"buses":[{"tcp":"127.0.0.1:1","units":[9]}]})";
    auto const beside = get_device_manager(copy);
    EXPECT_EQ(beside->get_name(), "Modbus");
    EXPECT_NO_THROW(beside->open_device(description("tcp:127.0.0.1:1", 9).dump()));
}

struct OpenCase {
    char const* name;
    json bus;
    json description;
    bool opens;
};

class Opening : public ModbusTest, public ::testing::WithParamInterface<OpenCase> {};

// Only the compact text of a configured unit's description opens it, its bus
// named as listings name it whatever the configuration's spelling, so one
// unit has one lock identity.
TEST_P(Opening, OpensExactlyTheConfiguredUnitsByTheirBusName) {
    use_config({{"buses", {GetParam().bus}}});
    auto const text = GetParam().description.dump();
    if (GetParam().opens) {
        EXPECT_NE(manager().open_device(text), nullptr);
    } else {
        EXPECT_EQ(test::runtime_error_of([&] { manager().open_device(text); }),
                  "No configured Modbus unit has the description " + text);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Opening,
    ::testing::Values(
        OpenCase{"UnitInARange", {{"tcp", "10.0.0.5:1"}, {"units", "1-3,7"}}, {{"bus", "tcp:10.0.0.5:1"}, {"unit", 7}},
                 true},
        OpenCase{"UnitBetweenRanges", {{"tcp", "10.0.0.5:1"}, {"units", "1-3,7"}},
                 {{"bus", "tcp:10.0.0.5:1"}, {"unit", 4}}, false},
        OpenCase{"DefaultPort", {{"tcp", "10.0.0.5"}, {"units", {1}}}, {{"bus", "tcp:10.0.0.5:502"}, {"unit", 1}}, true},
        OpenCase{"HostByItsAddress", {{"tcp", "localhost:1502"}, {"units", {1}}},
                 {{"bus", "tcp:127.0.0.1:1502"}, {"unit", 1}}, true},
        OpenCase{"HostByItsName", {{"tcp", "localhost:1502"}, {"units", {1}}},
                 {{"bus", "tcp:localhost:1502"}, {"unit", 1}}, false},
        OpenCase{"Ipv6", {{"tcp", "[::1]:1502"}, {"units", {1}}}, {{"bus", "tcp:[::1]:1502"}, {"unit", 1}}, true},
        OpenCase{"Ipv6WrittenInFull", {{"tcp", "[0:0:0:0:0:0:0:1]:1502"}, {"units", {1}}},
                 {{"bus", "tcp:[::1]:1502"}, {"unit", 1}}, true},
        OpenCase{"Ipv4MappedIpv6", {{"tcp", "[::ffff:10.0.0.5]:1502"}, {"units", {1}}},
                 {{"bus", "tcp:10.0.0.5:1502"}, {"unit", 1}}, true},
        OpenCase{"SerialLineThatIsNotThere", {{"rtu", "/dev/serial/by-id/usb-x"}, {"units", {3}}},
                 {{"bus", "rtu:/dev/serial/by-id/usb-x"}, {"unit", 3}}, true},
        OpenCase{"UnitAsFloat", {{"tcp", "10.0.0.5:1"}, {"units", {1}}}, {{"bus", "tcp:10.0.0.5:1"}, {"unit", 1.0}},
                 false},
        OpenCase{"ExtraMember", {{"tcp", "10.0.0.5:1"}, {"units", {1}}},
                 {{"bus", "tcp:10.0.0.5:1"}, {"unit", 1}, {"x", 0}}, false}),
    [](auto const& test_case) { return std::string(test_case.param.name); });

// A host that does not resolve has no address to describe its bus by: its
// units open under no description, and the message says why.
TEST_F(ModbusTest, OpeningAUnitOfAHostThatDoesNotResolveSaysWhy) {
    use_config({{"buses", {{{"tcp", "no-such..invalid:1502"}, {"units", {1}}}}}});
    auto const message = test::runtime_error_of([&] { open(description("tcp:10.0.0.5:1502", 1)); });
    EXPECT_THAT(message, ::testing::StartsWith(R"(No configured Modbus unit has the description )"
                                               R"({"bus":"tcp:10.0.0.5:1502","unit":1} )"
                                               R"((modbus: cannot resolve the host of tcp:no-such..invalid:1502: )"));
}

}  // namespace
}  // namespace zelm::modbus_test
