// The configuration file: the template and defaults forms that make large
// device sets short to write, the shipped examples, and bad files, each of
// which must come out as one clear error from list_devices.
#include "sim_test_support.hpp"

#include <gmock/gmock.h>

#include <fstream>
#include <optional>

namespace zelm::sim_test {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;

using SimConfigurationTest = SimTest;

TEST_F(SimConfigurationTest, TemplatesNumberTheirDevicesAndDefaultsApplyToAll) {
    use_config({{"defaults", {{"info", {{"Model", "Bench unit {index}"}}}, {"memory_size", 16}}},
                {"devices",
                 {{{"count", 1000},
                   {"first_index", 1},
                   {"description", {{"serial", "B-{index:04}"}, {"rack", "{{literal}}"}}}},
                  {{"description", {{"serial", 7}}}, {"info", {{"Model", "odd one"}}}}}}});

    auto const devices = json::parse(manager().list_devices());
    ASSERT_EQ(devices.size(), 1001U);
    EXPECT_EQ(devices[0], json({{"serial", "B-0001"}, {"rack", "{literal}"}}));
    EXPECT_EQ(devices[999].at("serial"), "B-1000");
    EXPECT_EQ(devices[1000], json({{"serial", 7}}));

    auto const info = json::parse(open(devices[499])->get_info().value());
    EXPECT_EQ(info, json({{"Model", "Bench unit 500"}, {"Serial Number", "B-0500"}}));
    auto const odd = json::parse(open(devices[1000])->get_info().value());
    EXPECT_EQ(odd, json({{"Model", "odd one"}, {"Serial Number", 7}}));
    // memory_size from the defaults: 16 bytes, so byte 16 is out of range.
    unsigned char byte = 0;
    auto const device = open(devices[1000]);
    EXPECT_EQ(device->read(15, 1, &byte), 0);
    EXPECT_NE(device->read(16, 1, &byte), 0);
}

// The examples are documentation: they must stay valid (their first device is
// a healthy one). Their text is copied, so that anything they might name
// relative to the file lands here and not in the source tree.
TEST_F(SimConfigurationTest, ShippedExamplesLoadAndOpen) {
    for (auto const& entry : std::filesystem::directory_iterator(examples_dir)) {
        SCOPED_TRACE(entry.path().native());
        use_config_text(read_file(entry.path()));
        auto const manager_handle = get_device_manager(plugin_path);
        auto const devices = json::parse(manager_handle->list_devices());
        ASSERT_FALSE(devices.empty());
        EXPECT_NE(manager_handle->open_device(devices.front().dump()), nullptr);
    }
}

struct BadConfiguration {
    char const* name;
    std::string text;
    char const* problem;  // expected in the message
};

std::ostream& operator<<(std::ostream& stream, BadConfiguration const& bad) { return stream << bad.name; }

json device_with(json members) {
    members["description"] = {{"serial", "S1"}};
    return {{"devices", {members}}};
}

class SimBadConfigurationTest : public SimTest, public ::testing::WithParamInterface<BadConfiguration> {};

// A bad file must not stop the plug-in from loading (that would hide the
// reason); every device operation of the manager reports it instead.
TEST_P(SimBadConfigurationTest, IsOneLineErrorNamingFileAndProblem) {
    auto const file = use_config_text(GetParam().text);
    EXPECT_EQ(manager().get_name(), "sim");
    auto const list = [](DeviceManager& m) { m.list_devices(); };
    auto const open_one = [](DeviceManager& m) { m.open_device(R"({"serial":"S1"})"); };
    for (void (*operation)(DeviceManager&) : {+list, +open_one}) {
        try {
            operation(manager());
            ADD_FAILURE() << "the bad configuration was accepted";
        } catch (std::runtime_error const& error) {
            std::string const message = error.what();
            EXPECT_THAT(message, HasSubstr(file.native()));
            EXPECT_THAT(message, HasSubstr(GetParam().problem));
            EXPECT_THAT(message, Not(HasSubstr("\n")));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimBadConfigurationTest,
    ::testing::Values(
        BadConfiguration{"NotJson", R"({"devices": [)", "not JSON"},
        BadConfiguration{"TopLevelNotObject", "[]", "top level: must be an object"},
        BadConfiguration{"NoDevices", R"({"name": "x"})", "devices: must be present"},
        BadConfiguration{"NoDescription", R"({"devices": [{"info": {}}]})", "devices[0]: needs a \"description\""},
        BadConfiguration{"NoSerial", R"({"devices": [{"description": {"id": 1}}]})", "needs a \"serial\""},
        BadConfiguration{"MisspeltMember", device_with({{"latncy_ms", {{"get_info", 20}}}}).dump(),
                         "unknown member \"latncy_ms\""},
        BadConfiguration{"NegativeLatency", device_with({{"latency_ms", {{"get_info", -1}}}}).dump(),
                         "devices[0].latency_ms.get_info: must be a number"},
        BadConfiguration{"InfoNotObject", device_with({{"info", "fast"}}).dump(), "devices[0].info: must be an object"},
        BadConfiguration{"RegisterBeyondCount",
                         device_with({{"registers", {{"count", 4}, {"values", {{"0x4", 1}}}}}}).dump(),
                         "register 0x4 is beyond the register count 4"},
        BadConfiguration{"BadRegisterAddress", device_with({{"registers", {{"values", {{"r1", 1}}}}}}).dump(),
                         "register address \"r1\""},
        BadConfiguration{"ZeroChunk", device_with({{"stream", {{"chunk_size", 0}}}}).dump(),
                         "devices[0].stream.chunk_size"},
        BadConfiguration{"BadTemplate", R"({"devices": [{"count": 2, "description": {"serial": "S{idx}"}}]})",
                         "bad template \"S{idx}\""},
        BadConfiguration{"TemplateWithoutIndex", R"({"devices": [{"count": 2, "description": {"serial": "S"}}]})",
                         "two devices have the description {\"serial\":\"S\"}"},
        BadConfiguration{"DuplicateBySerialType",
                         R"({"devices": [{"description": {"serial": 1}}, {"description": {"serial": 1.0}}]})",
                         "two devices have the description"},
        BadConfiguration{"OpenLogNotWritable", R"({"open_log": "missing/dir/opens.log", "devices": []})",
                         "open_log: "}),
    [](auto const& test) { return std::string(test.param.name); });

// Where a copy of the plug-in finds its devices: the file the variable names,
// else the file named after its own stem beside it, else the built-in ones.
struct Lookup {
    char const* name;
    std::optional<std::string> beside;    // text of lab_manager.json; "/" makes it a directory
    std::optional<std::string> variable;  // text of the file ZELM_SIM_CONFIG names
    char const* lists;                    // serial of the first listed device, or
    char const* error;                    // a part of the error, with the file's path before it
};

TEST_F(SimConfigurationTest, ACopyReadsTheVariablesFileElseTheFileBesideItElseTheDefault) {
    auto const devices = [](char const* serial) { return one_device({{"serial", serial}}).dump(); };
    Lookup const cases[] = {
        {"neither", std::nullopt, std::nullopt, "SIM-0001", nullptr},
        {"beside", devices("BESIDE"), std::nullopt, "BESIDE", nullptr},
        {"variable over beside", devices("BESIDE"), devices("VARIABLE"), "VARIABLE", nullptr},
        {"variable alone", std::nullopt, devices("VARIABLE"), "VARIABLE", nullptr},
        {"invalid beside", "{\"devices\": [", std::nullopt, nullptr, "lab_manager.json: not JSON"},
        {"unreadable beside", "/", std::nullopt, nullptr, "lab_manager.json: not a regular file"},
        {"invalid variable", devices("BESIDE"), "[]", nullptr, "variable.json: top level: must be an object"},
    };
    for (auto const& lookup : cases) {
        SCOPED_TRACE(lookup.name);
        auto const case_dir = dir() / lookup.name;
        auto const plugin = copy_plugin(case_dir, "lab_manager.so");
        // Named after another stem: never read by lab_manager.so.
        std::ofstream(case_dir / "sim_manager.json") << devices("OTHER STEM");
        if (lookup.beside == "/") {
            std::filesystem::create_directory(case_dir / "lab_manager.json");
        } else if (lookup.beside) {
            std::ofstream(case_dir / "lab_manager.json") << *lookup.beside;
        }
        std::optional<std::string> variable;
        if (lookup.variable) {
            variable = (case_dir / "variable.json").native();
            std::ofstream(*variable) << *lookup.variable;
        }
        ScopedEnv const env("ZELM_SIM_CONFIG", variable);

        auto const manager_handle = get_device_manager(plugin);
        if (lookup.lists != nullptr) {
            EXPECT_EQ(json::parse(manager_handle->list_devices()).at(0).at("serial"), lookup.lists);
        } else {
            EXPECT_THAT(test::runtime_error_of([&] { manager_handle->list_devices(); }),
                        HasSubstr(case_dir.native() + "/" + lookup.error));
        }
    }
}

TEST_F(SimConfigurationTest, MissingFileIsNamedInTheError) {
    auto const missing = dir() / "nowhere.json";
    setenv("ZELM_SIM_CONFIG", missing.c_str(), 1);
    EXPECT_THAT([&] { manager().list_devices(); },
                ::testing::ThrowsMessage<std::runtime_error>(HasSubstr(missing.native() + ": no such file")));
}

}  // namespace
}  // namespace zelm::sim_test
