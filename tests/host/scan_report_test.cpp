// scan_devices_report: the scan's results with what it learnt, each failed
// plug-in with the step that failed, on one thread or several, logging
// nothing.
#include "log_capture.hpp"
#include "test_support.hpp"

#include <zelm/zelm.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

namespace zelm {
namespace {

using nlohmann::json;
using Step = PluginFailure::Step;
using testing::IsEmpty;

std::string description_of(ScanResult const& result) {
    return std::visit([](auto const& record) { return record.description; }, result);
}

// Every text of a result, for comparing results.
std::string text_of(ScanResult const& result) {
    struct Texts {
        std::string operator()(DeviceFound const& r) const {
            return "found " + r.plugin_path + " " + r.description + " " + r.serial_number + " " + r.api + " " +
                   r.info + " " + r.status;
        }
        std::string operator()(DeviceOccupied const& r) const { return "occupied " + r.plugin_path + " " + r.description; }
        std::string operator()(DeviceQueryFailed const& r) const {
            return "failed " + r.plugin_path + " " + r.description + " " + r.error;
        }
    };
    return std::visit(Texts{}, result);
}

class ScanReportTest : public testing::Test {
protected:
    std::filesystem::path plugin(std::string const& name, json config = json::object()) {
        return test::install_test_plugin(plugins_.path(), name, config);
    }

