// scan_devices through the shared library, as hosts call it: device-list
// shapes, result order and content, failures that cost one plug-in or one
// device, and scans that meet owners and other scanners in other processes.
#include "log_capture.hpp"
#include "test_support.hpp"

#include <zelm/zelm.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <memory>
#include <thread>

namespace zelm {
namespace {

using nlohmann::json;
using test::count_events;
using test::read_events;
using testing::ElementsAre;
using testing::IsEmpty;

std::string description_of(ScanResult const& result) {
    return std::visit([](auto const& record) { return record.description; }, result);
}

std::vector<std::string> descriptions(ScanResults const& results) {
    std::vector<std::string> texts;
    for (auto const& result : results) {
        texts.push_back(description_of(result));
    }
    return texts;
}

class Scan : public testing::Test {
protected:
    std::filesystem::path plugin(std::string const& name, json config = json::object()) {
        config["events"] = events_.native();
        return test::install_test_plugin(plugins_.path(), name, config);
    }
    std::size_t events(std::string const& event) const { return count_events(read_events(events_), event); }

    test::ScopedTmpdir tmpdir_;
    test::TempDir plugins_;
    std::filesystem::path events_ = plugins_.path() / "events";
    test::LogCapture log_;
};

TEST_F(Scan, NoPluginsGiveNoResultsAndNoLog) {
    EXPECT_THAT(scan_devices({}), IsEmpty());
    EXPECT_THAT(log_.lines(), IsEmpty());
}

struct ListCase {
    char const* name;
    json config;
    std::vector<std::string> descriptions;
};

void PrintTo(ListCase const& test_case, std::ostream* out) { *out << test_case.name; }

class DeviceList : public Scan, public testing::WithParamInterface<ListCase> {};

TEST_P(DeviceList, GivesTheDescriptionsInOrderAndNoLog) {
    auto const results = scan_devices({plugin("list_manager.so", GetParam().config)});
    EXPECT_EQ(descriptions(results), GetParam().descriptions);
    EXPECT_THAT(log_.lines(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, DeviceList,
    testing::Values(
        ListCase{"Array", {{"list", R"([{"serial":"2"}, {"serial":"1"}])"}}, {R"({"serial":"2"})", R"({"serial":"1"})"}},
        ListCase{"ObjectInKeyOrderWithoutNames",
                 {{"list", R"({"b":{"serial":"2"},"a":{"serial":"1"}})"}},
                 {R"({"serial":"1"})", R"({"serial":"2"})"}},
        ListCase{"DescriptionIsReserialisedCompactly", {{"list", R"([{ "b" : 1, "a" : "x" }])"}}, {R"({"a":"x","b":1})"}},
        ListCase{"SingleString", {{"list", R"("abc")"}}, {R"("abc")"}},
        ListCase{"SingleNumber", {{"list", "42"}}, {"42"}},
        ListCase{"EmptyArray", {{"list", "[]"}}, {}},
        ListCase{"EmptyObject", {{"list", "{}"}}, {}},
        ListCase{"Null", {{"list", "null"}}, {}},
        ListCase{"EmptyText", {{"list", ""}}, {}},
        ListCase{"NotJson", {{"list", "devices: 3"}}, {}},
        ListCase{"JsonFollowedByText", {{"list", R"([{"serial":"1"}] extra)"}}, {}},
        ListCase{"ListThrowsStandardException", {{"list_throws", "bus down"}}, {}},
        ListCase{"ListThrowsInt", {{"list_throws_int", true}}, {}}),
    [](auto const& test_case) { return std::string(test_case.param.name); });

TEST_F(Scan, ResultsKeepPluginOrderThenListOrderWithKindsInterleaved) {
    json const held = {{"serial", "held"}};
    auto const first = plugin("first_manager.so",
                              json::parse(R"({"devices":[{"serial":"held"},{"serial":"bad","info_error":"no sensor"}]})"));
    auto const second = plugin("second_manager.so", json::parse(R"({"devices":[{"serial":"ok"}]})"));
    auto manager = get_device_manager(first);
    auto owned = manager->manage_device(manager->open_device(held.dump()), held.dump());

    auto const results = scan_devices({first, second});

    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(std::get<DeviceOccupied>(results[0]).description, held.dump());
    EXPECT_EQ(std::get<DeviceOccupied>(results[0]).plugin_path, first.native());
    EXPECT_EQ(std::get<DeviceQueryFailed>(results[1]).error, "no sensor");
    EXPECT_EQ(std::get<DeviceFound>(results[2]).serial_number, "ok");
    EXPECT_EQ(std::get<DeviceFound>(results[2]).plugin_path, second.native());
}

TEST_F(Scan, OccupiedDeviceIsNeitherOpenedNorCached) {
    json const held = {{"serial", "held"}};
    auto const path = plugin("held_manager.so", json::parse(R"({"devices":[{"serial":"held"}]})"));
    auto manager = get_device_manager(path);
    auto owned = manager->manage_device(manager->open_device(held.dump()), held.dump());
    auto const lock_id = detail::make_lock_id(manager->get_path(), held);

    auto const results = scan_devices({path});

    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(std::holds_alternative<DeviceOccupied>(results[0]));
    EXPECT_EQ(events("open"), 1u);  // the host's own open only
    EXPECT_FALSE(std::filesystem::exists(tmpdir_.lock_directory() / (lock_id + ".lock")));
}

TEST_F(Scan, FoundDeviceCarriesItsRecordAndThePathAsPassed) {
    auto const path = plugin("found_manager.so",
                             json::parse(R"({"devices":[{"serial":"x","info":{"Serial Number":7},"status":{"API":"x"}}]})"));
    auto const relative = std::filesystem::relative(path);
    auto const as_passed = std::filesystem::path("./") / relative.parent_path() / ".." /
                           relative.parent_path().filename() / relative.filename();

    auto const results = scan_devices({as_passed});

    ASSERT_EQ(results.size(), 1u);
    auto const& found = std::get<DeviceFound>(results[0]);
    EXPECT_EQ(found.plugin_path, as_passed.native());
    EXPECT_EQ(found.serial_number, "7");
    EXPECT_EQ(found.api, "x");
    EXPECT_EQ(found.info, R"({"Serial Number":7})");
    EXPECT_EQ(found.status, R"({"API":"x"})");
}

TEST_F(Scan, UnloadablePluginCostsOneWarningAndItsOwnDevicesOnly) {
    auto const good = plugin("good_manager.so", json::parse(R"({"devices":[{"serial":"1"}]})"));
    auto const missing = plugins_.path() / "missing_manager.so";
    auto const directory = plugins_.path();

    auto const results = scan_devices({good, missing, directory, good});

    EXPECT_EQ(results.size(), 2u);
    EXPECT_THAT(log_.lines(),
                ElementsAre("warning Scanner skipped manager " + missing.native() +
                                ": Device Manager not found: " + missing.native(),
                            "warning Scanner skipped manager " + directory.native() +
                                ": Not a regular file: " + directory.native()));
    // The second pass over the same path is answered by the in-process cache.
    EXPECT_EQ(events("open"), 1u);
}

TEST_F(Scan, QueryThatThrowsAnEmptyMessageIsReportedAsNoInfo) {
    auto const path = plugin("empty_manager.so", json::parse(R"({"devices":[{"serial":"e","open_throws":""}]})"));

    auto const results = scan_devices({path});

    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(std::get<DeviceQueryFailed>(results[0]).error, "no info returned");
    ASSERT_EQ(log_.lines().size(), 1u);
    EXPECT_THAT(log_.lines()[0], testing::StartsWith("error Failed to query device device_"));
    EXPECT_THAT(log_.lines()[0], testing::EndsWith(": "));
}

TEST_F(Scan, NumericErrorInACacheFileCostsOneLiveQueryAndNothingElse) {
    auto const devices = json::parse(R"([{"serial":"1"},{"serial":"2"},{"serial":"3"},{"serial":"4"}])");
    auto const path = plugin("poisoned_manager.so", {{"devices", devices}});
    auto manager = get_device_manager(path);
    std::filesystem::create_directories(tmpdir_.lock_directory());
    auto const poisoned = tmpdir_.lock_directory() / (detail::make_lock_id(manager->get_path(), devices[2]) + ".lock");
    std::ofstream(poisoned) << R"({"error":5})";

    auto const results = scan_devices({path});

    ASSERT_EQ(results.size(), 4u);
    for (auto const& result : results) {
        EXPECT_TRUE(std::holds_alternative<DeviceFound>(result)) << description_of(result);
    }
    EXPECT_THAT(log_.lines(), IsEmpty());
}

TEST_F(Scan, UnusableLockDirectoryMakesEveryDeviceOccupied) {
    std::ofstream(tmpdir_.lock_directory()) << "not a directory";
    auto const path = plugin("blocked_manager.so", json::parse(R"({"devices":[{"serial":"1"},{"serial":"2"}]})"));

    auto const results = scan_devices({path});

    ASSERT_EQ(results.size(), 2u);
    EXPECT_TRUE(std::holds_alternative<DeviceOccupied>(results[0]));
    EXPECT_TRUE(std::holds_alternative<DeviceOccupied>(results[1]));
    EXPECT_EQ(events("open"), 0u);
}

TEST_F(Scan, PluginIsUnloadedAfterTheScanUnlessTheHostHoldsIt) {
    auto const path = plugin("transient_manager.so", json::parse(R"({"devices":[{"serial":"1"}]})"));

    scan_devices({path});
    EXPECT_EQ(events("unload"), 1u);

    auto manager = get_device_manager(path);
    scan_devices({path});
    EXPECT_EQ(events("unload"), 1u);
    EXPECT_EQ(events("create"), 2u);
}

TEST_F(Scan, DeviceOwnedByAnotherProcessIsOccupied) {
    json const device = {{"serial", "remote"}};
    auto const path = plugin("remote_manager.so", json::parse(R"({"devices":[{"serial":"remote"}]})"));
    test::ChildProcess holder([&](test::ChildProcess& self) {
        auto manager = get_device_manager(path);
        auto owned = manager->manage_device(manager->open_device(device.dump()), device.dump());
        self.send();
        self.receive();
        return 0;
    });
    holder.receive();

    auto const while_held = scan_devices({path});
    holder.kill(SIGKILL);
    holder.wait();
    auto const after_death = scan_devices({path});

    ASSERT_EQ(while_held.size(), 1u);
    EXPECT_TRUE(std::holds_alternative<DeviceOccupied>(while_held[0]));
    ASSERT_EQ(after_death.size(), 1u);
    EXPECT_TRUE(std::holds_alternative<DeviceFound>(after_death[0]));
}

TEST_F(Scan, ProcessesScanningOneSlowDeviceAtOnceOpenItOnce) {
    auto const path = plugin("shared_manager.so", json::parse(R"({"devices":[{"serial":"slow","delay_ms":300}]})"));
    std::vector<std::unique_ptr<test::ChildProcess>> scanners;
    for (int i = 0; i < 4; ++i) {
        scanners.push_back(std::make_unique<test::ChildProcess>([&](test::ChildProcess& self) {
            self.receive();  // start together
            auto const results = scan_devices({path});
            return results.size() == 1 && std::holds_alternative<DeviceFound>(results[0]) ? 0 : 1;
        }));
    }
    for (auto& scanner : scanners) {
        scanner->send();
    }
    for (auto& scanner : scanners) {
        EXPECT_EQ(scanner->wait(), 0);
    }
    EXPECT_EQ(events("open"), 1u);
}

// A sink that scans again on the line of a failed query, as a host's log
// handler may to retry; it scans once, however often the line comes.
class RescanningSink : public spdlog::sinks::base_sink<spdlog::details::null_mutex> {
public:
    explicit RescanningSink(std::filesystem::path plugin) : plugin_(std::move(plugin)) {}

    std::atomic<bool> rescanned = false;

protected:
    void sink_it_(spdlog::details::log_msg const& message) override {
        if (message.level == spdlog::level::err && !rescanned.exchange(true)) {
            scan_devices({plugin_});
        }
    }
    void flush_() override {}

private:
    std::filesystem::path plugin_;
};

TEST_F(Scan, ALogSinkMayScanAgainWhenAQueryFails) {
    auto const path = plugin("failing_manager.so",
                             json::parse(R"({"devices":[{"serial":"f","open_throws":"cable unplugged"}]})"));
    auto const sink = std::make_shared<RescanningSink>(path);
    auto const previous = spdlog::default_logger();
    spdlog::set_default_logger(std::make_shared<spdlog::logger>("rescanning", sink));
    // On a thread of its own: a scan that logs while it holds the device's
    // query lock waits for itself there for good.
    auto const finished = std::make_shared<std::promise<void>>();
    auto done = finished->get_future();
    std::thread([path, finished] {
        scan_devices({path});
        finished->set_value();
    }).detach();
    auto const status = done.wait_for(std::chrono::seconds(30));
    spdlog::set_default_logger(previous);
    ASSERT_EQ(status, std::future_status::ready) << "the scan waits for itself";
    EXPECT_TRUE(sink->rescanned);
    EXPECT_EQ(events("open"), 2u);  // failures are not kept: each scan asks the device
}

}  // namespace
}  // namespace zelm
