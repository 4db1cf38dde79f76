// The simulated family as the library sees it: its default devices, its
// identity (name, version, path in every process), opening by description,
// and how its devices and faults come out of a real scan.
#include "sim_test_support.hpp"

#include <zelm/managed_device.hpp>
#include <zelm/scan.hpp>

#include <gmock/gmock.h>

#include <set>

namespace zelm::sim_test {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;

using SimManagerTest = SimTest;

TEST_F(SimManagerTest, DefaultDevicesAreThreeDistinctDevicesThatAnswerTheirQueries) {
    auto const devices = json::parse(manager().list_devices());
    ASSERT_TRUE(devices.is_array());
    ASSERT_EQ(devices.size(), 3U);

    std::set<json> serials;
    for (auto const& description : devices) {
        SCOPED_TRACE(description.dump());
        serials.insert(description.at("serial"));
        auto const device = open(description);
        auto const info = device->get_info();
        ASSERT_TRUE(info.has_value()) << info.error();
        EXPECT_EQ(json::parse(*info).at("Serial Number"), description.at("serial"));
        auto const status = device->get_status();
        ASSERT_TRUE(status.has_value()) << status.error();
        EXPECT_TRUE(json::parse(*status).at("API").is_string());
    }
    EXPECT_EQ(serials.size(), 3U);
    EXPECT_EQ(manager().get_name(), "sim");
    EXPECT_EQ(manager().get_version(), ZELM_PROJECT_VERSION);
}

TEST_F(SimManagerTest, NameComesFromTheConfiguration) {
    auto config = one_device({{"serial", 1}});
    config["name"] = "bench rack";
    use_config(config);
    EXPECT_EQ(manager().get_name(), "bench rack");
}

// Lock identities are derived from get_path, so it names the family, not the
// file: every copy of the plug-in, in every process, gives the same one.
TEST_F(SimManagerTest, PathNamesTheFamilyWhicheverCopyAndProcess) {
    EXPECT_EQ(manager().get_path(), "zelm-sim");

    auto const copy = copy_plugin(dir() / "installed", "lab_manager.so");
    Probe probe({"path", copy.native()}, dir() / "path.txt");
    ASSERT_EQ(probe.wait(), 0);
    EXPECT_EQ(read_file(dir() / "path.txt"), "zelm-sim\n");
}

// A build tree and an installed prefix hold two copies of one family: a
// device owned through one is occupied through the other.
TEST_F(SimManagerTest, ADeviceOwnedThroughOneCopyIsOccupiedThroughAnother) {
    auto const first = copy_plugin(dir() / "build", "sim_manager.so");
    auto const second = copy_plugin(dir() / "prefix", "sim_manager.so");
    std::string const description = R"({"model":"sim-counter","serial":"SIM-0001"})";
    test::ChildProcess owner([&](test::ChildProcess& self) {
        auto const device = get_device_manager(first)->open_managed_device(description);
        self.send();
        self.receive();  // hold until the parent is done
        return 0;
    });
    ASSERT_EQ(owner.receive(), '.') << "the first copy could not own the device";

    EXPECT_EQ(test::runtime_error_of([&] { get_device_manager(second)->open_managed_device(description); }),
              "Device is already occupied");
    auto const results = scan_devices({second});
    ASSERT_EQ(results.size(), 3U);
    EXPECT_TRUE(std::holds_alternative<DeviceOccupied>(results[0]));
    owner.send();
    EXPECT_EQ(owner.wait(), 0);
}

// The library owns a device under its description's compact text, so only
// that text may open it: another text, even one equal as a JSON value, would
// let a second owner have the device.
struct OpenCase {
    char const* text;
    char const* opens;  // the model of the device it opens; null: refused
};

TEST_F(SimManagerTest, OpensOnlyTheCompactTextOfAListedDescription) {
    use_config({{"devices",
                 {{{"description", {{"serial", "A"}, {"slot", 1}}}, {"info", {{"Model", "first"}}}},
                  {{"description", {{"serial", "A"}, {"slot", 2}}}, {"info", {{"Model", "second"}}}},
                  {{"description", {{"serial", 7}}}, {"info", {{"Model", "integer"}}}},
                  {{"description", {{"serial", 1.0}}}, {"info", {{"Model", "floating"}}}},
                  {{"description", {{"serial", 2.5}}}, {"info", {{"Model", "fraction"}}}}}}});

    OpenCase const cases[] = {
        {R"({"serial":"A","slot":2})", "second"},
        {R"( { "slot" : 2,  "serial":"A" } )", "second"},  // member order and spacing
        {R"({"serial":7})", "integer"},
        {R"({"serial":1e0})", "floating"},   // compact text {"serial":1.0}
        {R"({"serial":2.50})", "fraction"},  // compact text {"serial":2.5}
        {R"({"serial":7.0})", nullptr},      // equals {"serial":7} as a value only
        {R"({"serial":1})", nullptr},        // equals {"serial":1.0} as a value only
        {R"({"serial":"A"})", nullptr},      // a subset of two listed descriptions
        {R"({"serial":"A","slot":3})", nullptr},
        {"not json", nullptr},
    };
    for (auto const& [text, opens] : cases) {
        SCOPED_TRACE(text);
        auto const parsed = json::parse(text, nullptr, false);
        auto const compact = parsed.is_discarded() ? std::string(text) : parsed.dump();
        if (opens != nullptr) {
            auto const device = manager().open_device(text);
            EXPECT_EQ(json::parse(device->get_info().value()).at("Model"), opens);
        } else {
            EXPECT_EQ(test::runtime_error_of([&] { manager().open_device(text); }),
                      "No simulated device has the description " + compact);
        }
    }
}

// However a description is spelt, one device has one owner at a time: the
// spelling that the library derives another lock identity from does not open
// the device, and the one that opens it takes the same lock.
TEST_F(SimManagerTest, TwoProcessesCannotBothOwnADeviceThroughTwoSpellings) {
    use_config(one_device({{"serial", 7}}));
    test::ChildProcess owner([](test::ChildProcess& self) {
        auto const device = get_device_manager(plugin_path)->open_managed_device(R"({"serial":7})");
        self.send();
        self.receive();  // hold until the parent is done
        return 0;
    });
    ASSERT_EQ(owner.receive(), '.') << "the first owner could not own the device";

    for (std::string const text : {R"({"serial":7.0})", R"({"serial":7e0})"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(test::runtime_error_of([&] { manager().open_managed_device(text); }),
                  "No simulated device has the description {\"serial\":7.0}");
    }
    EXPECT_EQ(test::runtime_error_of([&] { manager().open_managed_device(R"( { "serial" : 7 } )"); }),
              "Device is already occupied");
    owner.send();
    EXPECT_EQ(owner.wait(), 0);
}

TEST_F(SimManagerTest, ScanFindsTheDefaultDevices) {
    auto const results = scan_devices({plugin_path});
    ASSERT_EQ(results.size(), 3U);
    std::set<std::string> serials;
    for (auto const& result : results) {
        auto const* found = std::get_if<DeviceFound>(&result);
        ASSERT_NE(found, nullptr) << "a default device was not found";
        serials.insert(found->serial_number);
        EXPECT_FALSE(found->api.empty());
    }
    EXPECT_EQ(serials, (std::set<std::string>{"SIM-0001", "SIM-0002", "SIM-0003"}));
}

// The injected faults are there so that hosts see each kind of failed query.
TEST_F(SimManagerTest, ScanReportsEachInjectedQueryFaultAsAFailedDevice) {
    use_config({{"devices",
                 {{{"description", {{"serial", "good"}}}},
                  {{"description", {{"serial", "info-error"}}}, {"faults", {{"get_info_error", "sensor offline"}}}},
                  {{"description", {{"serial", "not-json"}}}, {"faults", {{"info_not_json", true}}}},
                  {{"description", {{"serial", "no-open"}}}, {"faults", {{"open_device_error", "USB stall"}}}}}}});

    auto const results = scan_devices({plugin_path});
    ASSERT_EQ(results.size(), 4U);
    ASSERT_TRUE(std::holds_alternative<DeviceFound>(results[0]));
    EXPECT_EQ(std::get<DeviceFound>(results[0]).serial_number, "good");
    std::vector<std::string> errors;
    for (std::size_t i = 1; i < results.size(); ++i) {
        auto const* failed = std::get_if<DeviceQueryFailed>(&results[i]);
        ASSERT_NE(failed, nullptr) << "device " << i << " was not reported as failed";
        errors.push_back(failed->error);
    }
    EXPECT_THAT(errors[0], HasSubstr("sensor offline"));
    EXPECT_FALSE(errors[1].empty());
    EXPECT_THAT(errors[2], HasSubstr("USB stall"));
}

}  // namespace
}  // namespace zelm::sim_test
