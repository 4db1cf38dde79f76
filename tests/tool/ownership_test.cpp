// `zelm hold` across processes: what others see while it holds a device, and
// that the device comes free however the holder ends.
#include "tool_test_support.hpp"

#include <gtest/gtest.h>

#include <signal.h>

namespace zelm::tool_test {
namespace {

using nlohmann::json;

class Ownership : public ToolTest {
protected:
    void SetUp() override {
        use_sim_config(sim_config(json::array({{{"description", held}}, {{"description", other}}})));
    }

    // The state `zelm scan` reports for each device, by serial.
    std::map<std::string, std::string> states() {
        std::map<std::string, std::string> by_serial;
        for (auto const& record : run_json({"scan", "--json", "--plugin", sim_plugin.native()})) {
            by_serial[record.at("description").at("serial").get<std::string>()] = record.at("state");
        }
        return by_serial;
    }

    Outcome hold_briefly() { return run_zelm({"hold", sim_plugin.native(), held.dump(), "--for", "0"}); }

    json const held{{"serial", "H-1"}};
    json const other{{"serial", "H-2"}};
};

using States = std::map<std::string, std::string>;

TEST_F(Ownership, HeldDeviceIsOccupiedForScansAndOtherHolders) {
    Holder holder(sim_plugin, held);
    ASSERT_TRUE(holder.holding());

    EXPECT_EQ(states(), (States{{"H-1", "occupied"}, {"H-2", "found"}}));
    auto const second = hold_briefly();
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(lines_of(second.err).size(), 1U) << second.err;
    EXPECT_NE(second.err.find("Device is already occupied"), std::string::npos) << second.err;
    EXPECT_EQ(second.out, "");
    // Device access goes through ownership too.
    EXPECT_EQ(run_zelm({"info", sim_plugin.native(), held.dump()}).status, 1);
}

// A holder that is asked to stop releases the device and says so.
class ReleaseOnSignal : public Ownership, public ::testing::WithParamInterface<int> {};

TEST_P(ReleaseOnSignal, ExitsCleanlyAndFreesTheDevice) {
    Holder holder(sim_plugin, held);
    ASSERT_TRUE(holder.holding());

    holder.process().signal(GetParam());
    auto const outcome = holder.process().finish();

    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_TRUE(outcome.out.starts_with("released ")) << outcome.out;
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(states(), (States{{"H-1", "found"}, {"H-2", "found"}}));
}

INSTANTIATE_TEST_SUITE_P(Signals, ReleaseOnSignal, ::testing::Values(SIGINT, SIGTERM),
                         [](auto const& param_info) { return std::string(sigabbrev_np(param_info.param)); });

TEST_F(Ownership, KilledHolderLeavesTheDeviceFree) {
    Holder holder(sim_plugin, held);
    ASSERT_TRUE(holder.holding());

    holder.process().signal(SIGKILL);
    EXPECT_EQ(holder.process().finish().status, 128 + SIGKILL);

    EXPECT_EQ(states(), (States{{"H-1", "found"}, {"H-2", "found"}}));
    auto const next = hold_briefly();
    EXPECT_EQ(next.status, 0) << next.err;
}

TEST_F(Ownership, TimedHoldReleasesByItself) {
    Holder holder(sim_plugin, held, {"--for", "0.2"});
    ASSERT_TRUE(holder.holding());

    auto const outcome = holder.process().finish();

    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_TRUE(outcome.out.starts_with("released ")) << outcome.out;
    EXPECT_EQ(states(), (States{{"H-1", "found"}, {"H-2", "found"}}));
}

}  // namespace
}  // namespace zelm::tool_test