    test::ScopedTmpdir tmpdir_;
    test::TempDir plugins_;
};

TEST_F(ScanReportTest, GivesWhatScanDevicesGivesWithManagerPaths) {
    auto const a = plugin("a_manager.so", {{"devices", {{{"serial", "A1"}}, {{"serial", "A2"}}}}, {"path", "/mgr/a"}});
    auto const b = plugin("b_manager.so", {{"devices", {{{"serial", "B1"}}}}});
    auto const plain = scan_devices({a, b});
    auto const report = scan_devices_report({a, b});

    ASSERT_EQ(report.devices.size(), plain.size());
    for (std::size_t i = 0; i < plain.size(); ++i) {
        EXPECT_EQ(text_of(report.devices[i].result), text_of(plain[i])) << i;
    }
    EXPECT_EQ(report.devices[0].manager_path, "/mgr/a");
    EXPECT_EQ(report.devices[2].manager_path, get_device_manager(b)->get_path().native());
    EXPECT_THAT(report.failures, IsEmpty());
}

struct FailureCase {
    char const* name;
    json config;
    Step step;
    char const* reason;
    std::size_t devices;  // scanned before the failure
};

void PrintTo(FailureCase const& test_case, std::ostream* out) { *out << test_case.name; }

class PluginFailures : public ScanReportTest, public testing::WithParamInterface<FailureCase> {};

// The plain scan says nothing of a list that fails; the report says why, and
// neither logs.
TEST_P(PluginFailures, AreReportedWithTheirStepAndNotLogged) {
    auto const failing = plugin("f_manager.so", GetParam().config);
    auto const good = plugin("g_manager.so", {{"devices", {{{"serial", "G1"}}}}});
    test::LogCapture const log;
    auto const report = scan_devices_report({failing, good});

    ASSERT_EQ(report.failures.size(), 1U);
    EXPECT_EQ(report.failures[0].plugin_path, failing.native());
    EXPECT_EQ(report.failures[0].step, GetParam().step);
    EXPECT_THAT(report.failures[0].reason, testing::HasSubstr(GetParam().reason));
    EXPECT_EQ(report.failures[0].reason.find('\n'), std::string::npos);
    EXPECT_EQ(report.devices.size(), GetParam().devices + 1) << "the next plug-in is scanned";
    EXPECT_THAT(log.lines(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, PluginFailures,
    testing::Values(FailureCase{"CreateThrows", {{"create_throws", "no bus"}}, Step::load, "no bus", 0},
                    FailureCase{"ListThrows", {{"list_throws", "bus\ndown"}}, Step::list, "bus down", 0},
                    FailureCase{"ListIsNotJson", {{"list", "[{"}}, Step::list, "not JSON", 0}));

TEST_F(ScanReportTest, MissingPluginIsALoadFailure) {
    auto const missing = plugins_.path() / "missing_manager.so";
    auto const report = scan_devices_report({missing});
    ASSERT_EQ(report.failures.size(), 1U);
    EXPECT_EQ(report.failures[0].step, Step::load);
    EXPECT_EQ(report.failures[0].reason, "Device Manager not found: " + missing.native());
}

TEST_F(ScanReportTest, FailedQueryIsInItsResultNotTheLog) {
    auto const path = plugin("q_manager.so", {{"devices", {{{"serial", "Q1"}, {"info_throws", "no answer"}}}}});
    test::LogCapture const log;
    auto const report = scan_devices_report({path});
    ASSERT_EQ(report.devices.size(), 1U);
    auto const* failed = std::get_if<DeviceQueryFailed>(&report.devices[0].result);
    ASSERT_NE(failed, nullptr);
    EXPECT_EQ(failed->error, "no answer");
    EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(ScanReportTest, OccupiedDeviceHasItsHolderAndLastSerialNumber) {
    auto const path = plugin("o_manager.so", {{"devices", {{{"serial", "O1"}}, {{"serial", "O2"}}}}});
    auto const manager = get_device_manager(path);
    scan_devices({path});  // both answer while free
    auto const never_queried = plugin("n_manager.so", {{"devices", {{{"serial", "N1"}}}}});
    test::ChildProcess holder([&](test::ChildProcess& self) {
        auto const owned = manager->open_managed_device(R"({"serial":"O2"})");
        auto const other = get_device_manager(never_queried)->open_managed_device(R"({"serial":"N1"})");
        self.send();
        self.receive();
        return 0;
    });
    ASSERT_EQ(holder.receive(), '.');

    auto const report = scan_devices_report({path, never_queried});
    ASSERT_EQ(report.devices.size(), 3U);
    EXPECT_TRUE(std::holds_alternative<DeviceFound>(report.devices[0].result));
    EXPECT_EQ(report.devices[0].holder, std::nullopt);
    EXPECT_EQ(report.devices[0].last_serial_number, std::nullopt) << "only an occupied device needs one";

    auto const& held = report.devices[1];
    ASSERT_TRUE(std::holds_alternative<DeviceOccupied>(held.result));
    ASSERT_TRUE(held.holder);
    EXPECT_EQ(held.holder->pid, holder.pid());
    EXPECT_EQ(held.last_serial_number, "O2");
    EXPECT_EQ(held.lock_error, std::nullopt);

    EXPECT_TRUE(std::holds_alternative<DeviceOccupied>(report.devices[2].result));
    EXPECT_EQ(report.devices[2].last_serial_number, std::nullopt);
    holder.send();
    EXPECT_EQ(holder.wait(), 0);
}

// However many threads scan, results keep the plug-ins' and lists' order,
// and the progress callback is called once per device, one call at a time.
TEST_F(ScanReportTest, ThreadsKeepTheOrderAndCallProgressOneAtATime) {
    std::vector<std::filesystem::path> plugins;
    for (int p = 0; p < 6; ++p) {
        json devices = json::array();
        for (int d = 0; d < 4; ++d) {
            devices.push_back({{"serial", std::to_string(p) + "-" + std::to_string(d)}, {"delay_ms", 5}});
        }
        plugins.push_back(plugin("p" + std::to_string(p) + "_manager.so", {{"devices", devices}}));
    }
    auto const expected = scan_devices(plugins);  // cached answers from here on: the order is the point
    for (unsigned const jobs : {0U, 1U, 3U, 16U}) {
        std::atomic<int> inside = 0;
        bool overlapped = false;
        std::set<std::size_t> counts;
        std::set<std::thread::id> threads;
        ScanOptions options{.jobs = jobs, .progress = [&](ScanProgress const& progress) {
                                overlapped = overlapped || ++inside > 1;
                                counts.insert(progress.devices_done);
                                threads.insert(std::this_thread::get_id());
                                EXPECT_EQ(progress.plugin_count, plugins.size());
                                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                                --inside;
                            }};
        auto const report = scan_devices_report(plugins, options);
        ASSERT_EQ(report.devices.size(), expected.size()) << jobs;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(description_of(report.devices[i].result), description_of(expected[i])) << jobs;
        }
        EXPECT_FALSE(overlapped) << jobs;
        EXPECT_EQ(counts.size(), expected.size()) << jobs << ": devices_done counts every device once";
        EXPECT_EQ(*counts.rbegin(), expected.size()) << jobs;
        if (jobs <= 1) {
            EXPECT_EQ(threads, std::set{std::this_thread::get_id()}) << "one job scans on the calling thread";
        }
    }
}

TEST_F(ScanReportTest, ProgressExceptionStopsEveryThreadAndIsThrown) {
    std::vector<std::filesystem::path> plugins;
    for (int p = 0; p < 4; ++p) {
        json devices = json::array();
        for (int d = 0; d < 50; ++d) {
            devices.push_back({{"serial", std::to_string(p) + "-" + std::to_string(d)}});
        }
        plugins.push_back(plugin("s" + std::to_string(p) + "_manager.so", {{"devices", devices}}));
    }
    std::atomic<std::size_t> calls = 0;
    ScanOptions options{.jobs = 4, .progress = [&](ScanProgress const&) {
                            if (++calls == 10) {
                                throw std::out_of_range("enough");
                            }
                        }};
    EXPECT_THROW(scan_devices_report(plugins, options), std::out_of_range);
    EXPECT_EQ(calls.load(), 10U) << "no call after the one that threw";
}

TEST_F(ScanReportTest, NonStandardExceptionOfPluginCodeIsThrownAfterTheOthersFinish) {
    auto const good = plugin("a_manager.so", {{"devices", {{{"serial", "A1"}}}}});
    auto const faulty = plugin("b_manager.so", {{"create_throws_custom", "fault"}});
    for (unsigned const jobs : {1U, 2U}) {
        bool thrown = false;
        try {
            ScanOptions options;
            options.jobs = jobs;
            scan_devices_report({good, faulty}, options);
        } catch (std::exception const&) {
        } catch (...) {
            thrown = true;
        }
        EXPECT_TRUE(thrown) << jobs;
    }
}

}  // namespace
}  // namespace zelm
