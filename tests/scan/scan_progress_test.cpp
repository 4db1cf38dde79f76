// scan_devices with a progress callback: told after every device, in order,
// across plug-ins (and plug-ins that fail), on first and repeated scans; an
// exception from the callback ends the scan and reaches the host.
#include "log_capture.hpp"
#include "test_support.hpp"

#include <zelm/scan.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <tuple>
#include <vector>

namespace zelm {
namespace {

using nlohmann::json;
using testing::ElementsAre;
using testing::IsEmpty;

// plug-in index, plug-in count, devices done
using Step = std::tuple<std::size_t, std::size_t, std::size_t>;

class ScanProgressTest : public testing::Test {
protected:
    std::filesystem::path plugin(std::string const& name, json config) {
        config["events"] = events_.native();
        return test::install_test_plugin(plugins_.path(), name, config);
    }

    std::vector<Step> steps_of(std::vector<std::filesystem::path> const& plugins, ScanResults& results) {
        std::vector<Step> steps;
        results = scan_devices(plugins, [&steps](ScanProgress const& progress) {
            steps.emplace_back(progress.plugin_index, progress.plugin_count, progress.devices_done);
        });
        return steps;
    }

    test::ScopedTmpdir tmpdir_;
    test::TempDir plugins_;
    std::filesystem::path events_ = plugins_.path() / "events";
    test::LogCapture log_;
};

TEST_F(ScanProgressTest, ToldAfterEveryDeviceOnFirstAndRepeatedScans) {
    std::vector<std::filesystem::path> const plugins{
        plugin("a_manager.so", {{"list", R"([{"serial":"1"},{"serial":"2","info_throws":"gone"}])"}}),
        plugin("broken_manager.so", {{"create_throws", "no bus"}}),
        plugin("b_manager.so", {{"list", R"([{"serial":"3"}])"}}),
    };
    // The second scan meets device lists it has read before.
    for (int scan = 0; scan < 2; ++scan) {
        SCOPED_TRACE(scan);
        ScanResults results;
        auto const steps = steps_of(plugins, results);
        EXPECT_THAT(steps, ElementsAre(Step{0, 3, 1}, Step{0, 3, 2}, Step{2, 3, 3}));
        EXPECT_EQ(results.size(), 3U);
    }
}

TEST_F(ScanProgressTest, ExceptionFromTheCallbackEndsTheScanAndReachesTheHost) {
    auto const plugins = std::vector{
        plugin("a_manager.so", {{"list", R"([{"serial":"1"},{"serial":"2"},{"serial":"3"}])"}}),
        plugin("b_manager.so", {{"list", R"([{"serial":"4"}])"}}),
    };
    std::size_t calls = 0;
    auto const stop_at_first = [&calls](ScanProgress const&) {
        ++calls;
        throw std::invalid_argument("host stops");
    };

    EXPECT_THROW(
        {
            try {
                scan_devices(plugins, stop_at_first);
            } catch (std::invalid_argument const& error) {
                EXPECT_STREQ(error.what(), "host stops");
                throw;
            }
        },
        std::invalid_argument);
    EXPECT_EQ(calls, 1U);
    EXPECT_EQ(test::count_events(test::read_events(events_), "info"), 1U) << "no device after the first was queried";
    EXPECT_THAT(log_.lines(), IsEmpty()) << "the host's exception is not a plug-in failure";
}

}  // namespace
}  // namespace zelm
