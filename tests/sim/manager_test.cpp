// The simulated family as the library sees it: its default devices, its
// identity (name, version, path in every process), opening by description,
// and how its devices and faults come out of a real scan.
#include "sim_test_support.hpp"

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

// Lock identities are derived from get_path, so it must not depend on how or
// in which process the plug-in was reached.
TEST_F(SimManagerTest, PathIsTheCanonicalPluginFileInEveryProcess) {
    auto const expected = std::filesystem::canonical(plugin_path);
    EXPECT_EQ(manager().get_path(), expected);
    EXPECT_EQ(manager().get_path(), manager().get_path());

    auto const link = dir() / "linked_manager.so";
    std::filesystem::create_symlink(plugin_path, link);
    Probe probe({"path", link.native()}, dir() / "path.txt");
    ASSERT_EQ(probe.wait(), 0);
    EXPECT_EQ(read_file(dir() / "path.txt"), expected.native() + "\n");
}

TEST_F(SimManagerTest, OpenFindsTheDeviceByJsonValueNotByText) {
    use_config({{"devices",
                 {{{"description", {{"serial", "A"}, {"slot", 1}}}, {"info", {{"Model", "first"}}}},
                  {{"description", {{"serial", "A"}, {"slot", 2}}}, {"info", {{"Model", "second"}}}}}}});

    auto const device = manager().open_device(R"( { "slot" : 2,  "serial":"A" } )");
    EXPECT_EQ(json::parse(device->get_info().value()).at("Model"), "second");

    for (std::string const unknown : {R"({"serial":"A"})", R"({"serial":"A","slot":3})", "not json"}) {
        SCOPED_TRACE(unknown);
        try {
            manager().open_device(unknown);
            ADD_FAILURE() << "opened a device that is not configured";
        } catch (std::runtime_error const& error) {
            EXPECT_THAT(error.what(), HasSubstr(unknown));
        }
    }
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
